#include "environment/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "environment/system_error.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {
namespace {

[[noreturn]] void fail(int error, const std::string &what) {
    throw StoreError(statusOfSystemError(error, TESRA_ERR_FILE_IO), what + ": " + std::strerror(error));
}

std::string directoryOf(const std::string &path) {
    const std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

// A file of a name nobody could have guessed, private to its owner (mode
// 0600 whatever the umask); never one that already existed and never through
// a symbolic link.
int createTemporaryFile(const std::string &path, std::string &temporary) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".tmp-%08x%08x", random(), random());
        temporary = path + suffix;
        const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (file < 0 && errno == EEXIST) continue;
        // The umask may have taken away the owner's bits; nobody else gets any.
        if (file >= 0 && ::fchmod(file, 0600) != 0) {
            const int error = errno;
            ::close(file);
            ::unlink(temporary.c_str());
            errno = error;
            return -1;
        }
        return file;
    }
    errno = EEXIST;
    return -1;
}

// False with errno set when a write fails.
bool writeAll(int file, const std::string &content) {
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t result = ::write(file, content.data() + written, content.size() - written);
        if (result < 0 && errno == EINTR) continue;
        if (result < 0) return false;
        written += static_cast<size_t>(result);
    }
    return true;
}

}  // namespace

void syncToDisk(const std::string &path) {
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) fail(errno, "cannot open '" + path + "' to flush it");
    const int result = ::fsync(file);
    const int error = errno;
    ::close(file);
    if (result != 0) fail(error, "cannot flush '" + path + "'");
}

void linkIntoPlace(const std::string &temporary, const std::string &path) {
    // link() fails instead of replacing a file created meanwhile
    if (::link(temporary.c_str(), path.c_str()) != 0) {
        if (errno == EEXIST) throw StoreError(TESRA_ERR_FILE_EXISTS, "'" + path + "' already exists");
        fail(errno, "cannot create '" + path + "'");
    }
    syncToDisk(directoryOf(path));
}

void writeFileAtomically(const std::string &path, const std::string &content) {
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        throw StoreError(TESRA_ERR_FILE_EXISTS, "'" + path + "' already exists");
    }
    std::string temporary;
    const int file = createTemporaryFile(path, temporary);
    if (file < 0) fail(errno, "cannot create a temporary file for '" + path + "'");
    try {
        if (!writeAll(file, content) || ::fsync(file) != 0) {
            const int writeError = errno;
            ::close(file);
            fail(writeError, "cannot write '" + path + "'");
        }
        if (::close(file) != 0) fail(errno, "cannot write '" + path + "'");
        linkIntoPlace(temporary, path);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    ::unlink(temporary.c_str());
}

void makePrivateFolder(const std::string &path) {
    if (::mkdir(path.c_str(), 0700) != 0) fail(errno, "cannot create folder '" + path + "'");
    if (::chmod(path.c_str(), 0700) != 0) fail(errno, "cannot set the mode of folder '" + path + "'");
    syncToDisk(directoryOf(path));
}

std::string makePrivateDirectoryBeside(const std::string &path) {
    // Not named after path: a file name of 255 bytes leaves no room for a suffix.
    std::string pattern = directoryOf(path) + "/.tesra-new-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail(errno, "cannot create a temporary folder beside '" + path + "'");
    return pattern;
}

}  // namespace tesra
