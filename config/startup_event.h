#pragma once

#include <string>

// Sends "keel_orlaanr_init" with the payload
// {"process_name":"<name>","pid":"<pid>","type":<type>,"is_main_process":<0|1>}, one line
// without white space, the strings escaped as JSON and invalid UTF-8 replaced by U+FFFD.
void sendStartupEvent(int type, bool isMainProcess, const std::string &processName);

// The payload above for the given process id text.
std::string startupEventPayload(int type, bool isMainProcess, const std::string &processName,
                                const std::string &pid);
