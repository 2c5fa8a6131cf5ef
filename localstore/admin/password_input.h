#pragma once

#include <string>
#include <vector>

#include "admin/admin_arguments.h"

namespace tesra::admin {

// --password-file FILE, --password-stdin and, for old scripts, --password PW.
extern const std::vector<Option> kPasswordOptions;
extern const char *const kPasswordHelp;

// The password for a new ID file, from one of the password options or, with
// none and a terminal on standard input, typed twice without echo.
// Throws UsageError (no or several sources) or StoreError (unreadable, empty).
std::string readNewPassword(const Arguments &arguments);
// The same, for a password to check; asked for once.
std::string readPassword(const Arguments &arguments, bool newPassword);

}  // namespace tesra::admin
