#pragma once

#include <cstddef>
#include <cstdint>

#include "store_client.h"

namespace tesra {

// The library's view of the 56 bytes of ChangeMatch.
struct ChangeMatchLayout {
    StoreTimestamp modified;   // the record's modification (or deletion) time
    uint16_t recordClass;
    uint8_t unused0[6];
    uint32_t recordId;
    StoreTimestamp universalFirst;
    StoreTimestamp universalSecond;
    uint8_t unused1[14];
    uint8_t matchFlags;
    uint8_t unused2[5];
};

static_assert(sizeof(ChangeMatchLayout) == sizeof(ChangeMatch), "layout covers the match");
static_assert(offsetof(ChangeMatchLayout, recordClass) == 8, "class at 8");
static_assert(offsetof(ChangeMatchLayout, recordId) == offsetof(ChangeMatch, recordId), "record id");
static_assert(offsetof(ChangeMatchLayout, universalFirst) == offsetof(ChangeMatch, universalFirst), "first");
static_assert(offsetof(ChangeMatchLayout, universalSecond) == offsetof(ChangeMatch, universalSecond), "second");
static_assert(offsetof(ChangeMatchLayout, matchFlags) == offsetof(ChangeMatch, matchFlags), "flags");

// What the summary pointer of the search callback points to.
struct SearchSummary {
    char title[128];  // the record's title, NUL-terminated, cut to fit; empty for deleted records
};

}  // namespace tesra
