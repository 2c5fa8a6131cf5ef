#ifndef VRXCHDET_SINCE_TEXT_H
#define VRXCHDET_SINCE_TEXT_H

#include <jni.h>
#include <stddef.h>

#include "store/store_client.h"

extern const char defaultSinceText[];

// A since text is the store's date and time text, a full stop and three digits
// of milliseconds; the date and time ends four characters before the end.
typedef struct SinceTextParts {
    size_t dateTimeLength;
    uint32_t hundredths; // above 99 when the last three characters are not digits
} SinceTextParts;

SinceTextParts splitSinceText(const char *text, size_t length);

// What the store reads: the date and time part, cut to the store's maximum.
enum { STAMP_TEXT_SIZE = STORE_STAMP_TEXT_MAX + 1 };

// Copies the date and time part of text into stampText (STAMP_TEXT_SIZE bytes),
// terminated; returns the number of characters copied.
size_t copyDateTimeText(const char *text, SinceTextParts parts, char *stampText);

// Fills the settings used in both directions and the since timestamp, its
// hundredths applied. Returns false once a Java exception is pending.
bool parseSinceText(JNIEnv *env, jstring since, RegionalSettings *settings, StoreTimestamp *sinceStamp);

#endif
