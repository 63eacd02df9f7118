# Windows cross build (mingw-w64, cmake/toolchain-mingw64.cmake): the platform layer, the
# Qt-free system probes and their tests, which scripts/test-windows.sh runs under Wine.
# The Qt parts are not built: Debian ships no Qt for Windows.
find_package(Threads REQUIRED)

add_subdirectory(platform)
add_subdirectory(sysinfo)

if(KEELANR_BUILD_TESTS)
    set(KEELANR_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
        "GoogleTest sources, built for Windows along with the tests")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${KEELANR_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    enable_testing()
    add_subdirectory(tests/win32)
endif()
