#include "environment/system_error.h"

#include <cerrno>

#include "status/status_codes.h"

namespace tesra {

StoreStatus statusOfSystemError(int error, StoreStatus otherwise) {
    switch (error) {
        case ENOSPC:
        case EDQUOT: return TESRA_ERR_DISK_FULL;
        case EROFS: return TESRA_ERR_READ_ONLY;
        case EMFILE:
        case ENFILE: return TESRA_ERR_TOO_MANY_FILES;
        default: return otherwise;
    }
}

}  // namespace tesra
