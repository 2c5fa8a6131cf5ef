#pragma once

#include <cstdint>
#include <optional>

#include "store_client.h"

namespace tesra {

struct InjectedFault {
    StoreStatus status;
    // For storeSearch: matches reported before failing; absent: fail at once.
    std::optional<uint32_t> afterMatches;
};

// The fault a test asked for on this operation in the TESRA_FAULTS
// environment variable ("op=status[@n],op=status"), read at each call. Throws
// StoreError TESRA_ERR_BAD_FAULT_SETTING when any entry is malformed. The
// first call that sees a setting with faults in it announces them on
// standard error.
std::optional<InjectedFault> injectedFault(const char *operation);

}  // namespace tesra
