# Capturing this process for a dump: /proc, ELF headers, the thread freezer, the fault guard.
target_sources(keelanr_platform PRIVATE
    linux/capture/dso_debug_linux.cpp
    linux/capture/dump_memory_linux.cpp
    linux/capture/dump_writer_linux.cpp
    linux/capture/elf_headers_linux.cpp
    linux/capture/fault_guard_linux.cpp
    linux/capture/module_list_linux.cpp
    linux/capture/proc_files_linux.cpp
    linux/capture/process_capture_linux.cpp
    linux/capture/system_facts_linux.cpp
    linux/capture/thread_context_linux.cpp
    linux/capture/thread_freezer_linux.cpp
)
