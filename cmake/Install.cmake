# cmake --install: the module, its public header, a CMake package (find_package(KeelAnr)
# with the imported target KeelAnr::keelANR) and a pkg-config file. The stand-in SDK
# libraries come along unless KEELANR_INSTALL_STANDIN_SDK is off (a host with the real SDK).
include(CMakePackageConfigHelpers)

set(KEELANR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KeelAnr)

install(TARGETS keelANR EXPORT KeelAnrTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES anr/keel_anr.h anr/keelanr_export.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keelanr)

if(KEELANR_INSTALL_STANDIN_SDK)
    foreach(target keel tally orlacppupload)
        target_include_directories(${target} INTERFACE
            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/keelanr/sdk>)
    endforeach()
    install(TARGETS keel tally orlacppupload EXPORT KeelAnrTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    install(FILES host/keel.h host/orlacppupload.h sdk/include/keel_standin.h
                  sdk/include/upload_standin.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keelanr/sdk)
endif()

install(EXPORT KeelAnrTargets NAMESPACE KeelAnr:: DESTINATION ${KEELANR_CMAKE_DIR})
configure_package_config_file(cmake/KeelAnrConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/KeelAnrConfig.cmake
    INSTALL_DESTINATION ${KEELANR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KeelAnrConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KeelAnrConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/KeelAnrConfigVersion.cmake
    DESTINATION ${KEELANR_CMAKE_DIR})

configure_file(cmake/keelanr.pc.in ${CMAKE_CURRENT_BINARY_DIR}/keelanr.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/keelanr.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
