# The module is a stack of static libraries, one per folder, each linked only to the ones
# below it:
#
#   base  <  minidump  <  platform, log  <  sysinfo, cache  <  detector, report, config  <  anr
#
# base is text with no dependency; minidump is the portable file format, which the
# platform's capture fills; log is the one layer that writes through the SDK's log writer.
# Folders on one level are peers and know nothing of each other; the facade in anr/ wires
# them together. The link lines keep the order for symbols; check_layers.cmake keeps it for
# headers, at configure time and again at every build. The module sees the SDK only
# through the declarations in host/ (KEELANR_HOST_HEADERS).

set(KEELANR_LAYERS
    "base:0,minidump:1,platform:2,log:2,sysinfo:3,cache:3,detector:4,report:4,config:4,anr:5")
set(KEELANR_HOST_HEADERS "keel.h,orlacppupload.h")
set(KEELANR_LAYER_ORDER
    "base < minidump < platform, log < sysinfo, cache < detector, report, config < anr")

# keelanr_add_layer(NAME target SOURCES ... LINKS ...)
function(keelanr_add_layer)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES;LINKS" ${ARGN})
    add_library(${ARG_NAME} STATIC ${ARG_SOURCES})
    target_include_directories(${ARG_NAME} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
    target_link_libraries(${ARG_NAME} PUBLIC ${ARG_LINKS})
    set_target_properties(${ARG_NAME} PROPERTIES
        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    keelanr_set_warnings(${ARG_NAME})
endfunction()

function(keelanr_add_layer_check)
    set(folders "")
    string(REPLACE "," ";" layers "${KEELANR_LAYERS}")
    foreach(layer ${layers})
        string(REPLACE ":" ";" pair "${layer}")
        list(GET pair 0 folder)
        list(APPEND folders ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
    endforeach()
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${folders})
    set(check ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake)
    set(arguments -DSOURCE_DIR=${PROJECT_SOURCE_DIR} "-DLAYERS=${KEELANR_LAYERS}"
        "-DHOST_HEADERS=${KEELANR_HOST_HEADERS}" "-DLAYER_ORDER=${KEELANR_LAYER_ORDER}")
    # At configure time, so a backward include is refused before anything compiles ...
    execute_process(COMMAND ${CMAKE_COMMAND} ${arguments} -P ${check}
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "A lower layer includes a higher one (see above)")
    endif()
    # ... and at every build in which a source changed.
    set(stamp ${CMAKE_CURRENT_BINARY_DIR}/layers-checked.stamp)
    add_custom_command(OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} ${arguments} -P ${check}
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS ${sources} ${check}
        COMMENT "Checking that every include points down the layers"
        VERBATIM)
    add_custom_target(keelanr_layer_check ALL DEPENDS ${stamp})
endfunction()
