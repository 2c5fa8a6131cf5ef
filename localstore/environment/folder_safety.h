#pragma once

#include <string>

namespace tesra {

// Refuses a folder that another user could change under the store: the
// folder and every folder above it, up to /, must belong to this user or to
// root, and must not be writable by group or others unless the sticky bit is
// set (as on /tmp, where others cannot rename what they do not own). Whoever
// can rename a folder of the path can put another database, or a link out of
// the data folder, where an open expects its own. Symbolic links are
// resolved first. Throws StoreError TESRA_ERR_UNSAFE_FOLDER naming the folder.
void requireSafeFolders(const std::string &folder);

}  // namespace tesra
