#include "time/calendar.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace tesra {
namespace {

namespace chrono = std::chrono;

// Day number of 1970-01-01, the first day of chrono::sys_days.
constexpr int64_t kUnixEpochDay = 719163;
static_assert(chrono::sys_days{chrono::year{1970} / 1 / 1} - chrono::sys_days{chrono::year{1} / 1 / 1} ==
              chrono::days{kUnixEpochDay - kFirstDay});

chrono::sys_days sysDaysOf(const CivilDate &date) {
    return chrono::year{date.year} / chrono::month{static_cast<unsigned>(date.month)} /
           chrono::day{static_cast<unsigned>(date.day)};
}

}  // namespace

bool isLeapYear(int year) { return chrono::year{year}.is_leap(); }

int daysInMonth(int year, int month) {
    if (month < 1 || month > 12) return 0;
    const auto last = chrono::year{year} / chrono::month{static_cast<unsigned>(month)} / chrono::last;
    return static_cast<int>(static_cast<unsigned>(last.day()));
}

bool isValidDate(const CivilDate &date) {
    // chrono keeps a day or month in a byte, so out-of-range values are refused before it sees them.
    if (date.year < 1 || date.year > 9999 || date.month < 1 || date.month > 12 || date.day < 1 || date.day > 31) {
        return false;
    }
    return chrono::year_month_day{chrono::year{date.year}, chrono::month{static_cast<unsigned>(date.month)},
                                  chrono::day{static_cast<unsigned>(date.day)}}
        .ok();
}

uint32_t dayNumberOf(const CivilDate &date) {
    return static_cast<uint32_t>(sysDaysOf(date).time_since_epoch().count() + kUnixEpochDay);
}

CivilDate dateOfDayNumber(uint32_t dayNumber) {
    const chrono::year_month_day date{chrono::sys_days{chrono::days{static_cast<int64_t>(dayNumber) - kUnixEpochDay}}};
    return {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
            static_cast<int>(static_cast<unsigned>(date.day()))};
}

int weekdayOf(uint32_t dayNumber) {
    const chrono::weekday weekday{chrono::sys_days{chrono::days{static_cast<int64_t>(dayNumber) - kUnixEpochDay}}};
    return static_cast<int>(weekday.c_encoding()) + 1;
}

int dayOfYearOf(const CivilDate &date) {
    return static_cast<int>((sysDaysOf(date) - chrono::sys_days{chrono::year{date.year} / 1 / 1}).count()) + 1;
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
