#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>

#include "database/database.h"
#include "store_client.h"

namespace tesra {

// Open databases by handle. Handles are small non-zero numbers that are not
// given out again while the process lives, so a closed handle stays invalid.
class HandleTable {
public:
    static constexpr size_t kMaxOpen = 1024;

    // Nothing when kMaxOpen databases are open.
    std::optional<StoreHandle> add(std::shared_ptr<Database> database);
    std::shared_ptr<Database> find(StoreHandle handle) const;
    bool remove(StoreHandle handle);
    void clear() { open_.clear(); }
    size_t size() const { return open_.size(); }

private:
    std::map<StoreHandle, std::shared_ptr<Database>> open_;
    StoreHandle next_ = 1;
};

}  // namespace tesra
