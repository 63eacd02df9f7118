# cmake --install: the module, its public header, a CMake package (find_package(KeelAnr)
# with the imported target KeelAnr::keelANR) and a pkg-config file. The stand-in SDK
# libraries come along only with KEELANR_INSTALL_STANDIN_SDK=ON, so they never shadow a real
# SDK installed in the same prefix.
# A build against Qt 6 installs under names of its own (libkeelANR-qt6.so, KeelAnrQt6,
# keelanr-qt6.pc), so it can sit beside the Qt 5 one in the same prefix; the header and the
# stand-ins are the same for both.
include(CMakePackageConfigHelpers)

if(KEELANR_QT_VERSION_MAJOR EQUAL 5)
    set(KEELANR_PACKAGE_NAME KeelAnr)
    set(KEELANR_LIBRARY_NAME keelANR)
    set(KEELANR_PC_NAME keelanr)
else()
    set(KEELANR_PACKAGE_NAME KeelAnrQt${KEELANR_QT_VERSION_MAJOR})
    set(KEELANR_LIBRARY_NAME keelANR-qt${KEELANR_QT_VERSION_MAJOR})
    set(KEELANR_PC_NAME keelanr-qt${KEELANR_QT_VERSION_MAJOR})
endif()
set_target_properties(keelANR PROPERTIES OUTPUT_NAME ${KEELANR_LIBRARY_NAME})
set(KEELANR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${KEELANR_PACKAGE_NAME})

install(TARGETS keelANR EXPORT ${KEELANR_PACKAGE_NAME}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The capture helper, where the module looks for it: beside the DLL on Windows; on Linux beside
# the library or here.
if(WIN32)
    install(TARGETS keelanr-capture RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
    install(TARGETS keelanr-capture RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/keelanr)
endif()
install(FILES anr/keel_anr.h anr/keelanr_export.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keelanr)

if(KEELANR_INSTALL_STANDIN_SDK)
    foreach(target keel tally orlacppupload)
        target_include_directories(${target} INTERFACE
            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/keelanr/sdk>)
    endforeach()
    install(TARGETS keel tally orlacppupload EXPORT ${KEELANR_PACKAGE_NAME}Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    install(FILES host/keel.h host/orlacppupload.h sdk/include/keel_standin.h
                  sdk/include/upload_standin.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keelanr/sdk)
endif()

install(EXPORT ${KEELANR_PACKAGE_NAME}Targets NAMESPACE KeelAnr:: DESTINATION ${KEELANR_CMAKE_DIR})
configure_package_config_file(cmake/KeelAnrConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${KEELANR_PACKAGE_NAME}Config.cmake
    INSTALL_DESTINATION ${KEELANR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${KEELANR_PACKAGE_NAME}ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${KEELANR_PACKAGE_NAME}Config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/${KEELANR_PACKAGE_NAME}ConfigVersion.cmake
    DESTINATION ${KEELANR_CMAKE_DIR})

configure_file(cmake/keelanr.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${KEELANR_PC_NAME}.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${KEELANR_PC_NAME}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
