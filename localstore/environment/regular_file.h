#pragma once

#include <cstddef>
#include <string>

namespace tesra {

enum class RegularFileRead { kRead, kMissing, kNotRegular, kTooLarge, kUnreadable };

// Reads a whole file of at most maxSize bytes. Anything but a regular file
// (a FIFO, a device, a directory) is refused without blocking on it.
RegularFileRead readRegularFile(const std::string &path, size_t maxSize, std::string &content);

}  // namespace tesra
