#pragma once

#include <mutex>
#include <optional>
#include <string>

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
};

Runtime &runtime();

}  // namespace tesra
