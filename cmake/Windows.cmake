# Windows (mingw-w64 cross build, cmake/toolchain-mingw64.cmake). Every DLL and executable
# goes into bin/ beside Qt's DLLs, the compiler's runtime DLLs and the headless platform
# plugins, so Wine (or Windows) finds them without a search path.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# keelANR.dll, keel.dll, tally.dll, orlacppupload.dll: the names the SDK's DLLs carry.
set(CMAKE_SHARED_LIBRARY_PREFIX "")

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
