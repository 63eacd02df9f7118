#include "anr/keel_anr.h"
#include "config/startup_event.h"
#include "keel.h"
#include "support/module_fixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace
{

TEST(StartupEvent, PayloadIsBuiltPieceByPiece)
{
    EXPECT_EQ(startupEventPayload(0, true, "host.exe", "4242"),
              R"({"process_name":"host.exe","pid":"4242","type":0,"is_main_process":1})");
    EXPECT_EQ(startupEventPayload(1, false, "a.exe", "7"),
              R"({"process_name":"a.exe","pid":"7","type":1,"is_main_process":0})");
    EXPECT_EQ(startupEventPayload(-3, true, "", "1"),
              R"({"process_name":"","pid":"1","type":-3,"is_main_process":1})");
}

TEST(StartupEvent, IsSentWithItsIdentityAndNoCallback)
{
    standin::tally::clearEvents();
    sendStartupEvent(1, false, "demo");
    const auto events = standin::tally::eventsNamed("keel_orlaanr_init");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].payload, startupEventPayload(1, false, "demo", std::to_string(getpid())));
    EXPECT_EQ(events[0].guid, "");
    EXPECT_EQ(events[0].first, 2);
    EXPECT_EQ(events[0].second, 1);
    EXPECT_FALSE(events[0].hasDone);
}

TEST(StartupEvent, InitCallbackSendsTypeOneUntilStop)
{
    Keel::instance()->processName = "first";
    testsupport::startModuleOnce();
    standin::tally::clearEvents();

    Keel::instance()->processName = "renamed";
    Keel::instance()->isMainProcess = false;
    standin::keel::fireInitEvent();
    auto events = standin::tally::eventsNamed("keel_orlaanr_init");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].payload, startupEventPayload(1, false, "renamed", std::to_string(getpid())))
        << "name and flag are read when the host fires the callback";

    KeelAnr::stop();
    EXPECT_FALSE(Keel::instance()->initEventCallback);
    standin::keel::fireInitEvent();
    EXPECT_EQ(standin::tally::eventsNamed("keel_orlaanr_init").size(), 1u);

    testsupport::deliver({{"lag_sw", "1"}});
    events = standin::tally::eventsNamed("keel_orlaanr_init");
    ASSERT_EQ(events.size(), 2u) << "an open delivery still announces the start after stop";
    EXPECT_NE(events[1].payload.find("\"type\":0"), std::string::npos);
    Keel::instance()->isMainProcess = true;
}

} // namespace
