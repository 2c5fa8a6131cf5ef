#include "admin/admin_arguments.h"

namespace tesra::admin {

Arguments::Arguments(const std::vector<std::string> &words, const std::set<std::string> &allowedOptions,
                     const std::set<std::string> &switches) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            positional_.push_back(word);
            continue;
        }
        const std::string name = word.substr(2);
        if (switches.count(name) != 0) {
            switches_.insert(name);
        } else if (allowedOptions.count(name) != 0) {
            if (i + 1 >= words.size()) throw UsageError("--" + name + " needs a value");
            options_[name] = words[++i];
        } else {
            throw UsageError("unknown option --" + name);
        }
    }
}

std::optional<std::string> Arguments::option(const std::string &name) const {
    const auto found = options_.find(name);
    if (found == options_.end()) return std::nullopt;
    return found->second;
}

std::string Arguments::required(const std::string &name) const {
    auto value = option(name);
    if (!value) throw UsageError("--" + name + " is required");
    return *value;
}

std::optional<uint64_t> Arguments::number(const std::string &name, uint64_t minimum, uint64_t maximum) const {
    auto text = option(name);
    if (!text) return std::nullopt;
    return parseNumber(*text, "--" + name, minimum, maximum);
}

uint64_t parseNumber(const std::string &text, const std::string &what, uint64_t minimum, uint64_t maximum) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError(what + " must be a number, not '" + text + "'");
    }
    const uint64_t value = std::stoull(text);
    if (value < minimum || value > maximum) {
        throw UsageError(what + " must be between " + std::to_string(minimum) + " and " + std::to_string(maximum));
    }
    return value;
}

uint32_t parseRecordId(const std::string &text) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw UsageError("'" + text + "' is not a record id (hexadecimal, as list prints it)");
    }
    const auto id = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
    if (id == 0) throw UsageError("record id 0 does not exist");
    return id;
}

}  // namespace tesra::admin
