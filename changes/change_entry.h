#ifndef VRXCHDET_CHANGE_ENTRY_H
#define VRXCHDET_CHANGE_ENTRY_H

#include <stddef.h>

#include "store/store_client.h"

// 32 identifier digits, a colon, up to 8 record identifier digits, a colon,
// "NOR" or "DEL", and the terminator.
enum { CHANGE_ENTRY_SIZE = 46, UNIVERSAL_ID_DIGITS = 32 };

// Writes the entry "%s:%X:%s" of one match, terminated, and returns its length.
size_t formatChangeEntry(const ChangeMatch *match, char *entry);

#endif
