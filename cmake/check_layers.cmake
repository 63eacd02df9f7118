# cmake -DSOURCE_DIR=... -DLAYERS="folder:level,..." -DHOST_HEADERS="a.h,b.h" -P check_layers.cmake
# Fails when a file of the module includes, in quotes, anything but
#   - a header of its own folder or of a lower layer ("platform/clock.h" from detector/),
#   - a header beside it ("keelanr_export.h" in anr/),
#   - one of the host SDK's headers (HOST_HEADERS, the declarations in host/).
# So a higher layer, a peer on the same level, the stand-in SDK's own API (sdk/include/) and
# the tests' helpers are all refused. Angle-bracket includes (Qt, jansson, the OS) are not
# looked at.
cmake_policy(SET CMP0057 NEW)
string(REPLACE "," ";" LAYERS "${LAYERS}")
string(REPLACE "," ";" HOST_HEADERS "${HOST_HEADERS}")
foreach(layer ${LAYERS})
    string(REPLACE ":" ";" pair "${layer}")
    list(GET pair 0 folder)
    list(GET pair 1 level)
    set(level_${folder} ${level})
endforeach()

set(violations "")
foreach(layer ${LAYERS})
    string(REPLACE ":" ";" pair "${layer}")
    list(GET pair 0 folder)
    file(GLOB_RECURSE files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
    foreach(file ${files})
        get_filename_component(directory ${file} DIRECTORY)
        file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
        foreach(line ${includes})
            string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" included "${line}")
            set(allowed FALSE)
            if(included MATCHES "^([^/]+)/")
                set(target ${CMAKE_MATCH_1})
                if(DEFINED level_${target} AND (target STREQUAL folder
                        OR level_${target} LESS level_${folder}))
                    set(allowed TRUE)
                endif()
            elseif(included IN_LIST HOST_HEADERS OR EXISTS ${directory}/${included})
                set(allowed TRUE)
            endif()
            if(NOT allowed)
                file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
                string(STRIP "${line}" line)
                list(APPEND violations "  ${name}: ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()

if(violations)
    string(REPLACE ";" "\n" violations "${violations}")
    message(FATAL_ERROR "Includes against the layer order (${LAYER_ORDER}), or of headers "
        "the module must not see:\n${violations}")
endif()
