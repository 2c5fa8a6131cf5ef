// End texts made from the local store's timestamps and read back as since
// texts give back the same timestamp, to the hundredth.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>

#include "changes/end_text.h"
#include "changes/regional_settings.h"
#include "changes/since_text.h"
#include "jvm_support.h"

namespace {

const uint32_t lastDay = 3652059; // 9999-12-31
const uint32_t ticksPerDay = 8640000;

StoreTimestamp parsed(const char *text)
{
    RegionalSettings settings;
    fillRegionalSettings(&settings);
    StoreTimestamp stamp = {{0, 0}};
    const char *cursor = text;
    EXPECT_EQ(storeTextToStamp(&settings, nullptr, &cursor, 80, &stamp), 0) << text;
    return stamp;
}

std::string roundTripFailure(StoreTimestamp stamp)
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    RegionalSettings settings;
    fillRegionalSettings(&settings);
    char endText[END_TEXT_SIZE];
    StdoutCapture capture;
    formatEndText(&settings, &stamp, endText);
    size_t length = strlen(endText);
    if (length < 4 || endText[length - 4] != '.' || endText[length - 1] != '0') {
        return std::string("end text without .DD0: ") + endText;
    }
    StoreTimestamp back = {{0, 0}};
    bool parsedBack = parseSinceText(env, javaString(env, endText), &settings, &back);
    capture.finish();
    if (!parsedBack) {
        return "not read back: " + std::string(endText) + " " + takeJavaException(env).message;
    }
    if (back.word[0] != stamp.word[0] || back.word[1] != stamp.word[1]) {
        return std::string(endText) + " read back as another time";
    }
    return "";
}

TEST(StampRoundTrip, EdgesOfTheCalendarAndLeapDays)
{
    StoreTimestamp stamps[] = {
        {{0, 1}},
        {{ticksPerDay - 1, 1}},
        {{ticksPerDay - 1, lastDay}},
        {{1, lastDay}},
        parsed("2024-02-29 12:00:00"),
        parsed("2000-02-29 23:59:59"),
        parsed("1600-02-29 00:00:01"),
        parsed("1970-01-01 00:00:00"),
    };
    for (StoreTimestamp stamp : stamps) {
        for (uint32_t hundredths : {0u, 1u, 9u, 10u, 50u, 99u}) {
            StoreTimestamp adjusted = {{stamp.word[0] - stamp.word[0] % 100 + hundredths, stamp.word[1]}};
            EXPECT_EQ(roundTripFailure(adjusted), "");
        }
    }
}

TEST(StampRoundTrip, RandomTimestamps)
{
    std::mt19937 random(42);
    for (int i = 0; i < 3000; ++i) {
        StoreTimestamp stamp = {{(uint32_t)(random() % ticksPerDay), (uint32_t)(1 + random() % lastDay)}};
        ASSERT_EQ(roundTripFailure(stamp), "") << stamp.word[1] << "/" << stamp.word[0];
    }
}

} // namespace
