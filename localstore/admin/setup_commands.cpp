// setup, create-id and create-db: the files a new user of the store starts with.
#include <filesystem>
#include <functional>
#include <iostream>

#include "admin/command.h"
#include "admin/password_input.h"
#include "admin/progress.h"
#include "database/database_path.h"
#include "environment/atomic_file.h"
#include "identity/id_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace fs = std::filesystem;

namespace tesra::admin {
namespace {

constexpr const char *kDefaultDatabase = "main.tdb";
constexpr uint64_t kMaxSetupRecords = 10000000;

const Option kUserOption = {"user", "NAME", "the user the ID file is for (required)"};

Option iterationsOption() {
    return {"iterations", "N",
            "key derivation rounds: more makes guessing the password slower (default " +
                std::to_string(kDefaultIdIterations) + ", at least " + std::to_string(kMinIdIterations) + ")"};
}

uint32_t iterations(const Arguments &arguments) {
    return static_cast<uint32_t>(
        arguments.number("iterations", kMinIdIterations, kMaxIdIterations).value_or(kDefaultIdIterations));
}

std::vector<Option> withPasswordOptions(std::vector<Option> options) {
    options.insert(options.end(), kPasswordOptions.begin(), kPasswordOptions.end());
    return options;
}

int runSetup(const Arguments &arguments) {
    fs::path directory = fs::absolute(arguments.operands().front()).lexically_normal();
    if (!directory.has_filename()) directory = directory.parent_path();  // "site/" names site
    const std::string user = arguments.required("user");
    const std::string databaseName = arguments.option("database").value_or(kDefaultDatabase);
    const uint64_t records = arguments.number("records", 0, kMaxSetupRecords).value_or(0);
    const uint32_t rounds = iterations(arguments);

    const fs::path iniPath = directory / "tesra.ini";
    const fs::path idPath = directory / "user.id";
    const fs::path dataDirectory = directory / "data";
    if (fs::exists(iniPath)) {
        throw StoreError(TESRA_ERR_FILE_EXISTS,
                         "'" + iniPath.string() + "' already exists; choose another folder or remove it first");
    }
    const std::string password = readNewPassword(arguments);

    // Undone in reverse order if a later step fails.
    std::vector<std::function<void()>> undo;
    try {
        // Folders setup makes are the owner's alone, like the files in them.
        if (!fs::exists(directory)) {
            if (!fs::exists(directory.parent_path())) fs::create_directories(directory.parent_path());
            makePrivateFolder(directory.string());
            undo.push_back([directory] { fs::remove(directory); });
        }
        if (!fs::exists(dataDirectory)) {
            makePrivateFolder(dataDirectory.string());
            undo.push_back([dataDirectory] { fs::remove(dataDirectory); });
        }
        createIdFile(idPath.string(), user, password, rounds);
        undo.push_back([idPath] { fs::remove(idPath); });

        const std::string ini = "# written by tesra-admin setup\nKeyFilename=" + idPath.string() +
                                "\nDirectory=data\n";
        const IniConfig config = IniConfig::parse(ini, directory.string());
        const std::string databasePath = resolveDatabasePath(config, databaseName);
        Database::create(databasePath, {user});
        undo.push_back([databasePath] { fs::remove(databasePath); });
        if (records > 0) {
            Progress progress("setup", "records", records, arguments.has("progress"));
            Database::open(databasePath)->addRecords(records, kClassDocument, "Document", [&](size_t done) {
                progress.update(done);
            });
            progress.finish(records);
        }

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

int runCreateId(const Arguments &arguments) {
    const std::string &path = arguments.operands().front();
    const std::string user = arguments.required("user");
    const uint32_t rounds = iterations(arguments);
    createIdFile(path, user, readNewPassword(arguments), rounds);
    std::cout << "created ID file " << path << "\n";
    return 0;
}

int runCreateDb(const Arguments &arguments) {
    const IniConfig config = loadConfiguration(arguments);
    const std::string path = databaseFileOf(config, arguments.operands().front());
    const std::vector<std::string> users = configuredUsers(config);
    Database::create(path, users);
    std::cout << "created database " << path << "\n";
    reportGrantedOnCreate(users);
    return 0;
}

}  // namespace

Command setupCommand() {
    return {"setup",
            {"DIR --user NAME --password-file FILE [--database FILE] [--records N] [--iterations N]",
             "DIR --user NAME --password-stdin [...]"},
            "Makes a ready store in folder DIR: tesra.ini, the ID file user.id and a database in DIR/data.",
            "the folder DIR",
            1,
            1,
            withPasswordOptions({kUserOption,
                                 {"database", "FILE", std::string("the database's file name (default ") +
                                                          kDefaultDatabase + ")"},
                                 {"records", "N", "add N records to the new database (default 0)"},
                                 iterationsOption(),
                                 kProgressOption}),
            std::string("DIR may exist but must not hold a tesra.ini; when a step fails, what was made is\n"
                        "removed again. tesra.ini names the ID file by its absolute path.\n") +
                kPasswordHelp,
            runSetup};
}

Command createIdCommand() {
    return {"create-id",
            {"FILE --user NAME --password-file FILE [--iterations N]", "FILE --user NAME --password-stdin [...]"},
            "Writes a new ID file FILE for a user; the password itself is never stored.",
            "the ID file's name",
            1,
            1,
            withPasswordOptions({kUserOption, iterationsOption()}),
            std::string("An existing FILE is not replaced.\n") + kPasswordHelp,
            runCreateId};
}

Command createDbCommand() {
    return {"create-db",
            {"DB [--ini PATH]"},
            "Creates the empty database DB, whose access list holds the configured user.",
            "one database name DB",
            1,
            1,
            {kIniOption},
            std::string("An existing file is not replaced. The access list holds the user of the ID file\n"
                        "that the configuration's KeyFilename names, when that file can be read. A file\n"
                        "name has at most 251 bytes: SQLite keeps NAME-wal and NAME-shm beside it.\n") +
                kDatabaseHelp,
            runCreateDb};
}

}  // namespace tesra::admin
