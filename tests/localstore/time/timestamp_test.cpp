#include <cstring>

#include "status/status_codes.h"
#include "store_fixture.h"
#include "time/calendar.h"

namespace tesra::testing {
namespace {

struct Fields {
    int32_t year, month, day, hour, minute, second, weekday, hundredths, dayOfYear, unused;
    StoreTimestamp stamp;
};
static_assert(sizeof(Fields) == sizeof(TimeFields), "test view of TimeFields");

TimeFields fieldsOf(int year, int month, int day, int hour, int minute, int second, int hundredths) {
    TimeFields fields{};
    Fields view{year, month, day, hour, minute, second, 0, hundredths, 0, 0, {{0, 0}}};
    std::memcpy(&fields, &view, sizeof fields);
    return fields;
}

Fields viewOf(const TimeFields &fields) {
    Fields view;
    std::memcpy(&view, &fields, sizeof view);
    return view;
}

TEST(TimestampTest, EncodingIsHundredthsSinceMidnightAndDayNumberFromYearOne) {
    TimeFields first = fieldsOf(1, 1, 1, 0, 0, 0, 0);
    ASSERT_EQ(storeFieldsToStamp(&first), TESRA_OK);
    EXPECT_EQ(first.stamp.word[0], 0u);
    EXPECT_EQ(first.stamp.word[1], 1u);

    TimeFields last = fieldsOf(9999, 12, 31, 23, 59, 59, 99);
    ASSERT_EQ(storeFieldsToStamp(&last), TESRA_OK);
    EXPECT_EQ(last.stamp.word[0], 8639999u);
    EXPECT_EQ(last.stamp.word[1], 3652059u);
    EXPECT_EQ(storeStampTicks(&last.stamp), 8639999u);
    EXPECT_EQ(storeStampTicks(nullptr), 0u);

    TimeFields unixEpoch = fieldsOf(1970, 1, 1, 0, 0, 1, 50);
    ASSERT_EQ(storeFieldsToStamp(&unixEpoch), TESRA_OK);
    EXPECT_EQ(unixEpoch.stamp.word[0], 150u);
    EXPECT_EQ(unixEpoch.stamp.word[1], 719163u);
}

TEST(TimestampTest, FieldsRoundTripAcrossTheWholeRange) {
    const int dates[][3] = {{1, 1, 1},     {4, 2, 29},     {100, 3, 1},   {1582, 10, 10}, {1900, 2, 28},
                            {1900, 3, 1},  {2000, 2, 29},  {2024, 2, 29}, {2024, 12, 31}, {9999, 12, 31}};
    for (const auto &date : dates) {
        TimeFields fields = fieldsOf(date[0], date[1], date[2], 13, 14, 15, 16);
        ASSERT_EQ(storeFieldsToStamp(&fields), TESRA_OK) << date[0] << "-" << date[1] << "-" << date[2];
        TimeFields back{};
        back.stamp = fields.stamp;
        ASSERT_EQ(storeStampToFields(&back), TESRA_OK);
        const Fields view = viewOf(back);
        EXPECT_EQ(view.year, date[0]);
        EXPECT_EQ(view.month, date[1]);
        EXPECT_EQ(view.day, date[2]);
        EXPECT_EQ(view.hour, 13);
        EXPECT_EQ(view.minute, 14);
        EXPECT_EQ(view.second, 15);
        EXPECT_EQ(back.hundredths, 16);
    }
}

TEST(TimestampTest, ConsecutiveDayNumbersAreConsecutiveDates) {
    CivilDate previous = dateOfDayNumber(kFirstDay);
    for (uint32_t day = kFirstDay + 1; day <= kLastDay; day += 1) {
        const CivilDate date = dateOfDayNumber(day);
        const bool nextDay = date.year == previous.year && date.month == previous.month && date.day == previous.day + 1;
        const bool nextMonth = date.year == previous.year && date.month == previous.month + 1 && date.day == 1 &&
                               previous.day == daysInMonth(previous.year, previous.month);
        const bool nextYear = date.year == previous.year + 1 && date.month == 1 && date.day == 1 &&
                              previous.month == 12 && previous.day == 31;
        ASSERT_TRUE(nextDay || nextMonth || nextYear) << "day " << day;
        ASSERT_EQ(dayNumberOf(date), day);
        previous = date;
    }
    EXPECT_EQ(previous.year, 9999);
}

TEST(TimestampTest, WeekdayAndDayOfYearAreFilledIn) {
    TimeFields fields = fieldsOf(2024, 2, 29, 0, 0, 0, 0);  // a Thursday
    ASSERT_EQ(storeFieldsToStamp(&fields), TESRA_OK);
    EXPECT_EQ(viewOf(fields).weekday, 5);
    EXPECT_EQ(viewOf(fields).dayOfYear, 60);
}

TEST(TimestampTest, ImpossibleFieldsAndStampsAreRefused) {
    const int impossible[][7] = {
        {1900, 2, 29, 0, 0, 0, 0}, {2023, 2, 29, 0, 0, 0, 0}, {2024, 4, 31, 0, 0, 0, 0}, {2024, 13, 1, 0, 0, 0, 0},
        {2024, 0, 1, 0, 0, 0, 0},  {2024, 1, 0, 0, 0, 0, 0},  {0, 1, 1, 0, 0, 0, 0},     {10000, 1, 1, 0, 0, 0, 0},
        {2024, 1, 1, 24, 0, 0, 0}, {2024, 1, 1, 0, 60, 0, 0}, {2024, 1, 1, 0, 0, 60, 0}, {2024, 1, 1, 0, 0, 0, 100},
        {2024, 1, 1, -1, 0, 0, 0},
    };
    for (const auto &f : impossible) {
        TimeFields fields = fieldsOf(f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
        fields.stamp = {{77, 88}};
        EXPECT_EQ(storeFieldsToStamp(&fields), TESRA_ERR_FIELDS_INVALID) << f[0] << "-" << f[1] << "-" << f[2];
        EXPECT_EQ(fields.stamp.word[0], 77u) << "left unchanged";
    }
    const StoreTimestamp invalid[] = {{{8640000, 5}}, {{0, 0}}, {{0, 3652060}}, {{0xFFFFFFFF, 0xFFFFFFFF}}};
    for (const auto &stamp : invalid) {
        TimeFields fields{};
        fields.stamp = stamp;
        EXPECT_EQ(storeStampToFields(&fields), TESRA_ERR_STAMP_INVALID);
    }
    EXPECT_EQ(storeStampToFields(nullptr), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(storeFieldsToStamp(nullptr), TESRA_ERR_NULL_ARGUMENT);
}

TEST(TimestampTest, IsoTextUsedByTheAdminCommandRoundTrips) {
    StampValue value = 0;
    ASSERT_TRUE(parseIsoStamp("2024-02-29 23:59:59.07", value));
    char text[32];
    formatIsoStamp(value, text);
    EXPECT_STREQ(text, "2024-02-29 23:59:59.07");
    EXPECT_FALSE(parseIsoStamp("2023-02-29 00:00:00", value));
    EXPECT_FALSE(parseIsoStamp("2024-01-01 24:00:00", value));
    EXPECT_FALSE(parseIsoStamp("2024-01-01 10:00:00 extra", value));
}

}  // namespace
}  // namespace tesra::testing
