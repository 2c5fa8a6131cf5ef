#include <cstring>

#include "status/status_codes.h"
#include "store_fixture.h"
#include "time/regional_format.h"

namespace tesra::testing {
namespace {

RegionalSettings isoSettings() {
    RegionalSettings settings;
    storeReadRegionalSettings(&settings, sizeof settings);
    settings.flags = 0x019C;
    std::memcpy(settings.dateSeparator, "-", 2);
    std::memcpy(settings.timeSeparator, ":", 2);
    return settings;
}

StoreStatus read(const RegionalSettings *settings, const char *text, StoreTimestamp &stamp, uint16_t maxLength = 80,
                 const char **end = nullptr) {
    const char *pointer = text;
    const StoreStatus status = storeTextToStamp(settings, nullptr, &pointer, maxLength, &stamp);
    if (end != nullptr) *end = pointer;
    return status;
}

std::string write(const RegionalSettings *settings, const StoreTimestamp &stamp, uint16_t maxLength = 80) {
    char text[100];
    std::memset(text, '#', sizeof text);
    uint16_t length = 999;
    const StoreStatus status = storeStampToText(settings, nullptr, &stamp, text, maxLength, &length);
    if (status != TESRA_OK) return "status " + std::to_string(status) + " length " + std::to_string(length);
    return std::string(text, length);
}

TEST(StampTextTest, IsoSettingsReadAndWriteTheFixedLayout) {
    const RegionalSettings settings = isoSettings();
    const char *texts[] = {"0001-01-01 00:00:00", "2000-02-29 12:00:00", "2024-02-29 23:59:59",
                           "9999-12-31 23:59:59", "1970-01-01 00:00:01"};
    for (const char *text : texts) {
        StoreTimestamp stamp{};
        const char *end = nullptr;
        ASSERT_EQ(read(&settings, text, stamp, 80, &end), TESRA_OK) << text;
        EXPECT_EQ(end, text + std::strlen(text));
        EXPECT_EQ(write(&settings, stamp), text);
    }
}

TEST(StampTextTest, WritingDropsHundredthsUnlessAsked) {
    RegionalSettings settings = isoSettings();
    const StoreTimestamp lastMoment{{8639999, 3652059}};
    EXPECT_EQ(write(&settings, lastMoment), "9999-12-31 23:59:59");
    settings.flags |= kWriteHundredths;
    std::memcpy(reinterpret_cast<char *>(&settings) + 18, ".", 2);  // decimal separator
    EXPECT_EQ(write(&settings, lastMoment), "9999-12-31 23:59:59.99");
    StoreTimestamp back{};
    ASSERT_EQ(read(&settings, "9999-12-31 23:59:59.99", back), TESRA_OK);
    EXPECT_EQ(back.word[0], lastMoment.word[0]);
    EXPECT_EQ(back.word[1], lastMoment.word[1]);
    ASSERT_EQ(read(&settings, "9999-12-31 23:59:59.9", back), TESRA_OK);
    EXPECT_EQ(back.word[0], 8639990u) << "one digit is tenths";
    const char *end = nullptr;
    ASSERT_EQ(read(&settings, "9999-12-31 23:59:59. later", back, 80, &end), TESRA_OK);
    EXPECT_STREQ(end, ". later") << "a separator without digits is not part of the time";
}

TEST(StampTextTest, DefaultSettingsUseAnotherLayout) {
    RegionalSettings defaults;
    storeReadRegionalSettings(&defaults, sizeof defaults);
    StoreTimestamp stamp{};
    EXPECT_NE(read(&defaults, "2024-03-15 10:20:30", stamp), TESRA_OK);
    EXPECT_NE(read(nullptr, "2024-03-15 10:20:30", stamp), TESRA_OK);

    const StoreTimestamp afternoon{{(13 * 3600 + 5 * 60 + 9) * 100, 739325}};  // 2025-03-15 13:05:09
    const std::string text = write(&defaults, afternoon);
    EXPECT_EQ(text, "15.03.2025 1.05.09 PM");
    StoreTimestamp back{};
    ASSERT_EQ(read(&defaults, text.c_str(), back), TESRA_OK);
    EXPECT_EQ(back.word[0], afternoon.word[0]);
    EXPECT_EQ(back.word[1], afternoon.word[1]);

    RegionalSettings zeroed{};
    EXPECT_NE(read(&zeroed, "2024-03-15 10:20:30", stamp), TESRA_OK) << "flags 0 is not the ISO layout either";
}

TEST(StampTextTest, ReadsOnlyTheSizeGivenAndPartialSettingsCopies) {
    RegionalSettings settings;
    std::memset(&settings, 0xEE, sizeof settings);
    storeReadRegionalSettings(&settings, 2);
    EXPECT_EQ(reinterpret_cast<const unsigned char *>(&settings)[2], 0xEE) << "wrote past the size";
    storeReadRegionalSettings(&settings, 0);
    storeReadRegionalSettings(nullptr, 140);
}

TEST(StampTextTest, TwelveHourClockAndOtherDateOrders) {
    RegionalSettings settings = isoSettings();
    settings.flags = kTwelveHourClock | kFourDigitYear | kTwoDigitDayMonth | kMonthDayYear | kWriteSeconds;
    std::memcpy(settings.dateSeparator, "/", 2);
    const StoreTimestamp midnight{{5 * 100, 739325}};
    const StoreTimestamp noon{{12 * 360000, 739325}};
    EXPECT_EQ(write(&settings, midnight), "03/15/2025 12:00:05 AM");
    EXPECT_EQ(write(&settings, noon), "03/15/2025 12:00:00 PM");
    StoreTimestamp back{};
    ASSERT_EQ(read(&settings, "03/15/2025 12:00:05 am", back), TESRA_OK);
    EXPECT_EQ(back.word[0], midnight.word[0]);
    EXPECT_EQ(read(&settings, "03/15/2025 13:00:05 PM", back), TESRA_ERR_TIME_IMPOSSIBLE);
    EXPECT_EQ(read(&settings, "03/15/2025 11:00:05", back), TESRA_ERR_TEXT_MALFORMED);

    settings.flags = kYearMonthDay | kWriteSeconds;  // two-digit year
    EXPECT_EQ(write(&settings, midnight), "25/3/15 0:00:05");
    ASSERT_EQ(read(&settings, "49/1/1 0:00", back), TESRA_OK);
    TimeFields fields{};
    fields.stamp = back;
    storeStampToFields(&fields);
    EXPECT_EQ(fields.libraryWords0[0], 2049);
    ASSERT_EQ(read(&settings, "50/1/1 0:00", back), TESRA_OK);
    fields.stamp = back;
    storeStampToFields(&fields);
    EXPECT_EQ(fields.libraryWords0[0], 1950);
}

TEST(StampTextTest, RefusesBadTextsWithoutMovingThePointer) {
    const RegionalSettings settings = isoSettings();
    const struct {
        const char *text;
        StoreStatus status;
    } cases[] = {
        {"", TESRA_ERR_TEXT_EMPTY},
        {"   ", TESRA_ERR_TEXT_EMPTY},
        {"2024-13-01 00:00:00", TESRA_ERR_DATE_IMPOSSIBLE},
        {"2023-02-30 00:00:00", TESRA_ERR_DATE_IMPOSSIBLE},
        {"1900-02-29 00:00:00", TESRA_ERR_DATE_IMPOSSIBLE},
        {"0000-01-01 00:00:00", TESRA_ERR_DATE_IMPOSSIBLE},
        {"2024-01-00 00:00:00", TESRA_ERR_DATE_IMPOSSIBLE},
        {"2024-01-01 24:00:00", TESRA_ERR_TIME_IMPOSSIBLE},
        {"2024-01-01 23:60:00", TESRA_ERR_TIME_IMPOSSIBLE},
        {"2024-01-01 23:59:60", TESRA_ERR_TIME_IMPOSSIBLE},
        {"2024-01-01", TESRA_ERR_TEXT_MALFORMED},
        {"2024-01-01 ", TESRA_ERR_TEXT_MALFORMED},
        {"2024-01-0100:00:00", TESRA_ERR_TEXT_MALFORMED},
        {"24-01-01 00:00:00", TESRA_ERR_TEXT_MALFORMED},
        {"20245-01-01 00:00:00", TESRA_ERR_TEXT_MALFORMED},
        {"2024-001-01 00:00:00", TESRA_ERR_TEXT_MALFORMED},
        {"2024/01/01 00:00:00", TESRA_ERR_TEXT_MALFORMED},
        {"2024-01-01 00:00:0", TESRA_ERR_TEXT_MALFORMED},
        {"2024-01-01 000:00:00", TESRA_ERR_TEXT_MALFORMED},
        {"yesterday", TESRA_ERR_TEXT_MALFORMED},
        {"99999999999999999999999999999999999999999999999999999999999", TESRA_ERR_TEXT_MALFORMED},
    };
    for (const auto &c : cases) {
        StoreTimestamp stamp{{42, 42}};
        const char *end = nullptr;
        EXPECT_EQ(read(&settings, c.text, stamp, 80, &end), c.status) << "'" << c.text << "'";
        EXPECT_EQ(end, c.text) << "'" << c.text << "'";
        EXPECT_EQ(stamp.word[0], 42u);
    }
}

TEST(StampTextTest, NeverReadsPastMaxLength) {
    const RegionalSettings settings = isoSettings();
    StoreTimestamp stamp{};
    // The text is complete only if the reader looks past maxLength.
    EXPECT_EQ(read(&settings, "2024-01-01 10:00:00", stamp, 15), TESRA_ERR_TEXT_MALFORMED);
    EXPECT_EQ(read(&settings, "2024-01-01 10:00:00", stamp, 0), TESRA_ERR_TEXT_EMPTY);
    EXPECT_EQ(read(&settings, "     2024-01-01 10:00:00", stamp, 5), TESRA_ERR_TEXT_EMPTY);

    // Seconds beyond the limit stay unread: the time ends at the minutes.
    const char *text = "2024-01-01 10:00:59";
    const char *end = nullptr;
    ASSERT_EQ(read(&settings, text, stamp, 16, &end), TESRA_OK);
    EXPECT_EQ(end, text + 16);
    EXPECT_EQ(stamp.word[0], 10u * 360000u);

    // A buffer with no terminator at all, guarded by maxLength.
    char unterminated[19];
    std::memcpy(unterminated, "2024-06-30 08:09:10", sizeof unterminated);
    ASSERT_EQ(read(&settings, unterminated, stamp, sizeof unterminated, &end), TESRA_OK);
    EXPECT_EQ(end, unterminated + sizeof unterminated);
}

TEST(StampTextTest, TrailingTextIsLeftForTheCaller) {
    const RegionalSettings settings = isoSettings();
    const char *text = "  2024-01-01 10:00:00, then more";
    const char *end = nullptr;
    StoreTimestamp stamp{};
    ASSERT_EQ(read(&settings, text, stamp, 80, &end), TESRA_OK);
    EXPECT_STREQ(end, ", then more");
}

TEST(StampTextTest, NullPointersAreRefused) {
    const char *text = "2024-01-01 10:00:00";
    StoreTimestamp stamp{};
    EXPECT_EQ(storeTextToStamp(nullptr, nullptr, nullptr, 80, &stamp), TESRA_ERR_NULL_ARGUMENT);
    const char *nullText = nullptr;
    EXPECT_EQ(storeTextToStamp(nullptr, nullptr, &nullText, 80, &stamp), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(storeTextToStamp(nullptr, nullptr, &text, 80, nullptr), TESRA_ERR_NULL_ARGUMENT);
    char buffer[80];
    uint16_t length = 0;
    EXPECT_EQ(storeStampToText(nullptr, nullptr, nullptr, buffer, 80, &length), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(storeStampToText(nullptr, nullptr, &stamp, nullptr, 80, &length), TESRA_ERR_NULL_ARGUMENT);
}

TEST(StampTextTest, WritingRespectsMaxLengthAndRefusesInvalidStamps) {
    const RegionalSettings settings = isoSettings();
    const StoreTimestamp stamp{{0, 739325}};
    EXPECT_EQ(write(&settings, stamp, 19), "2025-03-15 00:00:00");
    EXPECT_EQ(write(&settings, stamp, 18), "status " + std::to_string(TESRA_ERR_TEXT_BUFFER_TOO_SMALL) + " length 0");

    char text[40];
    std::memset(text, '#', sizeof text);
    uint16_t length = 0;
    ASSERT_EQ(storeStampToText(&settings, nullptr, &stamp, text, 19, &length), TESRA_OK);
    EXPECT_EQ(text[19], '#') << "no terminator is written past the text";

    for (const StoreTimestamp &invalid : {StoreTimestamp{{8640000, 739325}}, StoreTimestamp{{0, 0}},
                                          StoreTimestamp{{0, 3652060}}}) {
        EXPECT_EQ(write(&settings, invalid), "status " + std::to_string(TESRA_ERR_STAMP_INVALID) + " length 0");
    }
}

}  // namespace
}  // namespace tesra::testing
