#pragma once

#include <memory>
#include <string>
#include <vector>

#include "admin/admin_arguments.h"
#include "database/database.h"
#include "environment/ini_config.h"

namespace tesra::admin {

// Runs one subcommand (words[0]) with its arguments; returns the exit code.
// Throws UsageError or StoreError.
int runCommand(const std::vector<std::string> &words);

// The configuration named by --ini, else TESRA_INI, else ./tesra.ini.
IniConfig loadConfiguration(const Arguments &arguments);
// Opens the database named by the first positional argument.
std::unique_ptr<Database> openNamedDatabase(const Arguments &arguments);

// "<op> <record id hex> <YYYY-MM-DD HH:MM:SS.hh> <word1> <word0>"
std::string writeLine(const char *operation, const RecordWrite &write);

int churnCommand(const std::vector<std::string> &words);

// The access list commands: grant DB USER, revoke DB USER, access DB.
int grantCommand(const std::vector<std::string> &words);
int revokeCommand(const std::vector<std::string> &words);
int accessCommand(const std::vector<std::string> &words);
// The user of the configuration's ID file, whom create-db grants access, if it can be read.
std::vector<std::string> configuredUsers(const IniConfig &config);
void reportGrantedOnCreate(const std::vector<std::string> &users);

extern const char *const kUsage;

}  // namespace tesra::admin
