#include "runtime/handle_table.h"

namespace tesra {

std::optional<StoreHandle> HandleTable::add(OpenDatabase database) {
    if (open_.size() >= kMaxOpen) return std::nullopt;
    while (next_ == 0 || open_.count(next_) != 0) ++next_;  // after a wrap-around only
    const StoreHandle handle = next_++;
    open_.emplace(handle, std::move(database));
    return handle;
}

OpenDatabase HandleTable::find(StoreHandle handle) const {
    const auto found = open_.find(handle);
    return found == open_.end() ? OpenDatabase{} : found->second;
}

bool HandleTable::remove(StoreHandle handle) { return open_.erase(handle) != 0; }

}  // namespace tesra
