# Windows (mingw-w64 cross build, cmake/toolchain-mingw64.cmake). Every DLL and executable
# goes into bin/ beside Qt's DLLs, the compiler's runtime DLLs and the headless platform
# plugins, so Wine (or Windows) finds them without a search path.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# libkeelANR.dll imports libkeel.dll, libtally.dll and liborlacppupload.dll: the names the
# SDK's DLLs carry. Set for every toolchain (MSVC's default prefix is empty); the import
# libraries become libkeelANR.dll.a with mingw, libkeelANR.lib with MSVC.
set(CMAKE_SHARED_LIBRARY_PREFIX lib)
set(CMAKE_IMPORT_LIBRARY_PREFIX lib)
if(MINGW)
    # A CodeView record in every image, which the dumps carry as the module's identity.
    add_link_options(-Wl,--build-id)
endif()

get_target_property(keelanrQtCoreDll Qt${KEELANR_QT_VERSION_MAJOR}::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(keelanrQtBin ${keelanrQtCoreDll} DIRECTORY)
get_filename_component(keelanrQtPrefix ${keelanrQtBin} DIRECTORY)
file(GLOB keelanrRuntime ${keelanrQtBin}/*.dll)
file(COPY ${keelanrRuntime} DESTINATION ${CMAKE_BINARY_DIR}/bin)
file(GLOB keelanrPlatformPlugins ${keelanrQtPrefix}/plugins/platforms/*.dll)
file(COPY ${keelanrPlatformPlugins} DESTINATION ${CMAKE_BINARY_DIR}/bin/platforms)

if(KEELANR_BUILD_TESTS)
    # GoogleTest built for Windows from Debian's sources, along with the tests.
    set(KEELANR_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${KEELANR_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
endif()
