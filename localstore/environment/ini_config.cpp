#include "environment/ini_config.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string_view>

#include "environment/regular_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {
namespace {

std::string trimmed(const std::string &text) {
    const char *spaces = " \t\r\n";
    const size_t first = text.find_first_not_of(spaces);
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(spaces);
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string lowerCase(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string defaultIniPath() {
    const char *fromEnvironment = std::getenv("TESRA_INI");
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : "tesra.ini";
}

std::optional<IniConfig> IniConfig::load(const std::string &path) {
    std::string problem;
    return load(path, problem);
}

std::optional<IniConfig> IniConfig::load(const std::string &path, std::string &problem) {
    std::string content;
    errno = 0;
    switch (readRegularFile(path, kMaxIniSize, content)) {
        case RegularFileRead::kRead: break;
        case RegularFileRead::kMissing: problem = std::strerror(ENOENT); return std::nullopt;
        case RegularFileRead::kNotRegular: problem = "not a regular file"; return std::nullopt;
        case RegularFileRead::kTooLarge: problem = "larger than 1 MiB"; return std::nullopt;
        case RegularFileRead::kUnreadable: problem = std::strerror(errno != 0 ? errno : EIO); return std::nullopt;
    }
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) {
        problem = error.message();
        return std::nullopt;
    }
    return parse(content, absolute.parent_path().string());
}

int IniConfig::lockTimeout() const {
    const auto text = value("LockTimeout");
    if (!text || text->empty()) return kDefaultLockTimeoutMilliseconds;
    if (text->size() > 7 || text->find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(*text) > kMaxLockTimeoutMilliseconds) {
        throw StoreError(TESRA_ERR_BAD_SETTING, "LockTimeout=" + *text + " in tesra.ini must be a whole number of "
                                                "milliseconds from 0 to " + std::to_string(kMaxLockTimeoutMilliseconds));
    }
    return std::stoi(*text);
}

IniConfig IniConfig::parse(const std::string &text, const std::string &directory) {
    IniConfig config;
    config.directory_ = directory;
    // Editors on some systems start a UTF-8 file with a byte-order mark.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    std::istringstream lines(text.starts_with(kByteOrderMark) ? text.substr(kByteOrderMark.size()) : text);
    std::string line;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = trimmed(line.substr(0, equals));
        if (name.empty()) continue;
        config.values_[lowerCase(name)] = trimmed(line.substr(equals + 1));
    }
    return config;
}

std::optional<std::string> IniConfig::value(const std::string &name) const {
    const auto found = values_.find(lowerCase(name));
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> IniConfig::pathValue(const std::string &name) const {
    auto text = value(name);
    if (!text || text->empty()) return text;
    const std::filesystem::path path(*text);
    if (path.is_absolute()) return text;
    return (std::filesystem::path(directory_) / path).lexically_normal().string();
}

}  // namespace tesra
