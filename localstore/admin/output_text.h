#pragma once

#include <cstdint>
#include <string>

namespace tesra::admin {

// A JSON string literal, quotes included: quote, backslash and control
// characters escaped, bytes that are not UTF-8 replaced by U+FFFD, so that
// any title or user name makes valid JSON on one line.
std::string jsonString(const std::string &text);

// One JSON object, written on one line: {"name":value,...}
class JsonObject {
public:
    JsonObject &text(const std::string &name, const std::string &value);
    JsonObject &number(const std::string &name, int64_t value);
    JsonObject &boolean(const std::string &name, bool value);
    JsonObject &null(const std::string &name);
    std::string line() const { return "{" + members_ + "}\n"; }

private:
    JsonObject &member(const std::string &name, const std::string &value);
    std::string members_;
};

// The text with its control characters and backslashes escaped (\n, \t,
// \r, \\, \xHH), for the one-line-per-record text output.
std::string printableText(const std::string &text);

}  // namespace tesra::admin
