#pragma once

#include <map>
#include <optional>
#include <string>

namespace tesra {

constexpr size_t kMaxIniSize = 1024 * 1024;

// The Name=value lines of tesra.ini. Names are case-insensitive.
class IniConfig {
public:
    // Reads the file; returns nothing when it cannot be read, is not a
    // regular file or is over kMaxIniSize.
    static std::optional<IniConfig> load(const std::string &path);
    static IniConfig parse(const std::string &text, const std::string &directory);

    std::optional<std::string> value(const std::string &name) const;
    // The value as a path: relative values are taken from the ini's directory.
    std::optional<std::string> pathValue(const std::string &name) const;
    const std::string &directory() const { return directory_; }

private:
    std::map<std::string, std::string> values_;
    std::string directory_;
};

// TESRA_INI if set, else ./tesra.ini.
std::string defaultIniPath();

std::string lowerCase(std::string text);

}  // namespace tesra
