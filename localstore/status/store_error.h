#pragma once

#include <stdexcept>
#include <string>

#include "store_client.h"

namespace tesra {

// A failure inside the library, carrying the status the C functions return
// and a message for the admin command.
class StoreError : public std::runtime_error {
public:
    StoreError(StoreStatus status, const std::string &message) : std::runtime_error(message), status_(status) {}
    StoreStatus status() const { return status_; }

private:
    StoreStatus status_;
};

}  // namespace tesra
