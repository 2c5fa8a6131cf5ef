#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "environment/ini_config.h"
#include "runtime/handle_table.h"

namespace tesra {

// The process-wide state behind the C functions, guarded by mutex. One
// library serves every user in the process (two class loaders with a bridge
// each, say): each successful storeInit counts a user, each storeTerm ends
// one, and the last shuts down.
struct Runtime {
    std::mutex mutex;
    std::optional<IniConfig> config;  // set while the runtime is up
    std::optional<std::string> userName;  // the identity switched to last; each open database keeps its own
    HandleTable databases;
    int users = 0;  // storeInit calls not yet ended by a storeTerm

    bool isUp() const { return config.has_value(); }
};

Runtime &runtime();

}  // namespace tesra
