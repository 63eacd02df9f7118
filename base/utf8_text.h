// The module's one UTF-8 codec. Text handed to the JSON library must be valid UTF-8 (it is
// refused whole otherwise), minidump strings are UTF-16, and Linux paths are bytes that
// usually, but not always, hold UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace utf8
{

// Length of the well-formed sequence at `text[at]` (RFC 3629; no overlong forms, no
// surrogates, nothing above U+10FFFF, not truncated) with its code point in `codePoint`; 0
// when there is none, `codePoint` then unspecified. `at` must lie inside `text`.
std::size_t decode(const std::string &text, std::size_t at, char32_t &codePoint);

// Appends the encoding of `codePoint` (below 0x110000; surrogates are encoded as they are).
void append(std::string &out, char32_t codePoint);

// Decodes `text` in order: `codePoint(c)` for each well-formed sequence, `strayByte(b)` for
// each byte that belongs to none.
template <typename CodePoint, typename StrayByte>
void forEach(const std::string &text, CodePoint codePoint, StrayByte strayByte)
{
    for (std::size_t at = 0; at < text.size();) {
        char32_t c;
        if (const std::size_t length = decode(text, at, c)) {
            codePoint(c);
            at += length;
        } else {
            strayByte(static_cast<unsigned char>(text[at++]));
        }
    }
}

} // namespace utf8

// `text` with every byte that does not belong to a well-formed UTF-8 sequence (stray
// continuation bytes, truncated or overlong sequences, surrogates, code points above
// U+10FFFF) replaced by U+FFFD; valid text comes back unchanged, NUL bytes included.
std::string validUtf8(const std::string &text);

// UTF-16 of `text`, each byte outside a well-formed sequence becoming U+FFFD.
std::u16string utf16FromUtf8(const std::string &text);

// Encodes each 16-bit code unit on its own (1, 2 or 3 bytes); surrogate halves are not
// paired, each becomes its own three-byte sequence. Units above 0xFFFF (a 32-bit wchar_t)
// are cut to their low 16 bits, as a UTF-16 string would never hold them.
std::string wideToUtf8(const std::wstring &text);
