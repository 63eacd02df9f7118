// A fresh directory under the temporary directory, removed with everything in it.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

class TemporaryDirectory
{
public:
    TemporaryDirectory()
    {
        static int created = 0;
        path_ = std::filesystem::temp_directory_path() /
                (L"keelanr-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++created));
        std::filesystem::create_directories(path_);
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};
