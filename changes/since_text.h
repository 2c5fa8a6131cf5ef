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

// Fills the settings used in both directions and the since timestamp, its
// hundredths applied. Returns false once a Java exception is pending.
bool parseSinceText(JNIEnv *env, jstring since, RegionalSettings *settings, StoreTimestamp *sinceStamp);

#endif
