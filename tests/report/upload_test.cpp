// uploadFile against the stand-in upload library: every kind of answer, delivered inside the
// start call or from a library thread, and two uploads at once.
#include "report/upload.h"

#include "keel.h"
#include "support/report_fixture.h"

#include <thread>

namespace
{

using namespace reporttest;
using standin::upload::Delivery;
using standin::upload::Reply;

struct UploadCase {
    const char *name;
    Reply reply;
    std::string expected;
    // The one line the upload logs, "" for none.
    std::string logLine;
};

void PrintTo(const UploadCase &c, std::ostream *out)
{
    *out << c.name;
}

const UploadCase kUploadCases[] = {
    {"DataString", standin::upload::body(R"({"data":"ref-1","more":[1]})"), "ref-1",
     "[Upload Success] {\"data\":\"ref-1\",\"more\":[1]}\n"},
    {"DataNotAString", standin::upload::body(R"({"data":42})"), "",
     "[Upload Success] {\"data\":42}\n"},
    {"BodyNotJson", standin::upload::body("<html>busy</html>"), "", ""},
    {"EmptyBody", standin::upload::body(""), "", ""},
    {"LibraryError", standin::upload::error(7, "denied"), "", "[Error] code: 7, message: denied\n"},
};

class UploadOutcome : public ReportTest,
                      public testing::WithParamInterface<std::tuple<UploadCase, Delivery>>
{
};

TEST_P(UploadOutcome, GivesTheDataStringOrEmptyAndLogsWhatItGot)
{
    const auto &[c, delivery] = GetParam();
    Reply reply = c.reply;
    reply.delivery = delivery;
    standin::upload::queueReply(reply);
    Tally::instance()->testEnvironment = delivery == Delivery::Inline;

    bool timedOut = true;
    EXPECT_EQ(uploadFile(inCache("1.dmp").toStdString(), &timedOut), c.expected);
    Tally::instance()->testEnvironment = false;
    EXPECT_FALSE(timedOut);
    standin::upload::waitUntilIdle();
    EXPECT_EQ(standin::upload::handlesDestroyedInUse(), 0u);
    EXPECT_EQ(standin::upload::liveHandles(), 0u);
    EXPECT_EQ(standin::log::lines(),
              c.logLine.empty() ? std::vector<std::string>() : std::vector<std::string>{c.logLine});
    const auto uploads = standin::upload::uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].appName, "keel");
    EXPECT_EQ(uploads[0].path, inCache("1.dmp").toStdString());
    EXPECT_EQ(uploads[0].business, "tally");
    EXPECT_EQ(uploads[0].suffix, "dmp");
    EXPECT_EQ(uploads[0].testEnvironment, delivery == Delivery::Inline);
}

INSTANTIATE_TEST_SUITE_P(EveryAnswer, UploadOutcome,
                         testing::Combine(testing::ValuesIn(kUploadCases),
                                          testing::Values(Delivery::Inline,
                                                          Delivery::FromLibraryThread)),
                         ParamName());

using UploadFile = ReportTest;

TEST_F(UploadFile, TwoUploadsAtOnceEachGetTheirOwnOutcome)
{
    const QString first = inCache("1.dmp");
    const QString second = inCache("2.dmp");
    writeFile(first, "first dump");
    writeFile(second, "second dump");
    standin::upload::setReplyForPath(first.toStdString(), standin::upload::stored(Delivery::Held));
    standin::upload::setReplyForPath(second.toStdString(),
                                     standin::upload::error(5, "full", Delivery::Held));

    std::string firstResult = "unset";
    std::string secondResult = "unset";
    std::thread watchdog([&] { firstResult = uploadFile(first.toStdString()); });
    std::thread retry([&] { secondResult = uploadFile(second.toStdString()); });
    ASSERT_TRUE(standin::upload::waitForHeld(2, kSafetyTimeout));
    standin::upload::releaseHeld();
    watchdog.join();
    retry.join();

    EXPECT_EQ(uploadedFile(firstResult), "first dump");
    EXPECT_EQ(secondResult, "");
}

} // namespace
