# The minidump writer: capture (/proc, ELF, thread freezer) apart from the serialiser.
target_sources(keelanr_platform PRIVATE
    linux/minidump_capture_linux.cpp
    linux/minidump_context_linux.cpp
    linux/minidump_dso_debug_linux.cpp
    linux/minidump_elf_linux.cpp
    linux/minidump_fault_guard_linux.cpp
    linux/minidump_layout_linux.cpp
    linux/minidump_memory_linux.cpp
    linux/minidump_modules_linux.cpp
    linux/minidump_proc_linux.cpp
    linux/minidump_serialiser_linux.cpp
    linux/minidump_system_facts_linux.cpp
    linux/minidump_thread_freezer_linux.cpp
    linux/minidump_writer_linux.cpp
)
