#include "api/modified_utf8.h"

#include <cstring>

namespace tesra {
namespace {

// The surrogate (U+D800..U+DFFF) whose 3-byte sequence starts at text, or 0.
unsigned surrogateAt(const unsigned char *text, size_t remaining) {
    if (remaining < 3 || text[0] != 0xED || (text[1] & 0xE0) != 0xA0 || (text[2] & 0xC0) != 0x80) return 0;
    return 0xD000u | ((text[1] & 0x3Fu) << 6) | (text[2] & 0x3Fu);
}

}  // namespace

std::string standardUtf8(const char *text) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    const size_t length = std::strlen(text);
    std::string result;
    result.reserve(length);
    for (size_t i = 0; i < length;) {
        const unsigned high = surrogateAt(bytes + i, length - i);
        const unsigned low = high >= 0xD800 && high <= 0xDBFF ? surrogateAt(bytes + i + 3, length - i - 3) : 0;
        if (low >= 0xDC00 && low <= 0xDFFF) {
            const unsigned character = 0x10000u + ((high - 0xD800u) << 10) + (low - 0xDC00u);
            result += static_cast<char>(0xF0 | (character >> 18));
            result += static_cast<char>(0x80 | ((character >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (character & 0x3F));
            i += 6;
        } else {
            result += static_cast<char>(bytes[i++]);
        }
    }
    return result;
}

}  // namespace tesra
