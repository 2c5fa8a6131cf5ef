#include "changes/since_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bridge/failure.h"
#include "changes/regional_settings.h"

const char defaultSinceText[] = "0001-01-01 00:00:00";

enum { FRACTION_DIGITS = 3, MAX_HUNDREDTHS = 99 };

SinceTextParts splitSinceText(const char *text, size_t length)
{
    SinceTextParts parts = {length, 0};
    if (length < FRACTION_DIGITS + 1) {
        return parts; // too short to hold a fraction: handed to the store uncut
    }
    char fraction[FRACTION_DIGITS + 1];
    memcpy(fraction, text + length - FRACTION_DIGITS, FRACTION_DIGITS);
    fraction[FRACTION_DIGITS] = '\0';
    parts.dateTimeLength = length - FRACTION_DIGITS - 1;
    parts.hundredths = (uint32_t)atoi(fraction) / 10u;
    return parts;
}

size_t copyDateTimeText(const char *text, SinceTextParts parts, char *stampText)
{
    const size_t stampTextMax = STAMP_TEXT_SIZE - 1;
    size_t copied = parts.dateTimeLength < stampTextMax ? parts.dateTimeLength : stampTextMax;
    memcpy(stampText, text, copied);
    stampText[copied] = '\0';
    return copied;
}

static void applyHundredths(StoreTimestamp *stamp, uint32_t hundredths)
{
    TimeFields fields;
    memset(&fields, 0, sizeof fields);
    fields.stamp = *stamp;
    storeStampToFields(&fields);
    fields.hundredths = (int32_t)hundredths;
    storeFieldsToStamp(&fields);
    *stamp = fields.stamp;
}

bool parseSinceText(JNIEnv *env, jstring since, RegionalSettings *settings, StoreTimestamp *sinceStamp)
{
    const char *sinceChars = defaultSinceText;
    SinceTextParts parts = {sizeof defaultSinceText - 1, 0};
    if (since != nullptr) {
        sinceChars = env->GetStringUTFChars(since, nullptr);
        if (sinceChars == nullptr) {
            return false;
        }
        parts = splitSinceText(sinceChars, strlen(sinceChars));
    }
    printf("strTimeSince: %.*s\n", (int)parts.dateTimeLength, sinceChars);
    printf("Since time hundredthsOfSec: %lu\n", (unsigned long)parts.hundredths);

    if (parts.hundredths > MAX_HUNDREDTHS) {
        env->ReleaseStringUTFChars(since, sinceChars);
        reportFailure(env, "The since text does not end in a full stop and three digits of milliseconds.");
        return false;
    }

    // The virtual machine's characters are never written into: the store reads
    // a cut copy, of which it would read no more than its maximum anyway.
    char stampText[STAMP_TEXT_SIZE];
    copyDateTimeText(sinceChars, parts, stampText);
    if (since != nullptr) {
        env->ReleaseStringUTFChars(since, sinceChars);
    }

    fillRegionalSettings(settings);
    const char *cursor = stampText;
    StoreStatus status = storeTextToStamp(settings, nullptr, &cursor, STORE_STAMP_TEXT_MAX, sinceStamp);
    if (status != 0) {
        char message[FAILURE_MESSAGE_SIZE];
        composeFailure("ParseStampText", status, message, sizeof message);
        reportFailure(env, message);
        return false;
    }
    if (parts.hundredths != 0) {
        applyHundredths(sinceStamp, parts.hundredths);
    }
    return true;
}
