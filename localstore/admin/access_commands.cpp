// grant, revoke and access: the user names that may open a database.
#include <iostream>

#include "admin/admin_commands.h"
#include "identity/id_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra::admin {
namespace {

// DB USER, with USER a name an ID file can hold.
std::string userArgument(const Arguments &arguments) {
    if (arguments.positional().size() != 2) throw UsageError("expected a database name and a user name");
    const std::string &user = arguments.positional()[1];
    if (!isValidUserName(user)) throw UsageError("'" + user + "' is not a user name (1 to 255 bytes, no control characters)");
    return user;
}

}  // namespace

int grantCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"ini"}, {});
    const std::string user = userArgument(arguments);
    auto database = openNamedDatabase(arguments);
    const bool hadList = database->accessList().has_value();
    database->grantAccess(user);
    std::cout << "granted " << user << " access to " << database->path() << "\n";
    if (!hadList) std::cout << "the database had no access list: from now on only the users on it may open it\n";
    return 0;
}

int revokeCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"ini"}, {});
    const std::string user = userArgument(arguments);
    auto database = openNamedDatabase(arguments);
    if (!database->revokeAccess(user)) {
        throw StoreError(TESRA_ERR_INVALID_ARGUMENT, user + " is not on the access list of " + database->path());
    }
    std::cout << "revoked the access of " << user << " to " << database->path() << "\n";
    return 0;
}

int accessCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"ini"}, {});
    if (arguments.positional().size() != 1) throw UsageError("expected one database name");
    const auto users = openNamedDatabase(arguments)->accessList();
    if (!users) {
        std::cout << "(no access list: any identity may open it)\n";
    } else if (users->empty()) {
        std::cout << "(empty: no identity may open it)\n";
    }
    for (const std::string &user : users.value_or(std::vector<std::string>{})) std::cout << user << "\n";
    return 0;
}

std::vector<std::string> configuredUsers(const IniConfig &config) {
    const auto idFile = config.value("KeyFilename");
    if (!idFile || idFile->empty()) return {};
    const auto user = claimedUserOf(*idFile);
    if (!user) return {};
    return {*user};
}

void reportGrantedOnCreate(const std::vector<std::string> &users) {
    for (const std::string &user : users) std::cout << "granted " << user << " access\n";
    if (users.empty()) {
        std::cout << "no user could be read from KeyFilename: no identity may open the database until "
                     "tesra-admin grant adds one\n";
    }
}

}  // namespace tesra::admin
