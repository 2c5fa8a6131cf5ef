// Opening, closing and searching databases.
#include <optional>
#include <string>

#include "api/api_guard.h"
#include "api/modified_utf8.h"
#include "database/database_path.h"
#include "environment/faults.h"
#include "runtime/runtime.h"
#include "store_client.h"

using namespace tesra;

namespace {

// The buffer the last storeBuildNetPath of this thread left empty because
// the path would not fit: opening it reports the path as too long.
thread_local const char *g_tooLongPath = nullptr;

}  // namespace

StoreStatus storeBuildNetPath(const char *, const char *server, const char *fileName, char *path) {
    if (path == nullptr) return TESRA_ERR_NULL_ARGUMENT;
    return guarded([&] {
        const std::optional<std::string> serverText = server ? std::optional(standardUtf8(server)) : std::nullopt;
        const std::optional<std::string> fileText = fileName ? std::optional(standardUtf8(fileName)) : std::nullopt;
        const StoreStatus status = buildNetPath(serverText ? serverText->c_str() : nullptr,
                                                fileText ? fileText->c_str() : nullptr,
                                                *reinterpret_cast<char(*)[STORE_PATH_SIZE]>(path));
        g_tooLongPath = status == TESRA_ERR_PATH_TOO_LONG ? path : nullptr;
        return status;
    });
}

// On failure *handle is set to 0.
StoreStatus storeOpenDatabase(const char *path, StoreHandle *handle) {
    if (handle != nullptr) *handle = 0;
    return guarded([&]() -> StoreStatus {
        Runtime &state = runtime();
        std::lock_guard<std::mutex> lock(state.mutex);
        if (auto fault = injectedFault("storeOpenDatabase")) return fault->status;
        if (!state.isUp()) return TESRA_ERR_NOT_STARTED;
        if (path == nullptr || handle == nullptr) return TESRA_ERR_NULL_ARGUMENT;
        if (!state.userName) return TESRA_ERR_NO_IDENTITY;
        if (path == g_tooLongPath && *path == '\0') return TESRA_ERR_PATH_TOO_LONG;
        std::shared_ptr<Database> database;
        try {
            database = Database::open(resolveDatabasePath(*state.config, standardUtf8(path)),
                                      state.config->lockTimeout());
        } catch (const StoreError &error) {
            // The status text cannot name the folder to fix.
            if (error.status() == TESRA_ERR_UNSAFE_FOLDER) announceOnce(error.what());
            throw;
        }
        // Read through the connection the polls read from.
        if (!database->admits(*state.userName)) return TESRA_ERR_ACCESS_DENIED;
        const auto added = state.databases.add({std::move(database), *state.userName});
        if (!added) return TESRA_ERR_TOO_MANY_OPEN;
        *handle = *added;
        return TESRA_OK;
    });
}

StoreStatus storeCloseDatabase(StoreHandle handle) {
    return guarded([&]() -> StoreStatus {
        Runtime &state = runtime();
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.isUp()) return TESRA_ERR_NOT_STARTED;
        return state.databases.remove(handle) ? TESRA_OK : TESRA_ERR_BAD_HANDLE;
    });
}

// viewTitle and searchFlags are not used; formula must be 0 (no selection).
StoreStatus storeSearch(StoreHandle databaseHandle, StoreHandle formula, const char *, uint32_t, uint16_t classMask,
                        const StoreTimestamp *since, StoreSearchCallback callback, void *context,
                        StoreTimestamp *until) {
    return guarded([&]() -> StoreStatus {
        std::shared_ptr<Database> database;
        SearchRequest request{classMask, 0, false, callback, context, std::nullopt, std::nullopt};
        {
            Runtime &state = runtime();
            std::lock_guard<std::mutex> lock(state.mutex);
            request.fault = injectedFault("storeSearch");
            if (request.fault && !request.fault->afterMatches) return request.fault->status;
            if (!state.isUp()) return TESRA_ERR_NOT_STARTED;
            if (since == nullptr || callback == nullptr || until == nullptr) return TESRA_ERR_NULL_ARGUMENT;
            OpenDatabase open = state.databases.find(databaseHandle);
            if (!open.database) return TESRA_ERR_BAD_HANDLE;
            database = std::move(open.database);
            // The user that opened it: another storeSwitchIdentity since, by
            // another user of the library, does not change whose access is checked.
            request.userName = std::move(open.userName);
        }
        if (formula != 0) return TESRA_ERR_BAD_FORMULA;
        // The zero stamp and the earliest stamp both ask for everything.
        request.fromBeginning = (since->word[0] == 0 && since->word[1] == 0) || stampValueOf(*since) == kEarliestStamp;
        if (!request.fromBeginning && !isValidStamp(*since)) return TESRA_ERR_STAMP_INVALID;
        request.since = request.fromBeginning ? kEarliestStamp : stampValueOf(*since);

        StampValue newUntil = 0;
        const StoreStatus status = database->search(request, newUntil);
        if (status == TESRA_OK) *until = stampOf(newUntil);
        return status;
    });
}
