#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "database/database.h"
#include "store_client.h"

namespace tesra {

// A database open under a handle, and the user whose identity opened it:
// its access list is checked against that user at every search, whatever
// identity the process switched to since.
struct OpenDatabase {
    std::shared_ptr<Database> database;
    std::string userName;
};

// Open databases by handle. Handles are small non-zero numbers that are not
// given out again while the process lives, so a closed handle stays invalid.
class HandleTable {
public:
    static constexpr size_t kMaxOpen = 1024;

    // Nothing when kMaxOpen databases are open.
    std::optional<StoreHandle> add(OpenDatabase database);
    // Nothing (a null database) for an unknown handle.
    OpenDatabase find(StoreHandle handle) const;
    bool remove(StoreHandle handle);
    void clear() { open_.clear(); }
    size_t size() const { return open_.size(); }

private:
    std::map<StoreHandle, OpenDatabase> open_;
    StoreHandle next_ = 1;
};

}  // namespace tesra
