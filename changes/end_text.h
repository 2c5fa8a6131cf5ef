#ifndef VRXCHDET_END_TEXT_H
#define VRXCHDET_END_TEXT_H

#include <stddef.h>

#include "store/store_client.h"

// The store's date and time text of up to 80 characters, a full stop, the two
// digits of the hundredths and a 0 digit, and the terminator.
enum { END_TEXT_SIZE = STORE_STAMP_TEXT_MAX + 5 };

void formatEndText(const RegionalSettings *settings, const StoreTimestamp *until, char *endText);

#endif
