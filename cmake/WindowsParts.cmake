# Windows cross build without Qt (no KEELANR_WINDOWS_DEPS): the platform layer, the Qt-free
# system probes and cache with their tests, which scripts/test-windows.sh runs under Wine.
find_package(Threads REQUIRED)
# The C and C++ runtimes and winpthreads linked in, so the tests run under Wine (or on
# Windows) without the compiler's DLLs beside them.
add_link_options(-static)
# Every executable and DLL in one folder: the tests start the dump helper from beside them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# A CodeView record in every image, which the dumps carry as the module's identity.
add_link_options(-Wl,--build-id)

include(cmake/Layers.cmake)
add_subdirectory(base)
add_subdirectory(minidump)
add_subdirectory(platform)
add_subdirectory(sysinfo)
add_subdirectory(bench/win32)
# The cache logs through the SDK's log writer: the stand-in's, which is Qt-free too.
add_subdirectory(sdk)
# The runtimes linked in statically stay private to each DLL.
foreach(target keel tally orlacppupload)
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
endforeach()
add_subdirectory(log)
add_subdirectory(cache)

if(KEELANR_BUILD_TESTS)
    set(KEELANR_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
        "GoogleTest sources, built for Windows along with the tests")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${KEELANR_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    enable_testing()
    add_subdirectory(tests/win32)
endif()
