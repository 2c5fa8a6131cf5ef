#pragma once

#include "time/calendar.h"

namespace tesra {

// The store's notion of "now": the system clock in UTC plus clockOffset(),
// clamped to the range of timestamps. Throws StoreError as clockOffset does.
StampValue clockNow();

// clockNow(), refusing a clock at or past kLatestStamp, which no write or
// poll may record: throws StoreError TESRA_ERR_CLOCK_AT_END.
StampValue clockNowBeforeEnd();

// The TESRA_CLOCK_OFFSET environment variable (signed hundredths, read at
// each call), 0 when unset or empty. Throws StoreError
// TESRA_ERR_BAD_CLOCK_OFFSET when it is not a whole number.
int64_t clockOffset();

// Replaces the system clock (tests only); nullptr restores it. The offset
// variable still applies on top.
using ClockSource = StampValue (*)();
void setClockSource(ClockSource source);

}  // namespace tesra
