// uploadFile against the stand-in upload library: every kind of answer, delivered inside
// the start call, from a library thread or held and released later; two uploads at once;
// a completion that never comes.
#include "report/upload.h"

#include "keel.h"
#include "report_fixture.h"

#include <QDir>

#include <thread>

namespace
{

using namespace reporttest;
using standin::upload::Delivery;
using standin::upload::Reply;

// Runs uploadFile; a held completion is released from this thread while another waits.
std::string upload(const std::string &path, Delivery delivery)
{
    if (delivery != Delivery::Held)
        return uploadFile(path);
    std::string result;
    std::thread uploader([&] { result = uploadFile(path); });
    EXPECT_TRUE(standin::upload::waitForHeld(1, kSafetyTimeout));
    standin::upload::releaseHeld();
    uploader.join();
    return result;
}

Reply delivered(Reply reply, Delivery delivery)
{
    reply.delivery = delivery;
    return reply;
}

struct UploadCase {
    const char *name;
    Reply reply;
    // The reference uploadFile must return; null for the key the stand-in stored under.
    const char *expected;
    // The one line the upload logs, "" for none; "<body>" stands for the stored answer.
    std::string logLine;
};

void PrintTo(const UploadCase &c, std::ostream *out)
{
    *out << c.name;
}

const UploadCase kUploadCases[] = {
    {"Stored", standin::upload::stored(), nullptr, "<body>"},
    {"DataString", standin::upload::body(R"({"data":"ref-1","more":[1]})"), "ref-1",
     "[Upload Success] {\"data\":\"ref-1\",\"more\":[1]}\n"},
    {"DataEmptyString", standin::upload::body(R"({"data":""})"), "",
     "[Upload Success] {\"data\":\"\"}\n"},
    {"DataNotAString", standin::upload::body(R"({"data":42})"), "",
     "[Upload Success] {\"data\":42}\n"},
    {"NoData", standin::upload::body(R"({"code":0})"), "", "[Upload Success] {\"code\":0}\n"},
    {"ArrayBody", standin::upload::body(R"(["data"])"), "", "[Upload Success] [\"data\"]\n"},
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
    const QString dump = inCache("1700000000001.dmp");
    writeFile(dump, "MDMP dump bytes");
    standin::upload::queueReply(delivered(c.reply, delivery));

    const std::string reference = upload(dump.toStdString(), delivery);

    std::string expected = c.expected ? c.expected : "";
    std::string logLine = c.logLine;
    if (!c.expected) {
        ASSERT_FALSE(reference.empty());
        EXPECT_EQ(uploadedFile(reference), "MDMP dump bytes");
        expected = reference;
        logLine = "[Upload Success] {\"data\":\"" + reference + "\"}\n";
    }
    EXPECT_EQ(reference, expected);
    // The success line is logged after the result is handed over.
    standin::upload::waitUntilIdle();
    std::vector<std::string> expectedLines;
    if (!logLine.empty())
        expectedLines.push_back(logLine);
    EXPECT_EQ(standin::log::lines(), expectedLines);
}

INSTANTIATE_TEST_SUITE_P(EveryAnswerEveryTiming, UploadOutcome,
                         testing::Combine(testing::ValuesIn(kUploadCases),
                                          testing::Values(Delivery::Inline,
                                                          Delivery::FromLibraryThread,
                                                          Delivery::Held)),
                         [](const testing::TestParamInfo<std::tuple<UploadCase, Delivery>> &info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    nameOf(std::get<1>(info.param));
                         });

using UploadFile = ReportTest;

TEST_F(UploadFile, HandsTheLibraryTheModulesNamesAndTheTestSwitch)
{
    const QString dump = inCache("1700000000002.dmp");
    writeFile(dump, "x");
    for (const bool testEnvironment : {true, false}) {
        Tally::instance()->testEnvironment = testEnvironment;
        EXPECT_FALSE(uploadFile(dump.toStdString()).empty());
    }
    Tally::instance()->testEnvironment = false;

    const auto uploads = standin::upload::uploads();
    ASSERT_EQ(uploads.size(), 2u);
    for (std::size_t i = 0; i < uploads.size(); ++i) {
        EXPECT_EQ(uploads[i].appName, "keel");
        EXPECT_EQ(uploads[i].path, dump.toStdString());
        EXPECT_EQ(uploads[i].business, "tally");
        EXPECT_EQ(uploads[i].suffix, "dmp");
        EXPECT_EQ(uploads[i].testEnvironment, i == 0);
    }
}

TEST_F(UploadFile, MissingOrEmptyPathIsHandedOnAndGivesEmpty)
{
    for (const std::string &path : {std::string(), inCache("absent.dmp").toStdString()}) {
        SCOPED_TRACE(path);
        standin::log::clear();
        EXPECT_EQ(uploadFile(path), "");
        ASSERT_FALSE(standin::upload::uploads().empty());
        EXPECT_EQ(standin::upload::uploads().back().path, path);
        ASSERT_EQ(standin::log::lines().size(), 1u);
        EXPECT_EQ(standin::log::lines()[0].rfind("[Error] code: ", 0), 0u);
    }
}

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

TEST_F(UploadFile, GivesUpAfterTheTimeLimitAndALateCompletionIsHarmless)
{
    const QString dump = inCache("3.dmp");
    writeFile(dump, "late dump");
    setUploadTimeLimitForTesting(std::chrono::milliseconds(50));
    standin::upload::queueReply(standin::upload::stored(Delivery::Held));

    EXPECT_EQ(uploadFile(dump.toStdString()), "") << "no completion within the limit";
    ASSERT_TRUE(standin::upload::waitForHeld(1, kSafetyTimeout));

    // The caller's engine and resource are gone; the completion arrives anyway.
    standin::upload::releaseHeld();
    EXPECT_EQ(standin::log::count("[Upload Success]"), 1u);

    setUploadTimeLimitForTesting(std::chrono::milliseconds(0));
    const std::string reference = uploadFile(dump.toStdString());
    EXPECT_EQ(uploadedFile(reference), "late dump") << "a later upload is not confused by it";
}

} // namespace
