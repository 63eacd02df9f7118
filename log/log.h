// The module's one logging rule: when the SDK's log writer is enabled and its level is
// below 2, print "<[keel]> message\n" to standard output and hand the message to
// KeelLogWriter::writeLog. Otherwise nothing is written.
#pragma once

void logMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));
