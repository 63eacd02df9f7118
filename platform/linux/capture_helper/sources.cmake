# The capture helper: the host's side goes into the platform library, the helper itself is
# the executable keelanr-capture (installed by cmake/Install.cmake).
target_sources(keelanr_platform PRIVATE linux/capture_helper/capture_client_linux.cpp)

# The helper walks stacks with libunwind's remote unwinder, linked normally: it is a process of
# its own, so the host's exception handling cannot bind to it.
pkg_check_modules(UNWIND_PTRACE REQUIRED IMPORTED_TARGET libunwind-ptrace)
add_executable(keelanr-capture
    linux/capture_helper/capture_helper_main.cpp
    linux/capture_helper/remote_unwind_linux.cpp
    linux/capture_helper/traced_capture_linux.cpp
)
target_link_libraries(keelanr-capture PRIVATE keelanr_platform PkgConfig::UNWIND_PTRACE)
keelanr_set_warnings(keelanr-capture)
# Beside the module in the build tree too, where the library looks for it, so the demo and a
# host run from the build directory capture from outside as an installed one does.
set_target_properties(keelanr-capture PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
