# The minidump writer.
target_sources(keelanr_platform PRIVATE
    linux/minidump_writer_linux.cpp
)
