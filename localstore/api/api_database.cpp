// Opening, closing and searching databases.
#include "api/api_guard.h"
#include "database/database_path.h"
#include "environment/faults.h"
#include "runtime/runtime.h"
#include "store_client.h"

using namespace tesra;

StoreStatus storeBuildNetPath(const char *, const char *server, const char *fileName, char *path) {
    if (path == nullptr) return TESRA_ERR_NULL_ARGUMENT;
    return guarded([&] { return buildNetPath(server, fileName, *reinterpret_cast<char(*)[STORE_PATH_SIZE]>(path)); });
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
        std::shared_ptr<Database> database = Database::open(resolveDatabasePath(*state.config, path));
        const auto added = state.databases.add(std::move(database));
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
        SearchRequest request{classMask, 0, false, callback, context, std::nullopt};
        {
            Runtime &state = runtime();
            std::lock_guard<std::mutex> lock(state.mutex);
            request.fault = injectedFault("storeSearch");
            if (request.fault && !request.fault->afterMatches) return request.fault->status;
            if (!state.isUp()) return TESRA_ERR_NOT_STARTED;
            if (since == nullptr || callback == nullptr || until == nullptr) return TESRA_ERR_NULL_ARGUMENT;
            database = state.databases.find(databaseHandle);
            if (!database) return TESRA_ERR_BAD_HANDLE;
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
