#include "admin/output_text.h"

#include <cstdio>

namespace tesra::admin {
namespace {

// The length of the well-formed UTF-8 sequence at position, or 0.
size_t utf8SequenceLength(const std::string &text, size_t position) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(position);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (position + length > text.size()) return 0;
    if (byte(position + 1) < low || byte(position + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(position + i) < 0x80 || byte(position + i) > 0xBF) return 0;
    }
    return length;
}

// Appends the escape of a backslash or control character c, with the given
// form for those without a letter of their own; false for any other c.
bool appendEscape(std::string &out, unsigned char c, const char *otherControl) {
    if (c == '\\') {
        out += "\\\\";
    } else if (c == '\n') {
        out += "\\n";
    } else if (c == '\r') {
        out += "\\r";
    } else if (c == '\t') {
        out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, otherControl, c);
        out += escaped;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::string jsonString(const std::string &text) {
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            json += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"') {
            json += "\\\"";
        } else if (!appendEscape(json, c, "\\u%04x")) {
            json.append(text, i, length);
        }
        i += length;
    }
    return json + "\"";
}

JsonObject &JsonObject::member(const std::string &name, const std::string &value) {
    if (!members_.empty()) members_ += ",";
    members_ += jsonString(name) + ":" + value;
    return *this;
}

JsonObject &JsonObject::text(const std::string &name, const std::string &value) {
    return member(name, jsonString(value));
}

JsonObject &JsonObject::number(const std::string &name, int64_t value) { return member(name, std::to_string(value)); }

JsonObject &JsonObject::boolean(const std::string &name, bool value) { return member(name, value ? "true" : "false"); }

JsonObject &JsonObject::null(const std::string &name) { return member(name, "null"); }

std::string printableText(const std::string &text) {
    std::string printable;
    for (const char character : text) {
        const auto c = static_cast<unsigned char>(character);
        if (!appendEscape(printable, c, "\\x%02X")) {
            printable += character;
        }
    }
    return printable;
}

}  // namespace tesra::admin
