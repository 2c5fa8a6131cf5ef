#include <cstdio>

#include "admin/command.h"
#include "database/database_path.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra::admin {

const Option kIniOption = {"ini", "PATH", "the configuration file (default: $TESRA_INI, else ./tesra.ini)"};
const Option kProgressOption = {"progress", "",
                                "show progress on standard error even when it is not a terminal"};

const char *const kDatabaseHelp =
    "DB is a database file name, looked up in the Directory of the configuration, or\n"
    "SERVER!!FILE, looked up in the folder of its Server.SERVER line; it must be a\n"
    "relative name that stays inside that folder.\n";

const char *const kRecordIdHelp =
    "RECORD_ID is hexadecimal, as list and the write lines print it: 0000002A, 2a and\n"
    "0x2A name the same record.\n";

IniConfig loadConfiguration(const Arguments &arguments) {
    const std::string path = arguments.option("ini").value_or(defaultIniPath());
    auto config = IniConfig::load(path);
    if (!config) {
        throw StoreError(TESRA_ERR_INI_UNREADABLE, "cannot read the configuration '" + path +
                                                       "'; name it with --ini PATH or TESRA_INI, or make one "
                                                       "with tesra-admin setup");
    }
    return *config;
}

std::unique_ptr<Database> openNamedDatabase(const Arguments &arguments) {
    const std::string &name = arguments.operands().front();
    try {
        return Database::open(resolveDatabasePath(loadConfiguration(arguments), name));
    } catch (const StoreError &error) {
        if (error.status() != TESRA_ERR_NO_SUCH_DATABASE) throw;
        throw StoreError(error.status(), std::string(error.what()) + "; tesra-admin create-db " + name + " creates it");
    }
}

std::string writeLine(const char *operation, const RecordWrite &write) {
    char stamp[32];
    formatIsoStamp(write.stamp, stamp);
    const StoreTimestamp words = stampOf(write.stamp);
    return std::string(operation) + " " + recordIdText(write.recordId) + " " + stamp + " " +
           std::to_string(words.word[1]) + " " + std::to_string(words.word[0]);
}

}  // namespace tesra::admin
