// The end text of any until time under any regional settings, against
// snprintf "%s.%02d0" of the store's own text for the same time.
#include "changes/end_text.h"
#include "changes/regional_settings.h"
#include "fuzz_input.h"

enum { LAST_DAY = 3652059, TICKS_PER_DAY = 8640000 };

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // formatEndText traces every end text.
    return freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input = {data, size};
    uint8_t mode = input.take<uint8_t>();
    RegionalSettings settings;
    input.take(&settings, sizeof settings);
    if ((mode & 1) == 0) {
        fillRegionalSettings(&settings); // the bridge's own settings
    }
    StoreTimestamp until = input.take<StoreTimestamp>();
    if ((mode & 2) == 0) {
        // Mostly times the store can write; the others make it write nothing.
        until.word[0] %= TICKS_PER_DAY;
        until.word[1] = 1 + until.word[1] % LAST_DAY;
    }

    char *endText = (char *)malloc(END_TEXT_SIZE);
    formatEndText(&settings, &until, endText);

    char stampText[STORE_STAMP_TEXT_MAX + 1];
    uint16_t length = 0;
    storeStampToText(&settings, nullptr, &until, stampText, STORE_STAMP_TEXT_MAX, &length);
    FUZZ_CHECK(length <= STORE_STAMP_TEXT_MAX);
    stampText[length] = '\0';
    char reference[2 * END_TEXT_SIZE];
    snprintf(reference, sizeof reference, "%s.%02d0", stampText, (int)(storeStampTicks(&until) % 100));
    FUZZ_CHECK(strnlen(endText, END_TEXT_SIZE) < END_TEXT_SIZE);
    FUZZ_CHECK(strcmp(endText, reference) == 0);

    free(endText);
    return 0;
}
