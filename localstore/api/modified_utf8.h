#pragma once

#include <string>

namespace tesra {

// A text as the Java virtual machine hands it out (modified UTF-8) in
// standard UTF-8: a character outside the Basic Multilingual Plane arrives as
// two 3-byte surrogates and becomes one 4-byte sequence. Standard UTF-8 and
// every other byte pass unchanged; so does C0 80 (U+0000), since a NUL
// cannot stand inside a C text.
std::string standardUtf8(const char *text);

}  // namespace tesra
