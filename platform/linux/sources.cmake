target_sources(keelanr_platform PRIVATE
    linux/clock_linux.cpp
    linux/dump_file_linux.cpp
    linux/path_text_linux.cpp
    linux/regular_file_linux.cpp
    linux/signal_support_linux.cpp
    linux/system_info_linux.cpp
    linux/thread_handle_linux.cpp
)
include(${CMAKE_CURRENT_LIST_DIR}/capture/sources.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/sampling/sources.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/capture_helper/sources.cmake)
