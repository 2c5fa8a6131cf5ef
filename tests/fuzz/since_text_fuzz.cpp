// The since text as the bridge cuts it: the date and time part and the
// hundredths from the three last characters, and the copy the store reads.
#include <ctype.h>

#include "changes/since_text.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exactly sized copy without a terminator: any read past the text is caught.
    char *text = (char *)malloc(size);
    memcpy(text, data, size);

    SinceTextParts parts = splitSinceText(text, size);
    if (size < 4) {
        FUZZ_CHECK(parts.dateTimeLength == size);
        FUZZ_CHECK(parts.hundredths == 0);
    } else {
        FUZZ_CHECK(parts.dateTimeLength == size - 4);
        const char *fraction = text + size - 3;
        bool allDigits = isdigit((unsigned char)fraction[0]) && isdigit((unsigned char)fraction[1]) &&
                         isdigit((unsigned char)fraction[2]);
        if (allDigits) {
            unsigned milliseconds = (fraction[0] - '0') * 100u + (fraction[1] - '0') * 10u + (fraction[2] - '0');
            FUZZ_CHECK(parts.hundredths == milliseconds / 10);
        }
        // Only a negative number in the fraction goes past 99, so that the bridge refuses it.
        if (parts.hundredths > 99) {
            FUZZ_CHECK(memchr(fraction, '-', 3) != nullptr);
        }
    }

    char *stampText = (char *)malloc(STAMP_TEXT_SIZE);
    size_t copied = copyDateTimeText(text, parts, stampText);
    size_t expected = parts.dateTimeLength < STAMP_TEXT_SIZE - 1 ? parts.dateTimeLength : STAMP_TEXT_SIZE - 1;
    FUZZ_CHECK(copied == expected);
    FUZZ_CHECK(memcmp(stampText, text, copied) == 0);
    FUZZ_CHECK(stampText[copied] == '\0');

    free(stampText);
    free(text);
    return 0;
}
