// libkeelANR's public face: call KeelAnr::start once from the GUI thread, after the
// QGuiApplication exists. Detection switches on when the analytics client delivers a
// cloud configuration with "lag_sw" = "1".
#pragma once

#include "keelanr_export.h"

#include <QString>

class QObject;
class ANRCollector;
struct KeelAnrInternals;

class KEELANR_EXPORT KeelAnr
{
public:
    // Defined (as defaults) in the module, so that they are part of its exports.
    KeelAnr &operator=(const KeelAnr &);
    KeelAnr &operator=(KeelAnr &&);

    // Makes "keel-anr-cache" under `dir`, installs the event-loop probes (disabled), asks
    // the analytics client for the cloud configuration and retries cached reports.
    static void start(const QString &dir);
    // Pauses detection; a later open configuration resumes it.
    static void stop();

    // Wall-clock milliseconds at which start ran; 0 before.
    static long long startTime;

private:
    friend struct KeelAnrInternals;

    static QObject *anrEventFilter;
    static ANRCollector *anrCollector();
    static void retryFailedCache();
};
