#pragma once

#include <string>

// Encodes each 16-bit code unit on its own (1, 2 or 3 bytes); surrogate halves are not
// paired, each becomes its own three-byte sequence. Units above 0xFFFF (a 32-bit wchar_t)
// are cut to their low 16 bits, as a UTF-16 string would never hold them.
std::string wideToUtf8(const std::wstring &text);
