// The host application's build number, read from "fernlea.ini" beside its executable.
#pragma once

#include <string>

// Value of "orla_ci_build_number" in section "build_info" of "fernlea.ini" in the
// executable's directory, or "" when the file, the section or the key is missing.
// A found value is cached for the life of the process; a miss is looked up again next time.
std::string getBuildNumber();

// Value of the first entry `key` under section `section` of the INI file at `path`, or "".
// The file is read only when it is a regular file (a link to one counts) of at most 64 KiB,
// opened without blocking. Minimal reader (findIniValue): lines are read in pieces of at most 254
// characters; a piece holding both
// '[' and ']' is a section header; otherwise the text before the first '=' is the key and
// the rest the value, both trimmed of isspace characters; names compare byte for byte.
std::string readIniValue(const std::wstring &path, const std::string &section,
                         const std::string &key);

// The same lookup in the file's bytes.
std::string findIniValue(const std::string &text, const std::string &section,
                         const std::string &key);
