#include "environment/atomic_file.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {

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
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << content;
        file.flush();
        if (!file) {
            file.close();
            std::remove(temporary.c_str());
            throw StoreError(TESRA_ERR_FILE_IO, "cannot write '" + path + "'");
        }
    }
    // link() fails instead of replacing a file created meanwhile
    if (::link(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw StoreError(TESRA_ERR_FILE_IO, "cannot create '" + path + "'");
    }
    std::remove(temporary.c_str());
}

}  // namespace tesra
