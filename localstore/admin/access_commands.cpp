// grant, revoke and access: the user names that may open a database.
#include <iostream>

#include "admin/command.h"
#include "admin/output_text.h"
#include "identity/id_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra::admin {
namespace {

const char *const kAccessHelp =
    "A database's access list names the users whose identities may open it. A database made\n"
    "before access lists existed has none, and any identity opens it until grant makes one.\n";

// The second operand, a name an ID file can hold.
std::string userOperand(const Arguments &arguments) {
    const std::string &user = arguments.operands()[1];
    if (!isValidUserName(user)) throw UsageError("the user name must be 1 to 255 bytes without control characters");
    return user;
}

int runGrant(const Arguments &arguments) {
    const std::string user = userOperand(arguments);
    auto database = openNamedDatabase(arguments);
    const bool hadList = database->accessList().has_value();
    database->grantAccess(user);
    std::cout << "granted " << user << " access to " << database->path() << "\n";
    if (!hadList) std::cout << "the database had no access list: from now on only the users on it may open it\n";
    return 0;
}

int runRevoke(const Arguments &arguments) {
    const std::string user = userOperand(arguments);
    auto database = openNamedDatabase(arguments);
    if (!database->revokeAccess(user)) {
        throw StoreError(TESRA_ERR_INVALID_ARGUMENT, user + " is not on the access list of " + database->path() +
                                                         "; tesra-admin access shows who is");
    }
    std::cout << "revoked the access of " << user << " to " << database->path() << "\n";
    return 0;
}

// Standard output holds only user names, which scripts read; notes go to standard error.
int runAccess(const Arguments &arguments) {
    const auto users = openNamedDatabase(arguments)->accessList();
    if (!users) {
        std::cerr << "tesra-admin: access: " << arguments.operands().front()
                  << " has no access list: any identity may open it\n";
    } else if (users->empty()) {
        std::cerr << "tesra-admin: access: the access list of " << arguments.operands().front()
                  << " is empty: no identity may open it\n";
    }
    for (const std::string &user : users.value_or(std::vector<std::string>{})) {
        std::cout << (arguments.has("json") ? JsonObject().text("user", user).line() : printableText(user) + "\n");
    }
    return 0;
}

}  // namespace

Command grantCommand() {
    return {"grant", {"DB USER [--ini PATH]"}, "Lets USER's identity open database DB.", "DB and USER", 2, 2,
            {kIniOption}, std::string(kAccessHelp) + kDatabaseHelp, runGrant};
}

Command revokeCommand() {
    return {"revoke", {"DB USER [--ini PATH]"}, "Takes USER off the access list of database DB.", "DB and USER", 2, 2,
            {kIniOption}, std::string(kAccessHelp) + kDatabaseHelp, runRevoke};
}

Command accessCommand() {
    return {"access", {"DB [--ini PATH] [--json]"}, "Lists the users who may open database DB.", "one database name DB", 1,
            1, {kIniOption, kJsonOption},
            std::string(kAccessHelp) +
                "One user name a line (with --json, one object {\"user\": NAME} a line). An empty list,\n"
                "or none, prints nothing and says so on standard error.\n" + kDatabaseHelp,
            runAccess};
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
