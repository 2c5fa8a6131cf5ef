#pragma once

#include <string>

namespace tesra {

// Writes the file under a temporary name in the same directory and renames
// it into place, so readers never see a half-written file. The file is
// private to its owner (mode 0600). Refuses to replace an existing file.
// Throws StoreError.
void writeFileAtomically(const std::string &path, const std::string &content);

// A temporary name next to path, unique to this process.
std::string temporaryNameFor(const std::string &path);

}  // namespace tesra
