// The host SDK's core object and its analytics client, as this module sees them.
// The real SDK ships these in libkeel (Keel) and libtally (KeelLogWriter, Tally);
// sdk/ holds stand-ins behind the same declarations.
#pragma once

#include <functional>
#include <map>
#include <string>

// Shared by libkeel, libtally and libkeelANR (which defines the log-mode constants).
// On Windows the header carries the module's export attribute; the SDK's own DLLs (and the
// stand-ins) export everything they define, as mingw-w64 does for a DLL without explicit
// exports, and their import libraries resolve calls without dllimport.
#if defined(_WIN32) && defined(KEELANR_LIBRARY)
#define KEEL_SDK_API __declspec(dllexport)
#elif defined(_WIN32)
#define KEEL_SDK_API
#else
#define KEEL_SDK_API __attribute__((visibility("default")))
#endif

class KEEL_SDK_API Keel
{
public:
    static Keel *instance();

    // Log modes of the SDK. Defined and exported by libkeelANR.
    static const int LOG_OFF;
    static const int LOG_CONSOLE;
    static const int LOG_FILE;

    virtual ~Keel();
    virtual std::string sdkVersion() const = 0;

    bool isMainProcess = true;
    std::string processName;
    bool isBackground = false;
    std::function<void()> initEventCallback;
    std::function<void(bool)> backgroundStateCallback;
};

class KEEL_SDK_API KeelLogWriter
{
public:
    static KeelLogWriter *instance();

    // printf-style; the SDK stores the formatted line.
    void writeLog(const char *format, ...) __attribute__((format(printf, 2, 3)));

    bool enabled = false;
    int level = 1;
    std::string logPath;
    std::wstring logPathWide;
};

class KEEL_SDK_API Tally
{
public:
    static Tally *instance();
    static std::string generateGUID();

    void event(const std::string &name, const std::string &payload, const std::string &guid,
               int first, int second, const std::function<void(bool)> &done);
    void
    getCloudConfiguration(const std::function<void(std::map<std::string, std::string>)> &callback);

    bool testEnvironment = false;
    std::string projectVersion;
    std::string appKey;
    std::string channel;
    int appId = 0;
};

// The SDK's Windows configuration. The module never reads it; the SDK's header declares it
// with the module's export attribute, so its copy and move operations and destructor are
// defined, and exported, by libkeelANR.
class KEEL_SDK_API KeelWinConfig
{
public:
    KeelWinConfig();
    KeelWinConfig(const KeelWinConfig &);
    KeelWinConfig(KeelWinConfig &&) noexcept;
    KeelWinConfig &operator=(const KeelWinConfig &);
    KeelWinConfig &operator=(KeelWinConfig &&) noexcept;
    ~KeelWinConfig();
};
