#include <cstring>

#include "status/status_codes.h"
#include "store_fixture.h"

namespace tesra::testing {
namespace {

TEST(StatusTextTest, LongestTextFillsTheWholeBuffer) {
    char text[STORE_STATUS_TEXT_SIZE + 4];
    std::memset(text, '#', sizeof text);
    const uint16_t length = storeLoadStatusText(nullptr, TESRA_STATUS_LONGEST_TEXT, text, STORE_STATUS_TEXT_SIZE);
    EXPECT_EQ(length, 199);
    EXPECT_EQ(std::strlen(text), 199u);
    EXPECT_EQ(text[STORE_STATUS_TEXT_SIZE], '#');
    EXPECT_NE(std::strstr(text, "locked"), nullptr) << text;
}

TEST(StatusTextTest, NoOtherTextIsAsLong) {
    char text[STORE_STATUS_TEXT_SIZE];
    for (uint16_t code = 1; code < 0x0200; ++code) {
        if (code == TESRA_STATUS_LONGEST_TEXT) continue;
        EXPECT_LT(storeLoadStatusText(nullptr, code, text, sizeof text), 199) << std::hex << code;
    }
}

TEST(StatusTextTest, CutsAndTerminatesWithinTheSizeGiven) {
    char text[16];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(storeLoadStatusText(nullptr, TESRA_ERR_WRONG_PASSWORD, text, 10), 9);
    EXPECT_STREQ(text, "The passw");
    EXPECT_EQ(text[10], '#');

    std::memset(text, '#', sizeof text);
    EXPECT_EQ(storeLoadStatusText(nullptr, TESRA_ERR_WRONG_PASSWORD, text, 1), 0);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], '#');

    std::memset(text, '#', sizeof text);
    EXPECT_EQ(storeLoadStatusText(nullptr, TESRA_ERR_WRONG_PASSWORD, text, 0), 0);
    EXPECT_EQ(text[0], '#');
    EXPECT_EQ(storeLoadStatusText(nullptr, TESRA_ERR_WRONG_PASSWORD, nullptr, 10), 0);
}

TEST(StatusTextTest, IgnoresTheBitsAboveTheCodeAndNamesUnknownCodes) {
    char plain[STORE_STATUS_TEXT_SIZE], flagged[STORE_STATUS_TEXT_SIZE];
    storeLoadStatusText(nullptr, TESRA_ERR_BAD_HANDLE, plain, sizeof plain);
    storeLoadStatusText(nullptr, 0xC000 | TESRA_ERR_BAD_HANDLE, flagged, sizeof flagged);
    EXPECT_STREQ(plain, flagged);

    char unknown[STORE_STATUS_TEXT_SIZE];
    storeLoadStatusText(nullptr, 0x3ABC, unknown, sizeof unknown);
    EXPECT_STREQ(unknown, "Unknown status 0x3ABC");
}

TEST(StatusTextTest, TextsLoadWhileTheRuntimeIsDown) {
    storeTerm();
    char text[STORE_STATUS_TEXT_SIZE];
    EXPECT_GT(storeLoadStatusText(nullptr, TESRA_ERR_NOT_STARTED, text, sizeof text), 0);
    EXPECT_NE(std::strstr(text, "not started"), nullptr) << text;
}

}  // namespace
}  // namespace tesra::testing
