#include "changes/change_entry.h"

#include <string.h>

// Runs once per reported record, so the hexadecimal digits are written by hand
// rather than through a formatted-output call per field, and a word's eight
// digits in four steps: one byte's two digits per lookup in this table of the
// 256 pairs.
static const char hexPairs[] =
    "000102030405060708090A0B0C0D0E0F"
    "101112131415161718191A1B1C1D1E1F"
    "202122232425262728292A2B2C2D2E2F"
    "303132333435363738393A3B3C3D3E3F"
    "404142434445464748494A4B4C4D4E4F"
    "505152535455565758595A5B5C5D5E5F"
    "606162636465666768696A6B6C6D6E6F"
    "707172737475767778797A7B7C7D7E7F"
    "808182838485868788898A8B8C8D8E8F"
    "909192939495969798999A9B9C9D9E9F"
    "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF"
    "B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF"
    "C0C1C2C3C4C5C6C7C8C9CACBCCCDCECF"
    "D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"
    "E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEF"
    "F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF";

static char *writeHexWord(char *out, uint32_t word)
{
    memcpy(out, hexPairs + 2 * (word >> 24), 2);
    memcpy(out + 2, hexPairs + 2 * ((word >> 16) & 0xFFu), 2);
    memcpy(out + 4, hexPairs + 2 * ((word >> 8) & 0xFFu), 2);
    memcpy(out + 6, hexPairs + 2 * (word & 0xFFu), 2);
    return out + 8;
}

static char *writeHexNumber(char *out, uint32_t number)
{
    size_t digits = 1;
    while (digits < 8 && (number >> (4 * digits)) != 0) {
        ++digits;
    }
    for (size_t i = digits; i-- > 0;) {
        out[i] = hexPairs[2 * (number & 0xFu) + 1];
        number >>= 4;
    }
    return out + digits;
}

size_t formatChangeEntry(const ChangeMatch *reported, char *entry)
{
    ChangeMatch match;
    memcpy(&match, reported, sizeof match);

    // Word 1 before word 0 of each of the two timestamps.
    char *end = writeHexWord(entry, match.universalFirst.word[1]);
    end = writeHexWord(end, match.universalFirst.word[0]);
    end = writeHexWord(end, match.universalSecond.word[1]);
    end = writeHexWord(end, match.universalSecond.word[0]);
    *end++ = ':';
    end = writeHexNumber(end, match.recordId);
    memcpy(end, (match.matchFlags & CHANGE_MATCH_PRESENT) ? ":NOR" : ":DEL", 5); // with the terminator
    return (size_t)(end + 4 - entry);
}
