#include "changes/end_text.h"

#include <stdio.h>

void formatEndText(const RegionalSettings *settings, const StoreTimestamp *until, char *endText)
{
    char stampText[STORE_STAMP_TEXT_MAX + 1];
    uint16_t length = 0;
    storeStampToText(settings, nullptr, until, stampText, STORE_STAMP_TEXT_MAX, &length);
    const uint16_t stampTextMax = STORE_STAMP_TEXT_MAX;
    stampText[length < stampTextMax ? length : stampTextMax] = '\0';
    unsigned hundredths = storeStampTicks(until) % 100u;
    snprintf(endText, END_TEXT_SIZE, "%s.%02d0", stampText, (int)hundredths);
    printf("strEndDate: %s\n", endText);
}
