#include "time/calendar.h"

#include <cstdio>
#include <cstring>

namespace tesra {
namespace {

// Days from 1970-01-01 to the given date (proleptic Gregorian).
int64_t daysFromUnixEpoch(int year, int month, int day) {
    const int64_t y = year - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

CivilDate dateFromUnixDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const int month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    return {year, month, day};
}

// Day number of 1970-01-01.
constexpr int64_t kUnixEpochDay = 719163;

}  // namespace

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

bool isValidDate(const CivilDate &date) {
    return date.year >= 1 && date.year <= 9999 && date.month >= 1 && date.month <= 12 && date.day >= 1 &&
           date.day <= daysInMonth(date.year, date.month);
}

uint32_t dayNumberOf(const CivilDate &date) {
    return static_cast<uint32_t>(daysFromUnixEpoch(date.year, date.month, date.day) + kUnixEpochDay);
}

CivilDate dateOfDayNumber(uint32_t dayNumber) {
    return dateFromUnixDays(static_cast<int64_t>(dayNumber) - kUnixEpochDay);
}

int weekdayOf(uint32_t dayNumber) {
    // Day 1 (0001-01-01) was a Monday.
    return static_cast<int>(dayNumber % 7) + 1;
}

int dayOfYearOf(const CivilDate &date) {
    return static_cast<int>(dayNumberOf(date) - dayNumberOf({date.year, 1, 1})) + 1;
}

bool isValidStamp(const StoreTimestamp &stamp) {
    return stamp.word[0] < kHundredthsPerDay && stamp.word[1] >= kFirstDay && stamp.word[1] <= kLastDay;
}

StampValue stampValueOf(const StoreTimestamp &stamp) {
    return static_cast<StampValue>(stamp.word[1]) * kHundredthsPerDay + stamp.word[0];
}

StoreTimestamp stampOf(StampValue value) {
    StoreTimestamp stamp;
    stamp.word[0] = static_cast<uint32_t>(value % kHundredthsPerDay);
    stamp.word[1] = static_cast<uint32_t>(value / kHundredthsPerDay);
    return stamp;
}

CivilTime civilTimeOf(const StoreTimestamp &stamp) {
    CivilTime time;
    time.date = dateOfDayNumber(stamp.word[1]);
    uint32_t rest = stamp.word[0];
    time.hundredths = static_cast<int>(rest % 100);
    rest /= 100;
    time.second = static_cast<int>(rest % 60);
    rest /= 60;
    time.minute = static_cast<int>(rest % 60);
    time.hour = static_cast<int>(rest / 60);
    return time;
}

StoreTimestamp stampOfCivil(const CivilTime &time) {
    StoreTimestamp stamp;
    stamp.word[0] = static_cast<uint32_t>(((time.hour * 60 + time.minute) * 60 + time.second) * 100 + time.hundredths);
    stamp.word[1] = dayNumberOf(time.date);
    return stamp;
}

void formatIsoStamp(StampValue value, char (&text)[32]) {
    const CivilTime t = civilTimeOf(stampOf(value));
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%02d", t.date.year, t.date.month, t.date.day,
                  t.hour, t.minute, t.second, t.hundredths);
}

bool parseIsoStamp(const char *text, StampValue &value) {
    CivilTime t{};
    int consumed = 0;
    if (std::sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%n", &t.date.year, &t.date.month, &t.date.day, &t.hour,
                    &t.minute, &t.second, &consumed) != 6) {
        return false;
    }
    const char *rest = text + consumed;
    if (rest[0] == '.') {
        int hundredthsConsumed = 0;
        if (std::sscanf(rest, ".%2d%n", &t.hundredths, &hundredthsConsumed) != 1 || hundredthsConsumed != 3) {
            return false;
        }
        rest += hundredthsConsumed;
    }
    if (*rest != '\0' || !isValidDate(t.date) || t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 ||
        t.second < 0 || t.second > 59 || t.hundredths < 0) {
        return false;
    }
    value = stampValueOf(stampOfCivil(t));
    return true;
}

}  // namespace tesra
