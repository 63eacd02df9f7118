// The module's path type, and how paths travel as std::wstring through the platform layer.
//
// NativePath is what the system's own calls take: UTF-16 on Windows (the W functions), bytes
// on Linux. Text becomes a NativePath in one place (nativePath, from the UTF-16 that QString
// holds) and a NativePath becomes text in one place (pathToUtf8, for the upload library and
// for logs). No code page is involved anywhere.
//
// The older std::wstring form: on Windows UTF-16 code units, on Linux one code point per
// wchar_t, decoded from the path's UTF-8 bytes; a byte that is not part of valid UTF-8 is
// held as U+DC80..U+DCFF, so every file name survives the round trip.
#pragma once

#include <string>

namespace platform
{

#ifdef _WIN32
using PathChar = wchar_t;
#else
using PathChar = char;
#endif
using NativePath = std::basic_string<PathChar>;

// The native path for UTF-16 text. Linux: its UTF-8 bytes (an unpaired surrogate, which no
// file name typed as text holds, becomes U+FFFD).
NativePath nativePath(const std::u16string &text);
// The path as UTF-8: Windows' unpaired surrogates become U+FFFD; Linux's bytes as they are.
std::string pathToUtf8(const NativePath &path);
// `directory` joined with one plain `name` (ASCII in practice: the cache's own names).
NativePath childPath(const NativePath &directory, const std::string &name);

// True where paths are UTF-16 (wideToUtf8 turns them into report text).
bool pathsAreUtf16();

// The path's bytes as the operating system sees them (Linux); UTF-8 of the UTF-16 text
// on Windows.
std::string pathToBytes(const std::wstring &path);
std::wstring pathFromBytes(const std::string &bytes);

} // namespace platform
