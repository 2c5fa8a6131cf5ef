#include "environment/faults.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {
namespace {

const std::set<std::string> kFaultableOperations = {"storeInit", "storeSwitchIdentity", "storeOpenDatabase",
                                                    "storeTextToStamp", "storeSearch"};

std::optional<unsigned long> parseNumber(const std::string &text) {
    if (text.empty()) return std::nullopt;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos ||
        digits.size() > 10) {
        return std::nullopt;
    }
    return std::stoul(digits, nullptr, hex ? 16 : 10);
}

[[noreturn]] void malformed(const std::string &entry) {
    throw StoreError(TESRA_ERR_BAD_FAULT_SETTING, "malformed TESRA_FAULTS entry '" + entry + "'");
}

std::string withoutSpaces(const std::string &text) {
    std::string result;
    for (char c : text) {
        if (c != ' ' && c != '\t') result += c;
    }
    return result;
}

// "operation=status" or "storeSearch=status@matches", status non-zero.
std::pair<std::string, InjectedFault> parseEntry(const std::string &entry) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) malformed(entry);
    const std::string operation = entry.substr(0, equals);
    if (kFaultableOperations.count(operation) == 0) malformed(entry);
    const std::string value = entry.substr(equals + 1);
    const size_t at = value.find('@');
    const auto status = parseNumber(value.substr(0, at));
    if (!status || *status == 0 || *status > 0xFFFF) malformed(entry);
    InjectedFault fault{static_cast<StoreStatus>(*status), std::nullopt};
    if (at != std::string::npos) {
        const auto matches = parseNumber(value.substr(at + 1));
        if (operation != "storeSearch" || !matches || *matches > 0xFFFFFFFFul) malformed(entry);
        fault.afterMatches = static_cast<uint32_t>(*matches);
    }
    return {operation, fault};
}

// Operation to fault; a later entry for the same operation wins.
std::map<std::string, InjectedFault> parseSetting(const std::string &setting) {
    std::map<std::string, InjectedFault> faults;
    std::istringstream entries(setting);
    std::string entry;
    while (std::getline(entries, entry, ',')) {
        entry = withoutSpaces(entry);
        if (entry.empty()) continue;
        auto [operation, fault] = parseEntry(entry);
        faults[operation] = fault;
    }
    return faults;
}

void announceOnce(const std::string &setting, const std::map<std::string, InjectedFault> &faults) {
    static std::mutex mutex;
    static std::set<std::string> announced;
    std::lock_guard<std::mutex> lock(mutex);
    if (faults.empty() || !announced.insert(setting).second) return;
    std::string text;
    for (const auto &[operation, fault] : faults) {
        char status[24];
        std::snprintf(status, sizeof status, "0x%04X", fault.status);
        text += (text.empty() ? "" : ", ") + operation + "=" + status;
        if (fault.afterMatches) text += "@" + std::to_string(*fault.afterMatches);
    }
    std::fprintf(stderr, "tesra: fault injection active: %s\n", text.c_str());
}

}  // namespace

std::optional<InjectedFault> injectedFault(const char *operation) {
    const char *setting = std::getenv("TESRA_FAULTS");
    if (setting == nullptr) return std::nullopt;
    const auto faults = parseSetting(setting);
    announceOnce(setting, faults);
    const auto found = faults.find(operation);
    if (found == faults.end()) return std::nullopt;
    return found->second;
}

}  // namespace tesra
