// Text handed to the JSON library must be valid UTF-8, or it is refused whole.
#pragma once

#include <string>

// `text` with every byte that does not belong to a well-formed UTF-8 sequence (stray
// continuation bytes, truncated or overlong sequences, surrogates, code points above
// U+10FFFF) replaced by U+FFFD; valid text comes back unchanged, NUL bytes included.
std::string validUtf8(const std::string &text);
