#pragma once

#include <cstdint>
#include <string>

#include "store_client.h"

namespace tesra {

constexpr uint32_t kDefaultIdIterations = 20000;
constexpr uint32_t kMaxIdIterations = 10000000;

// Writes a new ID file (through a temporary name). Throws StoreError.
void createIdFile(const std::string &path, const std::string &userName, const std::string &password,
                  uint32_t iterations);

// Checks the password against the ID file; on success sets userName.
StoreStatus verifyIdFile(const std::string &path, const std::string &password, std::string &userName);

}  // namespace tesra
