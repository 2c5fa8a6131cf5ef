#include "admin/admin_arguments.h"

#include <algorithm>

namespace tesra::admin {
namespace {

const Option *findOption(const std::vector<Option> &options, const std::string &name) {
    const auto found = std::find_if(options.begin(), options.end(), [&](const Option &o) { return o.name == name; });
    return found == options.end() ? nullptr : &*found;
}

bool isHelp(const std::string &word) { return word == "-h" || word == "--help"; }

bool looksLikeOption(const std::string &word) { return word.size() > 1 && word[0] == '-'; }

std::string wordCount(size_t count) { return std::to_string(count) + (count == 1 ? " word" : " words"); }

}  // namespace

bool Arguments::asksForHelp(const std::vector<std::string> &words, const std::vector<Option> &options) {
    for (size_t i = 0; i < words.size(); ++i) {
        if (isHelp(words[i])) return true;
        if (words[i].rfind("--", 0) != 0 || words[i].find('=') != std::string::npos) continue;
        const Option *option = findOption(options, words[i].substr(2));
        if (option != nullptr && option->takesValue()) ++i;  // its value, whatever it looks like
    }
    return false;
}

Arguments::Arguments(const std::vector<std::string> &words, const std::vector<Option> &options,
                     const std::string &operands, size_t minimumOperands, size_t maximumOperands) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (!looksLikeOption(word)) {
            operands_.push_back(word);
            continue;
        }
        const size_t equals = word.find('=');
        // Only the spelled name is ever quoted back: the value may be a password.
        const std::string spelled = word.substr(0, equals);
        const std::string name = spelled.rfind("--", 0) == 0 ? spelled.substr(2) : std::string();
        const Option *option = name.empty() ? nullptr : findOption(options, name);
        if (option == nullptr) throw UsageError("unknown option " + spelled);
        if (values_.count(name) != 0 || switches_.count(name) != 0) throw UsageError("--" + name + " is given twice");
        if (!option->takesValue()) {
            if (equals != std::string::npos) throw UsageError("--" + name + " takes no value");
            switches_.insert(name);
        } else if (equals != std::string::npos) {
            values_[name] = word.substr(equals + 1);
        } else {
            if (i + 1 >= words.size()) throw UsageError("--" + name + " needs a value " + option->valueName);
            values_[name] = words[++i];
        }
    }
    // Operands are counted, not quoted: a misplaced password must not be echoed.
    if (operands_.size() < minimumOperands) throw UsageError("expected " + operands);
    if (operands_.size() > maximumOperands) {
        throw UsageError("expected only " + operands + "; " + wordCount(operands_.size() - maximumOperands) +
                         " too many");
    }
}

std::optional<std::string> Arguments::option(const std::string &name) const {
    const auto found = values_.find(name);
    if (found == values_.end()) return std::nullopt;
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
        throw UsageError(what + " must be a decimal number, not '" + text + "'");
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
