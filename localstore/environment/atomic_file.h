#pragma once

#include <string>

namespace tesra {

// Writes the file under a new temporary name in the same directory, flushes
// it to disk, links it into place and flushes the directory, so readers (and
// a restart after a power loss) never see a half-written file. The file is
// private to its owner (mode 0600). Refuses to replace an existing file.
// Throws StoreError.
void writeFileAtomically(const std::string &path, const std::string &content);

// Creates a new directory beside path that only this user can enter, to
// build a file in before linking it into place. Throws StoreError.
std::string makePrivateDirectoryBeside(const std::string &path);

// Links the finished file at temporary to path, refusing to replace a file,
// then flushes path's directory. Throws StoreError; leaves temporary in place.
void linkIntoPlace(const std::string &temporary, const std::string &path);

// Creates a folder only its owner may use (mode 0700 whatever the umask) and
// flushes the folder that holds it, so that a power loss cannot lose its
// name. Throws StoreError.
void makePrivateFolder(const std::string &path);

// Flushes a file or directory to disk. Throws StoreError.
void syncToDisk(const std::string &path);

}  // namespace tesra
