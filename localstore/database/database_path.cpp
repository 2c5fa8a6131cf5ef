#include "database/database_path.h"

#include <cstring>
#include <filesystem>

#include "environment/folder_safety.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {
namespace {

bool isAllowedFileName(const std::string &name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':')) return false;
    size_t start = 0;
    while (start <= name.size()) {
        const size_t end = name.find_first_of("/\\", start);
        const std::string component = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (component == "..") return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

// The file with every symbolic link resolved (the last components may not
// exist yet); refused when that leaves the directory.
std::string resolvedInside(const std::filesystem::path &directory, const std::string &fileName) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::weakly_canonical(directory, error);
    fs::path file;
    if (!error) file = fs::weakly_canonical(directory / fileName, error);
    const fs::path inside = file.lexically_relative(base);
    if (error || inside.empty() || *inside.begin() == ".." || inside == ".") {
        throw StoreError(TESRA_ERR_PATH_NOT_ALLOWED, "'" + fileName + "' leads out of the data directory");
    }
    return file.string();
}

}  // namespace

StoreStatus buildNetPath(const char *server, const char *fileName, char (&path)[STORE_PATH_SIZE]) {
    path[0] = '\0';
    if (fileName == nullptr) return TESRA_ERR_NULL_ARGUMENT;
    std::string text = fileName;
    if (server != nullptr && *server != '\0') text = std::string(server) + kServerSeparator + text;
    if (text.size() >= STORE_PATH_SIZE) return TESRA_ERR_PATH_TOO_LONG;
    std::memcpy(path, text.c_str(), text.size() + 1);
    return TESRA_OK;
}

std::string resolveDatabasePath(const IniConfig &config, const std::string &path) {
    if (path.size() >= STORE_PATH_SIZE) throw StoreError(TESRA_ERR_PATH_TOO_LONG, "the database path is too long");
    const size_t separator = path.find(kServerSeparator);
    const std::string server = separator == std::string::npos ? std::string() : path.substr(0, separator);
    const std::string fileName =
        separator == std::string::npos ? path : path.substr(separator + std::strlen(kServerSeparator));

    std::optional<std::string> directory;
    if (server.empty()) {
        directory = config.pathValue("Directory");
        if (!directory || directory->empty()) {
            throw StoreError(TESRA_ERR_NO_DATA_DIRECTORY, "tesra.ini has no Directory line");
        }
    } else {
        directory = config.pathValue("Server." + server);
        if (!directory || directory->empty()) throw StoreError(TESRA_ERR_UNKNOWN_SERVER, "unknown server '" + server + "'");
    }
    if (!isAllowedFileName(fileName)) {
        throw StoreError(TESRA_ERR_PATH_NOT_ALLOWED,
                         "'" + fileName + "' must be a relative name inside the data directory");
    }
    const std::string file = resolvedInside(*directory, fileName);
    requireSafeFolders(std::filesystem::path(file).parent_path().string());
    return file;
}

}  // namespace tesra
