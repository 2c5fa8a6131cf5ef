#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "environment/faults.h"
#include "environment/ini_config.h"
#include "runtime/handle_table.h"

namespace tesra {

// The process-wide state behind the C functions, guarded by mutex.
struct Runtime {
    std::mutex mutex;
    std::optional<IniConfig> config;  // set while the runtime is up
    std::optional<std::string> userName;  // set once an identity is switched to
    HandleTable databases;

    bool isUp() const { return config.has_value(); }

    // The failure injected for the operation, from the environment or, while
    // up, from the configuration. The caller holds mutex.
    std::optional<InjectedFault> faultFor(const char *operation) const {
        return injectedFault(operation, isUp() ? &*config : nullptr);
    }
};

Runtime &runtime();

}  // namespace tesra
