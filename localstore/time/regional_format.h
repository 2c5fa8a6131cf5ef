#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "store_client.h"

namespace tesra {

// Flag bits of RegionalSettings::flags.
enum RegionalFlag : uint16_t {
    kTwelveHourClock = 0x0001,   // hours 1..12 followed by the AM or PM text
    kFourDigitYear = 0x0004,     // otherwise two digits, read in the window 1950..2049
    kTwoDigitDayMonth = 0x0008,  // write day and month zero-padded
    kTwoDigitHour = 0x0010,      // write the hour zero-padded
    kMonthDayYear = 0x0040,      // date order month, day, year (unless kYearMonthDay)
    kYearMonthDay = 0x0080,      // date order year, month, day; neither bit: day, month, year
    kWriteSeconds = 0x0100,
    kWriteHundredths = 0x0200,   // after the seconds and the decimal separator
};

// The library's view of the 140 bytes of RegionalSettings.
struct RegionalLayout {
    uint16_t flags;
    char amText[8];            // NUL-terminated; empty means "AM"
    char pmText[8];            // NUL-terminated; empty means "PM"
    char decimalSeparator[2];  // before hundredths; empty: hundredths are neither read nor written
    uint8_t unused0[13];
    char dateSeparator[2];     // empty means "."
    uint8_t unused1[3];
    char timeSeparator[2];     // empty means "."
    uint8_t unused2[100];
};

static_assert(sizeof(RegionalLayout) == sizeof(RegionalSettings), "layout covers the settings");
static_assert(offsetof(RegionalLayout, flags) == offsetof(RegionalSettings, flags), "flags");
static_assert(offsetof(RegionalLayout, amText) == 2, "AM text at 2");
static_assert(offsetof(RegionalLayout, pmText) == 10, "PM text at 10");
static_assert(offsetof(RegionalLayout, decimalSeparator) == 18, "decimal separator at 18");
static_assert(offsetof(RegionalLayout, dateSeparator) == offsetof(RegionalSettings, dateSeparator), "date sep");
static_assert(offsetof(RegionalLayout, timeSeparator) == offsetof(RegionalSettings, timeSeparator), "time sep");

RegionalLayout defaultRegionalLayout();
// Copies settings into the layout; null settings give the defaults.
RegionalLayout layoutOf(const RegionalSettings *settings);

// Reads at most maxLength characters from *text (never past a NUL), moves
// *text past what was read on success. Returns a status.
StoreStatus readStampText(const RegionalLayout &layout, const char **text, size_t maxLength, StoreTimestamp &stamp);
// Writes the text of a valid stamp.
std::string writeStampText(const RegionalLayout &layout, const StoreTimestamp &stamp);

}  // namespace tesra
