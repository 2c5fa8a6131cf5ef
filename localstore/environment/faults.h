#pragma once

#include <cstdint>
#include <optional>

#include "store_client.h"

namespace tesra {

class IniConfig;

struct InjectedFault {
    StoreStatus status;
    // For storeSearch: matches reported before failing; absent: fail at once.
    std::optional<uint32_t> afterMatches;
};

// The fault a test asked for on this operation: first the TESRA_FAULTS
// environment variable ("op=status[@n],op=status"), read at each call, then
// the Fault.<op> lines of the configuration (null while the runtime is down).
std::optional<InjectedFault> injectedFault(const char *operation, const IniConfig *config);

}  // namespace tesra
