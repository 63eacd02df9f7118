#include "support/module_fixture.h"

#include "anr/keel_anr.h"

#include <gtest/gtest.h>

namespace testsupport
{

QString moduleDirectory()
{
    static QTemporaryDir directory;
    return directory.path();
}

void startModuleOnce()
{
    static const bool started = [] {
        standin::log::enable();
        KeelAnr::start(moduleDirectory());
        standin::tally::waitUntilIdle();
        return true;
    }();
    (void)started;
}

void deliver(const Configuration &configuration)
{
    ASSERT_TRUE(standin::tally::deliverCloudConfiguration(configuration));
}

} // namespace testsupport
