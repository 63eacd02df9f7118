// Starting the module once per test process, as a host does, with the stand-in SDK.
#pragma once

#include "anr/keel_anr.h"
#include "anr/keel_anr_internals.h"
#include "detector/anr_collector.h"
#include "detector/anr_event_filter.h"
#include "keel_standin.h"
#include "support/poll.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <string>

namespace testsupport
{

using Configuration = std::map<std::string, std::string>;

// The directory handed to KeelAnr::start; lives as long as the process.
inline QString moduleDirectory()
{
    static QTemporaryDir directory;
    return directory.path();
}

// KeelAnr::start(moduleDirectory()) on the first call; later calls do nothing.
inline void startModuleOnce()
{
    static const bool started = [] {
        standin::log::enable();
        KeelAnr::start(moduleDirectory());
        standin::tally::waitUntilIdle();
        return true;
    }();
    (void)started;
}

// Delivers `configuration` through the stand-in client and waits until the handler ran.
inline void deliver(const Configuration &configuration)
{
    ASSERT_TRUE(standin::tally::deliverCloudConfiguration(configuration));
}

// What the module applied: "on|lag_first_time|stuck_first_time|lag_sample_rate" ("off|...").
inline std::string appliedState()
{
    const ANRCollector::Thresholds thresholds = KeelAnrInternals::collector()->thresholds();
    return std::string(KeelAnrInternals::eventFilter()->enabled.load() ? "on|" : "off|") +
           std::to_string(thresholds.lagFirstTime) + "|" +
           std::to_string(thresholds.stuckFirstTime) + "|" +
           std::to_string(thresholds.lagSampleRate);
}

} // namespace testsupport
