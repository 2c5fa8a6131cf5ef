#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "admin/admin_arguments.h"
#include "database/database.h"
#include "environment/ini_config.h"

namespace tesra::admin {

constexpr size_t kAnyNumber = std::numeric_limits<size_t>::max();

// One tesra-admin command: everything its help shows, and what it does.
// Options --help and -h are understood by every command and not listed here.
struct Command {
    std::string name;
    std::vector<std::string> synopses;  // the usage lines after "tesra-admin NAME"
    std::string summary;                // one line for the list of commands
    std::string operands;               // how messages name the operands, e.g. "DB and RECORD_IDs"
    size_t minimumOperands;
    size_t maximumOperands;
    std::vector<Option> options;
    std::string details;  // further paragraphs of the help; may be empty
    // Returns the exit status; throws UsageError or StoreError.
    std::function<int(const Arguments &)> run;
};

// Every command, in the order the usage lists them.
const std::vector<Command> &allCommands();

// The commands, each defined in its own file.
Command setupCommand();
Command createIdCommand();
Command createDbCommand();
Command addCommand();
Command changeCommand();
Command deleteCommand();
Command listCommand();
Command infoCommand();
Command purgeCommand();
Command churnCommand();
Command grantCommand();
Command revokeCommand();
Command accessCommand();
Command checkIdCommand();
Command repairTimesCommand();

// The user of the ID file that the configuration's KeyFilename names, if it can be read.
std::vector<std::string> configuredUsers(const IniConfig &config);
// Says which users a new database's access list holds.
void reportGrantedOnCreate(const std::vector<std::string> &users);

// Shared by the commands that name a database.
extern const Option kIniOption;
extern const Option kProgressOption;
extern const Option kJsonOption;
extern const char *const kDatabaseHelp;
extern const char *const kRecordIdHelp;

// The configuration named by --ini, else TESRA_INI, else ./tesra.ini.
IniConfig loadConfiguration(const Arguments &arguments);
// Opens the database named by the first operand, waiting LockTimeout for locks.
std::unique_ptr<Database> openNamedDatabase(const Arguments &arguments);
// The database file a name stands for; a name that already holds the
// configured Directory gets told that names are relative to it.
std::string databaseFileOf(const IniConfig &config, const std::string &name);

// "YYYY-MM-DD HH:MM:SS.hh"
std::string isoText(StampValue value);

// "<op> <record id hex> <YYYY-MM-DD HH:MM:SS.hh> <word1> <word0>"
std::string writeLine(const char *operation, const RecordWrite &write);
// The same as one JSON object: operation, record_id, modified, day, hundredths.
std::string writeJson(const char *operation, const RecordWrite &write);

}  // namespace tesra::admin
