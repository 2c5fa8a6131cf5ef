#pragma once

#include "store_client.h"

namespace tesra {

// The status of a failed system call's errno: disk full, read-only, too many
// open files, or otherwise.
StoreStatus statusOfSystemError(int error, StoreStatus otherwise);

}  // namespace tesra
