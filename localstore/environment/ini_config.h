#pragma once

#include <map>
#include <optional>
#include <string>

namespace tesra {

constexpr size_t kMaxIniSize = 1024 * 1024;

// How long a store call waits for another connection's lock (LockTimeout).
constexpr int kDefaultLockTimeoutMilliseconds = 10000;
constexpr int kMaxLockTimeoutMilliseconds = 3600000;

// The Name=value lines of tesra.ini. Names are case-insensitive.
class IniConfig {
public:
    // Reads the file; returns nothing when it cannot be read, is not a
    // regular file or is over kMaxIniSize.
    static std::optional<IniConfig> load(const std::string &path);
    // The same; when it fails, problem says why ("No such file or directory", ...).
    static std::optional<IniConfig> load(const std::string &path, std::string &problem);
    static IniConfig parse(const std::string &text, const std::string &directory);

    std::optional<std::string> value(const std::string &name) const;
    // The value as a path: relative values are taken from the ini's directory.
    std::optional<std::string> pathValue(const std::string &name) const;
    const std::string &directory() const { return directory_; }
    // LockTimeout in milliseconds, kDefaultLockTimeoutMilliseconds when not
    // set. Throws StoreError TESRA_ERR_BAD_SETTING when it is not a whole
    // number from 0 to kMaxLockTimeoutMilliseconds.
    int lockTimeout() const;

private:
    std::map<std::string, std::string> values_;
    std::string directory_;
};

// TESRA_INI if set, else ./tesra.ini.
std::string defaultIniPath();

std::string lowerCase(std::string text);

}  // namespace tesra
