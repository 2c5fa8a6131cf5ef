#pragma once

#include "time/calendar.h"

namespace tesra {

// The store's notion of "now": the system clock in UTC plus the
// TESRA_CLOCK_OFFSET environment variable (signed hundredths, read at each
// call), clamped to the range of timestamps.
StampValue clockNow();

// Replaces the system clock (tests only); nullptr restores it. The offset
// variable still applies on top.
using ClockSource = StampValue (*)();
void setClockSource(ClockSource source);

}  // namespace tesra
