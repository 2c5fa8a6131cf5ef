// getModifiedTesra against the scripted store: since text handling, entries,
// end text, failures, and the order of the store calls.
#include <gtest/gtest.h>

#include <string>

#include "com_kestrum_orlo_connector_VarnexChangeDetectionConnector.h"
#include "scripted_query_test.h"
#include "store_double.h"

namespace {

const std::string queryLine = "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_getModifiedTesra()\n";
const std::string queryEndLine = "End of " + queryLine;

class ChangeQuery : public ScriptedQueryTest {
protected:
    std::string log() const { return storeDoubleCallLog(); }
};

TEST_F(ChangeQuery, ReportsEntriesTracesAndAppendsTheEndText)
{
    ChangeMatch present = makeMatch(255, 1, 2, 3, 4, 0x01);
    ChangeMatch deleted = makeMatch(0x10, 0xABCDEF, 0, 0xFFFFFFFF, 0x1234, 0xFE);
    storeDoubleAddMatch(&present);
    storeDoubleAddMatch(&deleted);

    QueryResult result = runQuery("2024-05-06 12:00:00.450");

    ASSERT_FALSE(result.exception.thrown) << result.exception.message;
    ASSERT_EQ(result.entries.size(), 2u);
    EXPECT_EQ(result.entries[0], "00000002000000010000000400000003:FF:NOR");
    EXPECT_EQ(result.entries[1], "0000000000ABCDEF00001234FFFFFFFF:10:DEL");
    EXPECT_EQ(result.endText, "2024-05-06 12:30:00.370");
    EXPECT_EQ(result.trace, queryLine +
                                "strTimeSince: 2024-05-06 12:00:00\n"
                                "Since time hundredthsOfSec: 45\n"
                                "returnData: 00000002000000010000000400000003:FF:NOR\n"
                                "returnData: 0000000000ABCDEF00001234FFFFFFFF:10:DEL\n"
                                "strEndDate: 2024-05-06 12:30:00.370\n" +
                                queryEndLine);
    EXPECT_EQ(log(), "storeReadRegionalSettings(140)\n"
                     "storeTextToStamp(flags=019C date=- time=: rest=kept, null, \"2024-05-06 12:00:00\", 80)\n"
                     "storeStampToFields(3600000/738000)\n"
                     "storeFieldsToStamp(hundredths=45)\n"
                     "storeSearch(0, 0, null, 0001, 7FFF, 3600045/738000)\n"
                     "storeStampToText(flags=019C, null, 4500037/738001, 80)\n"
                     "storeStampTicks(4500037/738001)\n");
}

TEST_F(ChangeQuery, NullSinceUsesTheDefaultTextWithoutHundredths)
{
    QueryResult result = runQuery(nullptr);
    EXPECT_FALSE(result.exception.thrown);
    EXPECT_NE(result.trace.find("strTimeSince: 0001-01-01 00:00:00\nSince time hundredthsOfSec: 0\n"),
              std::string::npos);
    EXPECT_NE(log().find("\"0001-01-01 00:00:00\", 80)\nstoreSearch(0, 0, null, 0001, 7FFF, 3600000/738000)"),
              std::string::npos)
        << log();
}

TEST_F(ChangeQuery, MillisecondDigitsBecomeHundredths)
{
    struct Case {
        const char *fraction;
        unsigned hundredths;
    } cases[] = {{"000", 0}, {"009", 0}, {"010", 1}, {"999", 99}, {"370", 37}};
    for (const Case &c : cases) {
        SetUp();
        std::string since = std::string("2024-05-06 12:00:00.") + c.fraction;
        QueryResult result = runQuery(since.c_str());
        EXPECT_NE(result.trace.find("Since time hundredthsOfSec: " + std::to_string(c.hundredths) + "\n"),
                  std::string::npos)
            << since;
        bool adjusted = log().find("storeFieldsToStamp") != std::string::npos;
        EXPECT_EQ(adjusted, c.hundredths != 0) << since;
        if (c.hundredths != 0) {
            EXPECT_NE(log().find("hundredths=" + std::to_string(c.hundredths) + ")"), std::string::npos);
        }
    }
}

TEST_F(ChangeQuery, FractionThatIsNotMillisecondsThrowsBeforeSearching)
{
    for (const char *since : {"2024-05-06 12:00:00.-12", "2024-05-06 12:00:00.-1 "}) {
        SetUp();
        QueryResult result = runQuery(since, "kept");
        EXPECT_TRUE(result.exception.thrown) << since;
        EXPECT_EQ(result.exception.className, "java.lang.Exception");
        EXPECT_EQ(result.endText, "kept");
        EXPECT_TRUE(result.entries.empty());
        EXPECT_EQ(log().find("storeSearch"), std::string::npos) << log();
        EXPECT_NE(result.trace.find("Error: " + result.exception.message + "\n"), std::string::npos);
    }
}

TEST_F(ChangeQuery, ShortSinceTextIsHandedOverUncut)
{
    for (const char *since : {"", "1", "12.", "abc"}) {
        SetUp();
        QueryResult result = runQuery(since);
        EXPECT_NE(result.trace.find("strTimeSince: " + std::string(since) + "\nSince time hundredthsOfSec: 0\n"),
                  std::string::npos)
            << since;
        EXPECT_NE(log().find("\"" + std::string(since) + "\", 80)"), std::string::npos) << log();
    }
}

TEST_F(ChangeQuery, LongSinceTextIsReadToEightyCharacters)
{
    std::string since(4000, '7');
    QueryResult result = runQuery(since.c_str());
    EXPECT_NE(result.trace.find("strTimeSince: " + std::string(3996, '7') + "\n"), std::string::npos);
    EXPECT_NE(log().find("\"" + std::string(80, '7') + "\", 80)"), std::string::npos) << log();
}

TEST_F(ChangeQuery, EndTextIsAppendedAndAlwaysEndsInThreeDigits)
{
    for (uint32_t ticks : {0u, 7u, 99u, 8639999u}) {
        SetUp();
        storeDoubleSetUntil({{ticks, 5}}, "06.05.2024 12-30", ticks);
        QueryResult result = runQuery("2024-05-06 12:00:00.000", "before|");
        char expected[64];
        snprintf(expected, sizeof expected, "before|06.05.2024 12-30.%02u0", ticks % 100);
        EXPECT_EQ(result.endText, expected);
    }
}

TEST_F(ChangeQuery, NothingChangedStillAppendsTheEndText)
{
    QueryResult result = runQuery("2024-05-06 12:00:00.000");
    EXPECT_TRUE(result.entries.empty());
    EXPECT_FALSE(result.returnedNull);
    EXPECT_EQ(result.endText, "2024-05-06 12:30:00.370");
}

TEST_F(ChangeQuery, ParseFailureThrowsAndReturnsAnEmptyResult)
{
    storeDoubleSetStatus("storeTextToStamp", 0x0222);
    QueryResult result = runQuery("not a time.000", "kept");
    std::string message = "Native call ParseStampText failed with error: code 546, 'status text 546'";
    EXPECT_EQ(result.exception.message, message);
    EXPECT_FALSE(result.returnedNull);
    EXPECT_TRUE(result.entries.empty());
    EXPECT_EQ(result.endText, "kept");
    EXPECT_EQ(result.trace, queryLine + "strTimeSince: not a time\nSince time hundredthsOfSec: 0\nError: " + message + "\n");
    EXPECT_EQ(log().find("storeSearch"), std::string::npos);
}

TEST_F(ChangeQuery, SearchFailureKeepsTheEntriesAddedSoFar)
{
    ChangeMatch first = makeMatch(1, 1, 1, 1, 1, 1);
    ChangeMatch second = makeMatch(2, 2, 2, 2, 2, 0);
    storeDoubleAddMatch(&first);
    storeDoubleAddMatch(&second);
    storeDoubleSetStatus("storeSearch", 0x8230);
    QueryResult result = runQuery("2024-05-06 12:00:00.000", "kept");

    EXPECT_EQ(result.exception.message, "Native call QRVSearch failed with error: code 33328, 'status text 560'");
    ASSERT_EQ(result.entries.size(), 2u);
    EXPECT_EQ(result.entries[1], "00000002000000020000000200000002:2:DEL");
    EXPECT_EQ(result.endText, "kept");
    EXPECT_EQ(result.trace.find("strEndDate"), std::string::npos);
    EXPECT_EQ(result.trace.find("End of"), std::string::npos);
}

TEST_F(ChangeQuery, NullEndTextThrowsInsteadOfCrashing)
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    StdoutCapture capture;
    jobject entries = Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_getModifiedTesra(
        env, nullptr, nullptr, nullptr);
    capture.finish();
    JavaException exception = takeJavaException(env);
    EXPECT_EQ(entries, nullptr);
    EXPECT_EQ(exception.className, "java.lang.Exception");
    EXPECT_EQ(std::string(storeDoubleCallLog()), "");
}

} // namespace
