#pragma once

#include <string>

#include "environment/ini_config.h"
#include "store_client.h"

namespace tesra {

// Separates a server name from the file name in a path: "server!!file".
constexpr const char *kServerSeparator = "!!";

// The path text for a file on a server (or a local file when server is null or empty).
StoreStatus buildNetPath(const char *server, const char *fileName, char (&path)[STORE_PATH_SIZE]);

// The file of a database path: local names are taken from Directory, names
// on a server from Server.<name>. Refuses absolute names, "..", and names
// that symbolic links lead out of the directory, and a file whose folders
// other users could change (TESRA_ERR_UNSAFE_FOLDER). Throws StoreError.
std::string resolveDatabasePath(const IniConfig &config, const std::string &path);

}  // namespace tesra
