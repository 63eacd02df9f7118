# The capture helper: the host's side goes into the platform library, the helper itself is
# the executable keelanr-capture (installed by cmake/Install.cmake).
target_sources(keelanr_platform PRIVATE linux/capture_helper/capture_client_linux.cpp)

add_executable(keelanr-capture
    linux/capture_helper/capture_helper_main.cpp
    linux/capture_helper/traced_capture_linux.cpp
)
target_link_libraries(keelanr-capture PRIVATE keelanr_platform)
keelanr_set_warnings(keelanr-capture)
