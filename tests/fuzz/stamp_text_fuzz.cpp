// The local store's timestamp texts: storeTextToStamp under any settings and
// length limit reads no further than the limit or a NUL and moves the text
// pointer by at most the limit; storeStampToText writes no more than its
// limit; and with unambiguous settings a written text reads back as the same
// time at the precision written.
#include <ctype.h>

#include "changes/regional_settings.h"
#include "fuzz_input.h"

namespace {

// Byte offsets of the regional settings the store reads.
enum {
    AM_TEXT = 2, PM_TEXT = 10, DECIMAL_SEPARATOR = 18, DATE_SEPARATOR = 33, TIME_SEPARATOR = 38,
    TWELVE_HOUR = 0x0001, FOUR_DIGIT_YEAR = 0x0004, WRITE_SECONDS = 0x0100, WRITE_HUNDREDTHS = 0x0200,
};

struct SettingsTexts {
    char am[8], pm[8], decimal[2], date[2], time[2];
};

void overrideTexts(RegionalSettings *settings, const SettingsTexts &texts)
{
    uint8_t *bytes = (uint8_t *)settings;
    memcpy(bytes + AM_TEXT, texts.am, sizeof texts.am);
    memcpy(bytes + PM_TEXT, texts.pm, sizeof texts.pm);
    memcpy(bytes + DECIMAL_SEPARATOR, texts.decimal, sizeof texts.decimal);
    memcpy(bytes + DATE_SEPARATOR, texts.date, sizeof texts.date);
    memcpy(bytes + TIME_SEPARATOR, texts.time, sizeof texts.time);
}

// The text of one field as the store takes it: up to its size, or the default when empty.
size_t fieldText(const RegionalSettings &settings, size_t offset, size_t size, const char *fallback, char *out)
{
    const char *field = (const char *)&settings + offset;
    size_t length = strnlen(field, size);
    if (length == 0) {
        length = strlen(fallback);
        field = fallback;
    }
    memcpy(out, field, length);
    out[length] = '\0';
    return length;
}

bool isPlainText(const char *text)
{
    for (; *text != '\0'; ++text) {
        unsigned char c = (unsigned char)*text;
        if (isdigit(c) || isspace(c)) {
            return false;
        }
    }
    return true;
}

bool startsWithIgnoringCase(const char *text, const char *prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (toupper((unsigned char)*text) != toupper((unsigned char)*prefix)) {
            return false;
        }
    }
    return true;
}

// Settings whose texts a reader cannot mistake for one another or for digits and blanks.
bool isUnambiguous(const RegionalSettings &settings)
{
    char am[9], pm[9], decimal[3], date[3], time[3];
    fieldText(settings, AM_TEXT, 8, "AM", am);
    fieldText(settings, PM_TEXT, 8, "PM", pm);
    fieldText(settings, DECIMAL_SEPARATOR, 2, "", decimal);
    fieldText(settings, DATE_SEPARATOR, 2, ".", date);
    fieldText(settings, TIME_SEPARATOR, 2, ".", time);
    return isPlainText(am) && isPlainText(pm) && isPlainText(decimal) && isPlainText(date) && isPlainText(time) &&
           !startsWithIgnoringCase(am, pm) && !startsWithIgnoringCase(pm, am);
}

struct Fields {
    int32_t year, month, day, hour, minute, second, weekday, hundredths;
};

Fields fieldsOf(StoreTimestamp stamp)
{
    TimeFields fields;
    memset(&fields, 0, sizeof fields);
    fields.stamp = stamp;
    FUZZ_CHECK(storeStampToFields(&fields) == 0);
    Fields out;
    memcpy(&out, &fields, 7 * sizeof(int32_t));
    out.hundredths = fields.hundredths;
    return out;
}

void checkReadsBack(const RegionalSettings &settings, const char *text, uint16_t length, StoreTimestamp written)
{
    const char *cursor = text;
    StoreTimestamp read = {{0, 0}};
    FUZZ_CHECK(storeTextToStamp(&settings, nullptr, &cursor, length, &read) == 0);
    FUZZ_CHECK(cursor == text + length);
    Fields before = fieldsOf(written);
    Fields after = fieldsOf(read);
    FUZZ_CHECK(after.month == before.month && after.day == before.day);
    FUZZ_CHECK(after.hour == before.hour && after.minute == before.minute);
    if (settings.flags & FOUR_DIGIT_YEAR) {
        FUZZ_CHECK(after.year == before.year);
    } else {
        FUZZ_CHECK(after.year % 100 == before.year % 100);
    }
    char decimal[3];
    bool secondsWritten = (settings.flags & WRITE_SECONDS) != 0;
    FUZZ_CHECK(after.second == (secondsWritten ? before.second : 0));
    bool hundredthsWritten = secondsWritten && (settings.flags & WRITE_HUNDREDTHS) &&
                             fieldText(settings, DECIMAL_SEPARATOR, 2, "", decimal) > 0;
    FUZZ_CHECK(after.hundredths == (hundredthsWritten ? before.hundredths : 0));
}

} // namespace

// Input: mode, flags, the settings' texts, the reading limit, the writing
// limit, then the text to read.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input = {data, size};
    uint8_t mode = input.take<uint8_t>();
    uint16_t flags = input.take<uint16_t>();
    SettingsTexts texts = input.take<SettingsTexts>();
    uint16_t maxLength = input.take<uint16_t>();
    uint8_t writeLimit = input.take<uint8_t>();

    RegionalSettings settings;
    if (mode & 1) {
        storeReadRegionalSettings(&settings, sizeof settings);
        settings.flags = flags;
        if (mode & 2) {
            overrideTexts(&settings, texts);
        }
    } else {
        fillRegionalSettings(&settings);
    }
    if ((mode & 4) == 0) {
        maxLength %= 128;
    }

    // The text ends where the limit says, without a terminator, or at a NUL
    // when the limit reaches past the input: a read beyond either is caught.
    size_t textSize = input.size;
    char *text;
    if (maxLength <= textSize) {
        text = (char *)malloc(maxLength);
        memcpy(text, input.data, maxLength);
        textSize = maxLength;
    } else {
        text = (char *)malloc(textSize + 1);
        memcpy(text, input.data, textSize);
        text[textSize] = '\0';
    }

    const char *cursor = text;
    const StoreTimestamp untouched = {{0xDEADBEEF, 0xFEEDFACE}};
    StoreTimestamp stamp = untouched;
    StoreStatus status = storeTextToStamp(&settings, nullptr, &cursor, maxLength, &stamp);
    size_t moved = (size_t)(cursor - text);
    if (status != 0) {
        FUZZ_CHECK(moved == 0);
        FUZZ_CHECK(memcmp(&stamp, &untouched, sizeof stamp) == 0);
    } else {
        FUZZ_CHECK(moved > 0 && moved <= maxLength);
        FUZZ_CHECK(memchr(text, '\0', moved) == nullptr);
        fieldsOf(stamp); // a valid time

        size_t writeSize = writeLimit % 64;
        char *written = (char *)malloc(writeSize);
        uint16_t length = 0xFFFF;
        status = storeStampToText(&settings, nullptr, &stamp, written, (uint16_t)writeSize, &length);
        if (status != 0) {
            FUZZ_CHECK(length == 0);
        } else {
            FUZZ_CHECK(length > 0 && length <= writeSize);
            if (isUnambiguous(settings)) {
                checkReadsBack(settings, written, length, stamp);
            }
        }
        free(written);
    }
    free(text);
    return 0;
}
