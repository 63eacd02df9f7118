// How file paths travel as std::wstring through the platform layer.
//
// Windows: UTF-16 code units, as the W functions take them.
// Linux: one code point per wchar_t, decoded from the path's UTF-8 bytes; a byte that is not
// part of valid UTF-8 is held as U+DC80..U+DCFF, so every file name survives the round trip.
// QString::toStdWString gives the same form for any path Qt can represent.
#pragma once

#include <string>

namespace platform
{

// True where paths are UTF-16 (wideToUtf8 turns them into report text).
bool pathsAreUtf16();

// The path's bytes as the operating system sees them (Linux); UTF-8 of the UTF-16 text
// on Windows.
std::string pathToBytes(const std::wstring &path);
std::wstring pathFromBytes(const std::string &bytes);

} // namespace platform
