#include "changes/change_entry.h"

#include <string.h>

// Runs once per reported record, so the hexadecimal digits are written by hand
// rather than through a formatted-output call per field.

static const char hexDigits[] = "0123456789ABCDEF";

static void writeHexWord(char *out, uint32_t word)
{
    for (int i = 7; i >= 0; --i) {
        out[i] = hexDigits[word & 0xFu];
        word >>= 4;
    }
}

static size_t writeHexNumber(char *out, uint32_t number)
{
    size_t digits = 1;
    while (digits < 8 && (number >> (4 * digits)) != 0) {
        ++digits;
    }
    for (size_t i = digits; i-- > 0;) {
        out[i] = hexDigits[number & 0xFu];
        number >>= 4;
    }
    return digits;
}

size_t formatChangeEntry(const ChangeMatch *reported, char *entry)
{
    ChangeMatch match;
    memcpy(&match, reported, sizeof match);

    // Word 1 before word 0 of each of the two timestamps.
    writeHexWord(entry, match.universalFirst.word[1]);
    writeHexWord(entry + 8, match.universalFirst.word[0]);
    writeHexWord(entry + 16, match.universalSecond.word[1]);
    writeHexWord(entry + 24, match.universalSecond.word[0]);
    size_t length = UNIVERSAL_ID_DIGITS;
    entry[length++] = ':';
    length += writeHexNumber(entry + length, match.recordId);
    entry[length++] = ':';
    memcpy(entry + length, (match.matchFlags & CHANGE_MATCH_PRESENT) ? "NOR" : "DEL", 3);
    length += 3;
    entry[length] = '\0';
    return length;
}
