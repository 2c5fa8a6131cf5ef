#pragma once

#include <cstdint>
#include <string>

namespace tesra {

// The text of a status code (only the bits of STORE_STATUS_CODE_MASK
// count), or a text naming the unknown code.
std::string statusText(uint16_t status);

}  // namespace tesra
