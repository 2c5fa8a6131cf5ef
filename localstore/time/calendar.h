#pragma once

#include <cstdint>

#include "store_client.h"

namespace tesra {

// A point in time as one sortable number: day number * kHundredthsPerDay +
// hundredths since midnight UTC. Day 1 is 0001-01-01 (proleptic Gregorian).
using StampValue = int64_t;

constexpr int64_t kHundredthsPerDay = 8640000;
constexpr uint32_t kFirstDay = 1;        // 0001-01-01
constexpr uint32_t kLastDay = 3652059;   // 9999-12-31
constexpr StampValue kEarliestStamp = kFirstDay * kHundredthsPerDay;
constexpr StampValue kLatestStamp = kLastDay * kHundredthsPerDay + kHundredthsPerDay - 1;

struct CivilDate {
    int year;
    int month;  // 1..12
    int day;    // 1..31
};

struct CivilTime {
    CivilDate date;
    int hour;
    int minute;
    int second;
    int hundredths;
};

bool isLeapYear(int year);
int daysInMonth(int year, int month);
bool isValidDate(const CivilDate &date);

// Day number of a valid date (1 = 0001-01-01).
uint32_t dayNumberOf(const CivilDate &date);
CivilDate dateOfDayNumber(uint32_t dayNumber);
// 1 = Sunday .. 7 = Saturday
int weekdayOf(uint32_t dayNumber);
// 1..366
int dayOfYearOf(const CivilDate &date);

bool isValidStamp(const StoreTimestamp &stamp);
StampValue stampValueOf(const StoreTimestamp &stamp);
StoreTimestamp stampOf(StampValue value);
CivilTime civilTimeOf(const StoreTimestamp &stamp);
// The civil time must be valid.
StoreTimestamp stampOfCivil(const CivilTime &time);

// "YYYY-MM-DD HH:MM:SS.hh", the fixed layout of the admin command and logs.
void formatIsoStamp(StampValue value, char (&text)[32]);
// Reads "YYYY-MM-DD HH:MM:SS" with optional ".hh"; false when malformed or impossible.
bool parseIsoStamp(const char *text, StampValue &value);

}  // namespace tesra
