#include "admin/password_input.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <iostream>

#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra::admin {

const std::vector<Option> kPasswordOptions = {
    {"password-file", "FILE", "read the password from the first line of FILE"},
    {"password-stdin", "", "read the password from the first line of standard input"},
    {"password", "PW", "the password itself; other users can see it in the process list, so prefer the two above"},
};

const char *const kPasswordHelp =
    "Without a password option, and with a terminal on standard input, the password\n"
    "is asked for twice without showing it. No message repeats a password.\n";

namespace {

// The first line, without its line end.
std::optional<std::string> firstLine(std::istream &stream) {
    std::string line;
    if (!std::getline(stream, line) && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Turns echo off for its lifetime.
class HiddenInput {
public:
    HiddenInput() {
        if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios hidden = saved_;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden) == 0;
    }
    ~HiddenInput() {
        if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    HiddenInput(const HiddenInput &) = delete;
    HiddenInput &operator=(const HiddenInput &) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

std::string askHidden(const char *prompt) {
    std::cerr << prompt << std::flush;
    std::optional<std::string> line;
    {
        HiddenInput hidden;
        line = firstLine(std::cin);
    }
    std::cerr << "\n";
    if (!line) throw StoreError(TESRA_ERR_INVALID_ARGUMENT, "no password was typed");
    return *line;
}

std::string nonEmpty(std::optional<std::string> password, const std::string &source) {
    if (!password || password->empty()) {
        throw StoreError(TESRA_ERR_INVALID_ARGUMENT, source + " holds no password");
    }
    return *password;
}

}  // namespace

std::string readPassword(const Arguments &arguments, bool newPassword) {
    const int given = (arguments.option("password-file") ? 1 : 0) + (arguments.has("password-stdin") ? 1 : 0) +
                      (arguments.option("password") ? 1 : 0);
    if (given > 1) throw UsageError("give only one of --password-file, --password-stdin and --password");
    if (auto path = arguments.option("password-file")) {
        errno = 0;
        std::ifstream file(*path);
        if (!file) {
            throw StoreError(TESRA_ERR_FILE_IO, "cannot read the password file '" + *path + "': " +
                                                    std::strerror(errno != 0 ? errno : EIO));
        }
        return nonEmpty(firstLine(file), "the password file '" + *path + "'");
    }
    if (arguments.has("password-stdin")) return nonEmpty(firstLine(std::cin), "standard input");
    if (auto password = arguments.option("password")) return nonEmpty(password, "--password");
    if (::isatty(STDIN_FILENO) != 1) {
        throw UsageError("a password is needed: give --password-file FILE or --password-stdin");
    }
    const std::string password =
        nonEmpty(askHidden(newPassword ? "Password for the new ID file: " : "Password: "), "the typed line");
    if (newPassword && askHidden("The same password again: ") != password) {
        throw StoreError(TESRA_ERR_INVALID_ARGUMENT, "the two passwords typed differ; nothing was written");
    }
    return password;
}

std::string readNewPassword(const Arguments &arguments) { return readPassword(arguments, true); }

}  // namespace tesra::admin
