#pragma once

#include <string>

namespace tesra {

// Creates a new empty file that only its owner may read and write (mode 0600
// whatever the umask) and returns its open descriptor, for writing. Refuses
// an existing file or symbolic link. Throws StoreError.
int createPrivateFile(const std::string &path);

}  // namespace tesra
