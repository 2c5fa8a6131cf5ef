// getModifiedTesra on since texts no caller should send, against the scripted
// store, which logs the very bytes it was handed: every one ends in a Java
// exception or a search, and every trace line stays whole.
#include <gtest/gtest.h>

#include <string>

#include "scripted_query_test.h"
#include "store_double.h"
#include "trace_lines.h"

using namespace std::string_literals;

namespace {

const std::string notMillisecondsMessage =
    "The since text does not end in a full stop and three digits of milliseconds.";

class HostileSince : public ScriptedQueryTest {
protected:

    // The text storeTextToStamp was given, or "(not called)".
    static std::string textHandedToStore()
    {
        const std::string log = storeDoubleCallLog();
        const std::string opening = ", null, \"";
        size_t call = log.find("storeTextToStamp(");
        if (call == std::string::npos) {
            return "(not called)";
        }
        size_t start = log.find(opening, call) + opening.size();
        return log.substr(start, log.find("\", 80)\n", start) - start);
    }

    // Checks the outcome of a since text the bridge hands on: its date and
    // time part traced and given to the store (cut to 80), its hundredths applied.
    static void expectSearched(const QueryResult &result, const std::string &dateTime, unsigned hundredths)
    {
        EXPECT_FALSE(result.exception.thrown) << result.exception.message;
        EXPECT_NE(result.trace.find("strTimeSince: " + dateTime + "\nSince time hundredthsOfSec: " +
                                    std::to_string(hundredths) + "\n"),
                  std::string::npos)
            << result.trace;
        EXPECT_EQ(textHandedToStore(), dateTime.substr(0, 80));
        EXPECT_EQ(result.endText, "kept2024-05-06 12:30:00.370");
        EXPECT_EQ(malformedTraceLines(result.trace), std::vector<std::string>{});
    }

    static void expectRefused(const QueryResult &result)
    {
        EXPECT_EQ(result.exception.className, "java.lang.Exception");
        EXPECT_EQ(result.exception.message, notMillisecondsMessage);
        EXPECT_EQ(textHandedToStore(), "(not called)");
        EXPECT_EQ(result.endText, "kept");
        EXPECT_EQ(malformedTraceLines(result.trace), std::vector<std::string>{});
    }
};

TEST_F(HostileSince, FourCharactersAreAllFraction)
{
    struct Case {
        const char *since;
        int hundredths; // -1: refused
    } cases[] = {{".450", 45}, {"9999", 99}, {"1.23", 0}, {"    ", 0}, {"x-50", -1}};
    for (const Case &c : cases) {
        SetUp();
        SCOPED_TRACE(c.since);
        QueryResult result = runQuery(c.since, "kept");
        if (c.hundredths < 0) {
            expectRefused(result);
        } else {
            expectSearched(result, "", (unsigned)c.hundredths);
        }
    }
}

TEST_F(HostileSince, TheStoreIsHandedAtMostEightyCharacters)
{
    std::string digits;
    while (digits.size() < 100) {
        digits += "0123456789";
    }
    for (size_t length : {80u, 81u, 84u, 85u, 86u}) {
        SetUp();
        SCOPED_TRACE(length);
        std::string since = digits.substr(0, length - 4) + ".120";
        expectSearched(runQuery(since.c_str(), "kept"), digits.substr(0, length - 4), 12);
    }
}

// The virtual machine hands the bridge modified UTF-8: U+0000 as C0 80, a
// supplementary character as two three-byte surrogates. The cut is by bytes.
TEST_F(HostileSince, ModifiedUtf8IsCutByBytesAndTracedAsItCame)
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;

    expectSearched(runQueryWith(javaStringOfUnits(env, u"2024-05-06\u000012:00:00.450"s), "kept"),
                   "2024-05-06\xC0\x80" "12:00:00", 45);

    SetUp();
    expectSearched(runQueryWith(javaStringOfUnits(env, u"2024-05-06 12:00:00\U0001F600"s), "kept"),
                   "2024-05-06 12:00:00\xED\xA0", 0);

    SetUp();
    expectSearched(runQueryWith(javaStringOfUnits(env, u"\xD800" u"2024-05-06 12:00:00.990"s), "kept"),
                   "\xED\xA0\x80" "2024-05-06 12:00:00", 99);

    // Three bytes of one character stand where the milliseconds belong: they
    // read as no digits at all, so the text counts as ending in ".000".
    SetUp();
    expectSearched(runQueryWith(javaStringOfUnits(env, u"2024-05-06 12:00:00.\u65E5"s), "kept"), "2024-05-06 12:00:00", 0);

    SetUp();
    std::u16string euros(4000, u'\u20AC');
    std::string euroBytes;
    for (int i = 0; i < 4000; ++i) {
        euroBytes += "\xE2\x82\xAC";
    }
    expectSearched(runQueryWith(javaStringOfUnits(env, euros), "kept"), euroBytes.substr(0, euroBytes.size() - 4), 0);
}

// The three last characters are read as a number the way atoi reads one:
// blanks and a sign before the digits are taken, anything after the first
// digits is ignored, and only a negative number is refused.
TEST_F(HostileSince, SignsAndBlanksInTheMilliseconds)
{
    struct Case {
        const char *fraction;
        int hundredths; // -1: refused
    } cases[] = {{".+45", 4}, {". 45", 4}, {".45 ", 4}, {".4 5", 0}, {".+-1", 0}, {".-0 ", 0}, {". -1", -1}, {".-99", -1}};
    for (const Case &c : cases) {
        SetUp();
        std::string since = std::string("2024-05-06 12:00:00") + c.fraction;
        SCOPED_TRACE(since);
        QueryResult result = runQuery(since.c_str(), "kept");
        if (c.hundredths < 0) {
            expectRefused(result);
        } else {
            expectSearched(result, "2024-05-06 12:00:00", (unsigned)c.hundredths);
        }
    }
}

TEST_F(HostileSince, StatusTextsAreCutToTheLongestTheMessageHolds)
{
    const std::string longText(300, 's');
    storeDoubleSetStatusText(longText.c_str());
    storeDoubleSetStatus("storeTextToStamp", 0xFFFF);
    QueryResult parse = runQuery("2024-05-06 12:00:00.000", "kept");
    std::string message = "Native call ParseStampText failed with error: code 65535, '" + longText.substr(0, 199) + "'";
    EXPECT_EQ(parse.exception.message, message);
    EXPECT_NE(parse.trace.find("\nError: " + message + "\n"), std::string::npos);
    EXPECT_EQ(malformedTraceLines(parse.trace), std::vector<std::string>{});

    SetUp();
    storeDoubleSetStatusText(longText.c_str());
    storeDoubleSetStatus("storeInit", 0xFFFF);
    InitResult init = runInit(nullptr, "main.tdb", "password");
    EXPECT_EQ(init.exception.message.size(), 262u); // the longest a failure message can be
    EXPECT_EQ(init.exception.message,
              "Native call TesraInitExtended failed with error: code 65535, '" + longText.substr(0, 199) + "'");
    EXPECT_EQ(malformedTraceLines(init.trace), std::vector<std::string>{});
}

} // namespace
