#include <cstdio>
#include <filesystem>

#include "admin/command.h"
#include "admin/output_text.h"
#include "database/database_path.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra::admin {

const Option kIniOption = {"ini", "PATH", "the configuration file (default: $TESRA_INI, else ./tesra.ini)"};
const Option kProgressOption = {"progress", "",
                                "show progress on standard error even when it is not a terminal"};
const Option kJsonOption = {"json", "", "print JSON: one object per line for each record or user, else one object"};

const char *const kDatabaseHelp =
    "DB is a database file name, looked up in the Directory of the configuration, or\n"
    "SERVER!!FILE, looked up in the folder of its Server.SERVER line; it must be a\n"
    "relative name that stays inside that folder.\n";

const char *const kRecordIdHelp =
    "RECORD_ID is hexadecimal, as list and the write lines print it: 0000002A, 2a and\n"
    "0x2A name the same record.\n";

namespace {

namespace fs = std::filesystem;

// When name, read from the current folder, is a file inside the configured
// Directory: the name that Directory itself would need.
std::optional<std::string> nameInsideDirectory(const IniConfig &config, const std::string &name) {
    const auto directory = config.pathValue("Directory");
    if (!directory || directory->empty() || name.find("!!") != std::string::npos) return std::nullopt;
    std::error_code error;
    const fs::path base = fs::weakly_canonical(*directory, error);
    const fs::path file = fs::weakly_canonical(fs::absolute(name, error), error);
    if (error) return std::nullopt;
    const fs::path inside = file.lexically_relative(base);
    if (inside.empty() || *inside.begin() == ".." || inside == ".") return std::nullopt;
    return inside.string();
}

}  // namespace

IniConfig loadConfiguration(const Arguments &arguments) {
    const std::string path = arguments.option("ini").value_or(defaultIniPath());
    std::string problem;
    auto config = IniConfig::load(path, problem);
    if (!config) {
        throw StoreError(TESRA_ERR_INI_UNREADABLE, "cannot read the configuration '" + path + "': " + problem +
                                                       "; name it with --ini PATH or TESRA_INI, or make one "
                                                       "with tesra-admin setup");
    }
    return *config;
}

std::string databaseFileOf(const IniConfig &config, const std::string &name) {
    std::string file;
    try {
        file = resolveDatabasePath(config, name);
    } catch (const StoreError &error) {
        const auto inside = nameInsideDirectory(config, name);
        if (!inside) throw;
        throw StoreError(error.status(), std::string(error.what()) + "; database names are relative to the Directory '" +
                                             *config.pathValue("Directory") + "': the name is " + *inside);
    }
    const std::string folder = fs::path(file).parent_path().string();
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        const auto inside = nameInsideDirectory(config, name);
        const std::string hint = inside ? "; database names are relative to the Directory '" +
                                              *config.pathValue("Directory") + "': the name is " + *inside
                                        : "";
        throw StoreError(TESRA_ERR_NO_SUCH_DATABASE, "folder '" + folder + "' of database " + name + " does not exist" + hint);
    }
    return file;
}

std::unique_ptr<Database> openNamedDatabase(const Arguments &arguments) {
    const std::string &name = arguments.operands().front();
    const IniConfig config = loadConfiguration(arguments);
    const std::string file = databaseFileOf(config, name);
    try {
        return Database::open(file, config.lockTimeout());
    } catch (const StoreError &error) {
        if (error.status() != TESRA_ERR_NO_SUCH_DATABASE) throw;
        if (const auto inside = nameInsideDirectory(config, name)) {
            throw StoreError(error.status(), std::string(error.what()) +
                                                 "; database names are relative to the Directory '" +
                                                 *config.pathValue("Directory") + "': the name is " + *inside);
        }
        throw StoreError(error.status(), std::string(error.what()) + "; tesra-admin create-db " + name + " creates it");
    }
}

std::string isoText(StampValue value) {
    char text[32];
    formatIsoStamp(value, text);
    return text;
}

std::string writeLine(const char *operation, const RecordWrite &write) {
    const StoreTimestamp words = stampOf(write.stamp);
    return std::string(operation) + " " + recordIdText(write.recordId) + " " + isoText(write.stamp) + " " +
           std::to_string(words.word[1]) + " " + std::to_string(words.word[0]);
}

std::string writeJson(const char *operation, const RecordWrite &write) {
    const StoreTimestamp words = stampOf(write.stamp);
    return JsonObject()
        .text("operation", operation)
        .text("record_id", recordIdText(write.recordId))
        .text("modified", isoText(write.stamp))
        .number("day", words.word[1])
        .number("hundredths", words.word[0])
        .line();
}

}  // namespace tesra::admin
