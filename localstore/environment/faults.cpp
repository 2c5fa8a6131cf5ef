#include "environment/faults.h"

#include <cstdlib>
#include <sstream>
#include <string>

#include "environment/ini_config.h"

namespace tesra {
namespace {

std::optional<unsigned long> parseNumber(const std::string &text) {
    if (text.empty()) return std::nullopt;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos ||
        digits.size() > 8) {
        return std::nullopt;
    }
    return std::stoul(digits, nullptr, hex ? 16 : 10);
}

// "status" or "status@matches"; a zero or malformed status means no fault.
std::optional<InjectedFault> parseFault(const std::string &text) {
    const size_t at = text.find('@');
    const auto status = parseNumber(text.substr(0, at));
    if (!status || *status == 0 || *status > 0xFFFF) return std::nullopt;
    InjectedFault fault{static_cast<StoreStatus>(*status), std::nullopt};
    if (at != std::string::npos) {
        const auto matches = parseNumber(text.substr(at + 1));
        if (!matches || *matches > 0xFFFFFFFFul) return std::nullopt;
        fault.afterMatches = static_cast<uint32_t>(*matches);
    }
    return fault;
}

std::string withoutSpaces(const std::string &text) {
    std::string result;
    for (char c : text) {
        if (c != ' ' && c != '\t') result += c;
    }
    return result;
}

}  // namespace

std::optional<InjectedFault> injectedFault(const char *operation, const IniConfig *config) {
    if (const char *list = std::getenv("TESRA_FAULTS")) {
        std::istringstream entries(list);
        std::string entry;
        while (std::getline(entries, entry, ',')) {
            entry = withoutSpaces(entry);
            const size_t equals = entry.find('=');
            if (equals == std::string::npos || entry.substr(0, equals) != operation) continue;
            if (auto fault = parseFault(entry.substr(equals + 1))) return fault;
        }
    }
    if (config != nullptr) {
        if (auto text = config->value(std::string("Fault.") + operation)) return parseFault(withoutSpaces(*text));
    }
    return std::nullopt;
}

}  // namespace tesra
