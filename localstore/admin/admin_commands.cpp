#include "admin/admin_commands.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <random>

#include "database/database_path.h"
#include "environment/atomic_file.h"
#include "identity/id_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"
#include "time/calendar.h"

namespace fs = std::filesystem;

namespace tesra::admin {

const char *const kUsage =
    "usage: tesra-admin COMMAND ...\n"
    "  setup DIR --user NAME --password PW [--database FILE] [--records N] [--iterations N]\n"
    "  create-id FILE --user NAME --password PW [--iterations N]\n"
    "  create-db FILE\n"
    "  grant DB USER | revoke DB USER | access DB\n"
    "  add DB [--count N] [--class C] [--title T]\n"
    "  change DB RECORD_ID... | change DB --random N\n"
    "  delete DB RECORD_ID... | delete DB --random N\n"
    "  list DB [--deleted]\n"
    "  info DB\n"
    "  purge DB --before \"YYYY-MM-DD HH:MM:SS\"\n"
    "  churn DB --rate R --seconds S [--seed N] [--log FILE]\n"
    "  --version\n"
    "every command that names a database also takes --ini PATH\n";

namespace {

constexpr const char *kDefaultDatabase = "main.tdb";

std::string formatIso(StampValue value) {
    char text[32];
    formatIsoStamp(value, text);
    return text;
}

std::string hex8(uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

uint16_t parseClass(const std::string &text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!hex) return static_cast<uint16_t>(parseNumber(text, "--class", 1, 0xFFFF));
    const std::string digits = text.substr(2);
    if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
        std::stoul(digits, nullptr, 16) == 0) {
        throw UsageError("--class must be a non-zero 16-bit number");
    }
    return static_cast<uint16_t>(std::stoul(digits, nullptr, 16));
}

std::string onePositional(const Arguments &arguments, const char *what) {
    if (arguments.positional().size() != 1) throw UsageError(std::string("expected one ") + what);
    return arguments.positional().front();
}

int setupCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"user", "password", "database", "records", "iterations"}, {});
    const fs::path directory = fs::absolute(onePositional(arguments, "directory"));
    const std::string user = arguments.required("user");
    const std::string password = arguments.required("password");
    const std::string databaseName = arguments.option("database").value_or(kDefaultDatabase);
    const uint64_t records = arguments.number("records", 0, 10000000).value_or(0);
    const auto iterations = static_cast<uint32_t>(arguments.number("iterations", kMinIdIterations, kMaxIdIterations).value_or(kDefaultIdIterations));

    const fs::path iniPath = directory / "tesra.ini";
    const fs::path idPath = directory / "user.id";
    const fs::path dataDirectory = directory / "data";
    if (fs::exists(iniPath)) throw StoreError(TESRA_ERR_FILE_EXISTS, "'" + iniPath.string() + "' already exists");

    // Undone in reverse order if a later step fails.
    std::vector<std::function<void()>> undo;
    try {
        // Directories setup makes are the owner's alone, like the files in them.
        if (!fs::exists(directory)) {
            fs::create_directories(directory);
            undo.push_back([directory] { fs::remove(directory); });
            fs::permissions(directory, fs::perms::owner_all);
        }
        if (!fs::exists(dataDirectory)) {
            fs::create_directory(dataDirectory);
            undo.push_back([dataDirectory] { fs::remove(dataDirectory); });
            fs::permissions(dataDirectory, fs::perms::owner_all);
        }
        createIdFile(idPath.string(), user, password, iterations);
        undo.push_back([idPath] { fs::remove(idPath); });

        const std::string ini = "# written by tesra-admin setup\nKeyFilename=" + idPath.string() +
                                "\nDirectory=data\n";
        const IniConfig config = IniConfig::parse(ini, directory.string());
        const std::string databasePath = resolveDatabasePath(config, databaseName);
        Database::create(databasePath, {user});
        undo.push_back([databasePath] { fs::remove(databasePath); });
        if (records > 0) Database::open(databasePath)->addRecords(records, kClassDocument, "Document");

        writeFileAtomically(iniPath.string(), ini);
        std::cout << "configuration " << iniPath.string() << "\nID file       " << idPath.string()
                  << "\ndatabase      " << databasePath << " (" << records << " records)\n";
    } catch (...) {
        for (auto step = undo.rbegin(); step != undo.rend(); ++step) {
            try {
                (*step)();
            } catch (...) {
            }
        }
        throw;
    }
    return 0;
}

int createIdCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"user", "password", "iterations"}, {});
    const std::string path = onePositional(arguments, "ID file name");
    const auto iterations = static_cast<uint32_t>(arguments.number("iterations", kMinIdIterations, kMaxIdIterations).value_or(kDefaultIdIterations));
    createIdFile(path, arguments.required("user"), arguments.required("password"), iterations);
    std::cout << "created ID file " << path << "\n";
    return 0;
}

int createDbCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"ini"}, {});
    const std::string name = onePositional(arguments, "database name");
    const IniConfig config = loadConfiguration(arguments);
    const std::string path = resolveDatabasePath(config, name);
    const std::vector<std::string> users = configuredUsers(config);
    Database::create(path, users);
    std::cout << "created database " << path << "\n";
    reportGrantedOnCreate(users);
    return 0;
}

int addCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"ini", "count", "class", "title"}, {});
    const auto count = arguments.number("count", 1, 100000000).value_or(1);
    const uint16_t recordClass =
        arguments.option("class") ? parseClass(*arguments.option("class")) : uint16_t{kClassDocument};
    auto database = openNamedDatabase(arguments);
    for (const RecordWrite &write : database->addRecords(count, recordClass, arguments.option("title").value_or("Document"))) {
        std::cout << writeLine("add", write) << "\n";
    }
    return 0;
}

// change and delete: listed record ids, or --random N present records.
int modifyCommand(const std::vector<std::string> &words, const char *operation,
                  const std::function<RecordWrite(Database &, uint32_t)> &modify) {
    const Arguments arguments(words, {"ini", "random", "seed"}, {});
    if (arguments.positional().empty()) throw UsageError("expected a database name");
    auto database = openNamedDatabase(arguments);
    std::vector<uint32_t> ids;
    if (auto randomCount = arguments.number("random", 1, 100000000)) {
        if (arguments.positional().size() != 1) throw UsageError("give record ids or --random, not both");
        std::mt19937_64 random(arguments.number("seed", 0, UINT64_MAX).value_or(std::random_device{}()));
        ids = database->pickPresentRecords(*randomCount, random);
    } else {
        if (arguments.positional().size() < 2) throw UsageError("expected record ids or --random N");
        for (size_t i = 1; i < arguments.positional().size(); ++i) ids.push_back(parseRecordId(arguments.positional()[i]));
    }
    for (uint32_t id : ids) std::cout << writeLine(operation, modify(*database, id)) << "\n";
    return 0;
}

int listCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"ini"}, {"deleted"});
    auto database = openNamedDatabase(arguments);
    database->listRecords(arguments.has("deleted"), [](const RecordRow &row) {
        // The universal identifier as change entries write it: word 1 before word 0 of each stamp.
        std::cout << hex8(row.recordId) << " " << hex8(row.universalId[1]) << hex8(row.universalId[0])
                  << hex8(row.universalId[3]) << hex8(row.universalId[2]) << " " << hex8(row.recordClass).substr(4)
                  << " " << formatIso(row.modified) << " " << (row.deleted ? "deleted" : "present");
        if (!row.title.empty()) std::cout << " " << row.title;
        std::cout << "\n";
    });
    return 0;
}

int infoCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"ini"}, {});
    auto database = openNamedDatabase(arguments);
    const DatabaseState state = database->state();
    auto stampOrNever = [](StampValue value) { return value == 0 ? std::string("never") : formatIso(value); };
    std::cout << "file          " << database->path() << "\nlast until    " << stampOrNever(state.lastUntil)
              << "\nlast write    " << stampOrNever(state.lastWrite) << "\nwrites        " << state.writeSequence
              << "\npurged before " << stampOrNever(state.purgeCutoff) << "\n";
    return 0;
}

int purgeCommand(const std::vector<std::string> &words) {
    const Arguments arguments(words, {"ini", "before"}, {});
    const std::string before = arguments.required("before");
    StampValue cutoff = 0;
    if (!parseIsoStamp(before.c_str(), cutoff)) throw UsageError("--before must be \"YYYY-MM-DD HH:MM:SS\", not '" + before + "'");
    auto database = openNamedDatabase(arguments);
    const int64_t removed = database->purgeDeletedBefore(cutoff);
    std::cout << "purged " << removed << " deletion records before " << formatIso(cutoff) << "\n";
    return 0;
}

}  // namespace

IniConfig loadConfiguration(const Arguments &arguments) {
    const std::string path = arguments.option("ini").value_or(defaultIniPath());
    auto config = IniConfig::load(path);
    if (!config) throw StoreError(TESRA_ERR_INI_UNREADABLE, "cannot read configuration '" + path + "'");
    return *config;
}

std::unique_ptr<Database> openNamedDatabase(const Arguments &arguments) {
    if (arguments.positional().empty()) throw UsageError("expected a database name");
    return Database::open(resolveDatabasePath(loadConfiguration(arguments), arguments.positional().front()));
}

std::string writeLine(const char *operation, const RecordWrite &write) {
    const StoreTimestamp stamp = stampOf(write.stamp);
    return std::string(operation) + " " + hex8(write.recordId) + " " + formatIso(write.stamp) + " " +
           std::to_string(stamp.word[1]) + " " + std::to_string(stamp.word[0]);
}

int runCommand(const std::vector<std::string> &words) {
    if (words.empty()) throw UsageError("no command given");
    const std::string command = words.front();
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (command == "setup") return setupCommand(rest);
    if (command == "create-id") return createIdCommand(rest);
    if (command == "create-db") return createDbCommand(rest);
    if (command == "add") return addCommand(rest);
    if (command == "change") {
        return modifyCommand(rest, "change", [](Database &db, uint32_t id) { return db.changeRecord(id); });
    }
    if (command == "delete") {
        return modifyCommand(rest, "delete", [](Database &db, uint32_t id) { return db.deleteRecord(id); });
    }
    if (command == "list") return listCommand(rest);
    if (command == "info") return infoCommand(rest);
    if (command == "purge") return purgeCommand(rest);
    if (command == "churn") return churnCommand(rest);
    if (command == "grant") return grantCommand(rest);
    if (command == "revoke") return revokeCommand(rest);
    if (command == "access") return accessCommand(rest);
    if (command == "--version" || command == "version") {
        std::cout << "tesra-admin " << VRXCHDET_VERSION << "\n";
        return 0;
    }
    if (command == "help" || command == "--help") {
        std::cout << kUsage;
        return 0;
    }
    throw UsageError("unknown command '" + command + "'");
}

}  // namespace tesra::admin
