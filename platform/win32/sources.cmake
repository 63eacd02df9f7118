target_sources(keelanr_platform PRIVATE
    win32/clock_win.cpp
    win32/debug_library_win.cpp
    win32/minidump_file_win.cpp
    win32/minidump_guard_win.cpp
    win32/path_text_win.cpp
    win32/regular_file_win.cpp
    win32/stack_capture_win.cpp
    win32/system_info_win.cpp
    win32/thread_handle_win.cpp
)
