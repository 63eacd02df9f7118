// Stand-in log writer: keeps every formatted line in memory for tests to read.
#include "keel.h"
#include "keel_standin.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace
{

struct LogStore {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
};

// Never destroyed: the module logs from static destructors at exit.
LogStore &store()
{
    static auto *instance = new LogStore;
    return *instance;
}

} // namespace

KeelLogWriter *KeelLogWriter::instance()
{
    static auto *writer = new KeelLogWriter;
    return writer;
}

void KeelLogWriter::writeLog(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(line.data(), line.size() + 1, format, args);
    va_end(args);

    auto &s = store();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.lines.push_back(std::move(line));
    }
    s.changed.notify_all();
}

namespace standin::log
{

std::vector<std::string> lines()
{
    auto &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.lines;
}

std::size_t count(const std::string &fragment)
{
    std::size_t n = 0;
    for (const auto &line : lines())
        n += line.find(fragment) != std::string::npos ? 1 : 0;
    return n;
}

bool contains(const std::string &fragment)
{
    return count(fragment) > 0;
}

bool waitFor(const std::string &fragment, std::chrono::milliseconds timeout)
{
    auto &s = store();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, timeout, [&] {
        for (const auto &line : s.lines)
            if (line.find(fragment) != std::string::npos)
                return true;
        return false;
    });
}

void clear()
{
    auto &s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lines.clear();
}

void enable()
{
    KeelLogWriter::instance()->enabled = true;
    KeelLogWriter::instance()->level = 1;
}

} // namespace standin::log
