#include "environment/folder_safety.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {

void requireSafeFolders(const std::string &folder) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path current = fs::weakly_canonical(fs::absolute(folder, error), error);
    if (error) return;  // a folder that cannot be resolved fails the open on its own
    const uid_t self = ::geteuid();
    for (;;) {
        struct stat status;
        if (::stat(current.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            const std::string name = current.string();
            if (status.st_uid != self && status.st_uid != 0) {
                throw StoreError(TESRA_ERR_UNSAFE_FOLDER, "folder '" + name + "' belongs to another user (uid " +
                                                              std::to_string(status.st_uid) +
                                                              "); the store's folders must be yours or root's");
            }
            if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) {
                throw StoreError(TESRA_ERR_UNSAFE_FOLDER, "folder '" + name +
                                                              "' is writable by other users; chmod go-w '" + name +
                                                              "' makes it safe");
            }
        }
        if (!current.has_relative_path()) return;  // reached /
        current = current.parent_path();
    }
}

}  // namespace tesra
