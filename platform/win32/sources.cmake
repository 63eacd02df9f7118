target_sources(keelanr_platform PRIVATE
    win32/clock_win.cpp
    win32/dbghelp_win.cpp
    win32/capture_helper_win.cpp
    win32/dump_file_win.cpp
    win32/module_tables_win.cpp
    win32/path_text_win.cpp
    win32/process_dump_win.cpp
    win32/regular_file_win.cpp
    win32/stack_sampler_win.cpp
    win32/system_info_win.cpp
    win32/thread_handle_win.cpp
)
# ntdll: the thread's stack bounds (NtQueryInformationThread) and the loader's lock.
target_link_libraries(keelanr_platform PRIVATE ntdll)

# The dump helper, built beside the module's DLL (the host starts it from there).
add_subdirectory(win32/capture_helper)
