#pragma once

#include <exception>
#include <new>

#include "status/status_codes.h"
#include "status/store_error.h"
#include "store_client.h"

namespace tesra {

// Runs the body of a C function; no exception leaves the library.
template <typename Body>
StoreStatus guarded(Body body) noexcept {
    try {
        return body();
    } catch (const StoreError &error) {
        return error.status();
    } catch (...) {
        return TESRA_ERR_INTERNAL;
    }
}

}  // namespace tesra
