// The runtime, configuration, identity and status text functions.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "api/api_guard.h"
#include "api/modified_utf8.h"
#include "environment/faults.h"
#include "environment/store_clock.h"
#include "identity/id_file.h"
#include "runtime/runtime.h"
#include "status/status_text.h"
#include "store_client.h"

using namespace tesra;

namespace {

void copyCut(const std::string &source, char *target, size_t targetSize) {
    if (target == nullptr || targetSize == 0) return;
    const size_t length = std::min(source.size(), targetSize - 1);
    std::memcpy(target, source.data(), length);
    target[length] = '\0';
}

}  // namespace

void tesra::announceOnce(const std::string &message) {
    static std::mutex mutex;
    static std::set<std::string> announced;
    std::lock_guard<std::mutex> lock(mutex);
    if (announced.insert(message).second) std::fprintf(stderr, "tesra: %s\n", message.c_str());
}

// Calls nest: each successful storeInit counts a user of the library (two
// class loaders each load a bridge, but the process has one libntesra), and
// only the storeTerm of the last shuts down. A storeInit while up re-reads
// tesra.ini; the identity and open databases stay.
StoreStatus storeInit(int, char **) {
    return guarded([]() -> StoreStatus {
        if (auto fault = injectedFault("storeInit")) return fault->status;
        clockOffset();  // refuses a malformed offset now rather than at the first write
        const std::string path = defaultIniPath();
        std::string problem;
        auto config = IniConfig::load(path, problem);
        if (!config) {
            announceOnce("cannot read the configuration '" + path + "': " + problem +
                         " (TESRA_INI names it, else ./tesra.ini)");
            return TESRA_ERR_INI_UNREADABLE;
        }
        try {
            config->lockTimeout();
        } catch (const StoreError &error) {
            announceOnce(error.what());
            throw;
        }
        Runtime &state = runtime();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.config = std::move(config);
        ++state.users;
        return TESRA_OK;
    });
}

void storeTerm(void) {
    Runtime &state = runtime();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.users == 0 || --state.users > 0) return;  // harmless while down; another user goes on
    state.databases.clear();
    state.userName.reset();
    state.config.reset();
}

// A value that does not fit in valueSize (with its terminator) reads as not set.
int storeReadConfig(const char *name, char *value, uint16_t valueSize) {
    if (name == nullptr) return 0;
    try {
        Runtime &state = runtime();
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.isUp()) return 0;
        const auto found = state.config->value(name);
        // A value cut to the buffer would be a different value (another file, for KeyFilename).
        if (!found || found->size() >= valueSize) {
            if (value != nullptr && valueSize > 0) value[0] = '\0';
            return 0;
        }
        copyCut(*found, value, valueSize);
        return 1;
    } catch (...) {
        return 0;
    }
}

// A failed switch keeps the previous identity.
StoreStatus storeSwitchIdentity(const char *idFilePath, const char *password, char *userName,
                                uint16_t userNameSize, uint32_t, void *) {
    return guarded([&]() -> StoreStatus {
        Runtime &state = runtime();
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (auto fault = injectedFault("storeSwitchIdentity")) return fault->status;
            if (!state.isUp()) return TESRA_ERR_NOT_STARTED;
        }
        if (idFilePath == nullptr || password == nullptr) return TESRA_ERR_NULL_ARGUMENT;
        std::string verifiedUser;
        const StoreStatus status = verifyIdFile(standardUtf8(idFilePath), standardUtf8(password), verifiedUser);
        if (status != TESRA_OK) return status;

        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.isUp()) return TESRA_ERR_NOT_STARTED;
        state.userName = verifiedUser;
        copyCut(verifiedUser, userName, userNameSize);
        return TESRA_OK;
    });
}

uint16_t storeLoadStatusText(void *, uint16_t code, char *text, uint16_t textSize) {
    if (text == nullptr || textSize == 0) return 0;
    try {
        const std::string message = statusText(code);
        copyCut(message, text, textSize);
        return static_cast<uint16_t>(std::min<size_t>(message.size(), textSize - 1u));
    } catch (...) {
        text[0] = '\0';
        return 0;
    }
}
