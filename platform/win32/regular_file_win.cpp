#include "platform/regular_file.h"

#include <windows.h>

#include <algorithm>

namespace platform
{

FileRead readRegularFile(const std::wstring &path, std::size_t maxBytes, std::string &bytes,
                         Links links)
{
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, whose attributes then show it.
    const DWORD flags =
        FILE_ATTRIBUTE_NORMAL | (links == Links::Follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return FileRead::Missing;
        // A directory cannot be opened without FILE_FLAG_BACKUP_SEMANTICS.
        return error == ERROR_ACCESS_DENIED ? FileRead::NotRegular : FileRead::Failed;
    }

    BY_HANDLE_FILE_INFORMATION information{};
    FileRead result = FileRead::Read;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information))
        result = FileRead::NotRegular;
    else if (information.dwFileAttributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        result = FileRead::NotRegular;
    else if ((static_cast<unsigned long long>(information.nFileSizeHigh) << 32 |
              information.nFileSizeLow) > maxBytes)
        result = FileRead::TooLarge;

    if (result == FileRead::Read) {
        // One byte past the limit tells a file that grew since.
        std::string content(maxBytes + 1, '\0');
        std::size_t filled = 0;
        while (filled < content.size()) {
            const DWORD want =
                static_cast<DWORD>(std::min<std::size_t>(content.size() - filled, 0x10000000));
            DWORD got = 0;
            if (!ReadFile(file, content.data() + filled, want, &got, nullptr)) {
                result = FileRead::Failed;
                break;
            }
            if (got == 0)
                break;
            filled += got;
        }
        if (result == FileRead::Read && filled > maxBytes)
            result = FileRead::TooLarge;
        if (result == FileRead::Read) {
            content.resize(filled);
            bytes = std::move(content);
        }
    }
    CloseHandle(file);
    return result;
}

} // namespace platform
