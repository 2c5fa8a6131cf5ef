#include "environment/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {

int createPrivateFile(const std::string &path) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        const int error = errno;
        throw StoreError(error == EEXIST ? TESRA_ERR_FILE_EXISTS : TESRA_ERR_FILE_IO,
                         "cannot create '" + path + "': " + std::strerror(error));
    }
    // The umask may have taken away the owner's bits; nobody else gets any.
    if (::fchmod(descriptor, 0600) != 0) {
        const int error = errno;
        ::close(descriptor);
        ::unlink(path.c_str());
        throw StoreError(TESRA_ERR_FILE_IO, "cannot set the mode of '" + path + "': " + std::strerror(error));
    }
    return descriptor;
}

}  // namespace tesra
