#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "store_client.h"

namespace tesra {

constexpr uint32_t kDefaultIdIterations = 600000;
// New ID files need at least this many; files written with fewer still read.
constexpr uint32_t kMinIdIterations = 100000;
constexpr uint32_t kMaxIdIterations = 10000000;

// Writes a new ID file (through a temporary name, mode 0600). Throws StoreError.
void createIdFile(const std::string &path, const std::string &userName, const std::string &password,
                  uint32_t iterations);

// Checks the password against the ID file and that no line of it was
// changed; on success sets userName.
StoreStatus verifyIdFile(const std::string &path, const std::string &password, std::string &userName);

// 1 to 255 bytes, no control characters.
bool isValidUserName(const std::string &name);

// The iterations of a readable ID file of the current format, unverified.
std::optional<uint32_t> idFileIterations(const std::string &path);
// The user name an ID file claims, unverified (no password); nothing when the
// file cannot be read.
std::optional<std::string> claimedUserOf(const std::string &path);

}  // namespace tesra
