#include "log/log.h"

#include "keel.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void logMessage(const char *format, ...)
{
    KeelLogWriter *writer = KeelLogWriter::instance();
    if (!writer->enabled || writer->level >= 2)
        return;

    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(message.data(), message.size() + 1, format, args);
    va_end(args);

    std::fputs("<[keel]> ", stdout);
    std::fputs(message.c_str(), stdout);
    std::fputs("\n", stdout);
    // The message is already formatted; "%s" keeps a '%' inside it from being read again.
    writer->writeLog("%s", message.c_str());
}
