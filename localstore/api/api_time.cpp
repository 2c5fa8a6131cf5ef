// Regional settings, timestamp texts and broken-down times.
#include <cstring>

#include "api/api_guard.h"
#include "environment/faults.h"
#include "runtime/runtime.h"
#include "store_client.h"
#include "time/calendar.h"
#include "time/regional_format.h"

using namespace tesra;

namespace {

// The library's view of the 48 bytes of TimeFields.
struct TimeFieldsLayout {
    int32_t year;
    int32_t month;
    int32_t day;
    int32_t hour;
    int32_t minute;
    int32_t second;
    int32_t weekday;  // 1 = Sunday .. 7 = Saturday; written, not read
    int32_t hundredths;
    int32_t dayOfYear;  // 1..366; written, not read
    int32_t unused;
    StoreTimestamp stamp;
};

static_assert(sizeof(TimeFieldsLayout) == sizeof(TimeFields), "layout covers the fields");
static_assert(offsetof(TimeFieldsLayout, hundredths) == offsetof(TimeFields, hundredths), "hundredths");
static_assert(offsetof(TimeFieldsLayout, stamp) == offsetof(TimeFields, stamp), "stamp");

void fillFields(TimeFieldsLayout &fields, const StoreTimestamp &stamp) {
    const CivilTime time = civilTimeOf(stamp);
    fields.year = time.date.year;
    fields.month = time.date.month;
    fields.day = time.date.day;
    fields.hour = time.hour;
    fields.minute = time.minute;
    fields.second = time.second;
    fields.hundredths = time.hundredths;
    fields.weekday = weekdayOf(stamp.word[1]);
    fields.dayOfYear = dayOfYearOf(time.date);
    fields.stamp = stamp;
}

}  // namespace

void storeReadRegionalSettings(RegionalSettings *settings, uint16_t settingsSize) {
    if (settings == nullptr) return;
    const RegionalLayout defaults = defaultRegionalLayout();
    std::memcpy(settings, &defaults, std::min<size_t>(settingsSize, sizeof defaults));
}

// Null settings mean the defaults. Text after a complete date and time is left
// unread, with *text pointing at it.
StoreStatus storeTextToStamp(const RegionalSettings *settings, const void *, const char **text, uint16_t maxLength,
                             StoreTimestamp *stamp) {
    return guarded([&]() -> StoreStatus {
        if (auto fault = injectedFault("storeTextToStamp")) return fault->status;
        if (text == nullptr || *text == nullptr || stamp == nullptr) return TESRA_ERR_NULL_ARGUMENT;
        return readStampText(layoutOf(settings), text, maxLength, *stamp);
    });
}

StoreStatus storeStampToText(const RegionalSettings *settings, const void *, const StoreTimestamp *stamp, char *text,
                             uint16_t maxLength, uint16_t *length) {
    if (length != nullptr) *length = 0;
    return guarded([&]() -> StoreStatus {
        if (stamp == nullptr || text == nullptr || length == nullptr) return TESRA_ERR_NULL_ARGUMENT;
        if (!isValidStamp(*stamp)) return TESRA_ERR_STAMP_INVALID;
        const std::string written = writeStampText(layoutOf(settings), *stamp);
        if (written.size() > maxLength) return TESRA_ERR_TEXT_BUFFER_TOO_SMALL;
        std::memcpy(text, written.data(), written.size());
        *length = static_cast<uint16_t>(written.size());
        return TESRA_OK;
    });
}

StoreStatus storeStampToFields(TimeFields *fields) {
    if (fields == nullptr) return TESRA_ERR_NULL_ARGUMENT;
    TimeFieldsLayout layout;
    std::memcpy(&layout, fields, sizeof layout);
    if (!isValidStamp(layout.stamp)) return TESRA_ERR_STAMP_INVALID;
    fillFields(layout, layout.stamp);
    std::memcpy(fields, &layout, sizeof layout);
    return TESRA_OK;
}

StoreStatus storeFieldsToStamp(TimeFields *fields) {
    if (fields == nullptr) return TESRA_ERR_NULL_ARGUMENT;
    TimeFieldsLayout layout;
    std::memcpy(&layout, fields, sizeof layout);
    const CivilTime time{{layout.year, layout.month, layout.day}, layout.hour, layout.minute, layout.second,
                         layout.hundredths};
    if (!isValidDate(time.date) || time.hour < 0 || time.hour > 23 || time.minute < 0 || time.minute > 59 ||
        time.second < 0 || time.second > 59 || time.hundredths < 0 || time.hundredths > 99) {
        return TESRA_ERR_FIELDS_INVALID;
    }
    fillFields(layout, stampOfCivil(time));
    std::memcpy(fields, &layout, sizeof layout);
    return TESRA_OK;
}

uint32_t storeStampTicks(const StoreTimestamp *stamp) { return stamp != nullptr ? stamp->word[0] : 0; }
