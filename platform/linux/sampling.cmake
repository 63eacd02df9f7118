# Stack sampling of the GUI thread.
target_sources(keelanr_platform PRIVATE
    linux/debug_library_linux.cpp
    linux/signal_support_linux.cpp
    linux/stack_capture_linux.cpp
)
