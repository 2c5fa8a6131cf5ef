#pragma once

#include <exception>
#include <new>
#include <string>

#include "status/status_codes.h"
#include "status/store_error.h"
#include "store_client.h"

namespace tesra {

// Writes "tesra: MESSAGE" on standard error the first time this process
// meets the message: a status has a fixed text, and this is where the path
// it concerns (a configuration, a folder) reaches whoever reads the logs.
void announceOnce(const std::string &message);

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
