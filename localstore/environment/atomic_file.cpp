#include "environment/atomic_file.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "environment/private_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {
namespace {

bool writeAll(int descriptor, const std::string &content) {
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t done = ::write(descriptor, content.data() + written, content.size() - written);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        written += static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

std::string temporaryNameFor(const std::string &path) {
    static std::atomic<unsigned> counter{0};
    return path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

void writeFileAtomically(const std::string &path, const std::string &content) {
    std::error_code error;
    if (std::filesystem::exists(path, error)) {
        throw StoreError(TESRA_ERR_FILE_EXISTS, "'" + path + "' already exists");
    }
    const std::string temporary = temporaryNameFor(path);
    const int descriptor = createPrivateFile(temporary);
    const bool written = writeAll(descriptor, content);
    if (::close(descriptor) != 0 || !written) {
        std::remove(temporary.c_str());
        throw StoreError(TESRA_ERR_FILE_IO, "cannot write '" + path + "'");
    }
    // link() fails instead of replacing a file created meanwhile
    if (::link(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw StoreError(TESRA_ERR_FILE_IO, "cannot create '" + path + "'");
    }
    std::remove(temporary.c_str());
}

}  // namespace tesra
