#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "admin/output_text.h"
#include "database/sqlite_handle.h"
#include "environment/store_clock.h"
#include "identity/id_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"
#include "store_fixture.h"

namespace tesra::testing {
namespace {

struct CommandResult {
    int exitCode;
    std::string output;
    std::string errors;
};

class AdminCommandTest : public ::testing::Test {
protected:
    AdminCommandTest() { writeFile(passwordFile_, "pw\n"); }

    // Runs tesra-admin with the words, each quoted for the shell, and the
    // input on standard input (not a terminal).
    CommandResult admin(const std::vector<std::string> &words, const std::string &input = "") {
        std::string command = TESRA_ADMIN_PATH;
        for (const std::string &word : words) command += " '" + word + "'";
        const std::string in = directory_ / "stdin", out = directory_ / "stdout", err = directory_ / "stderr";
        writeFile(in, input);
        const int status = std::system((command + " <" + in + " >" + out + " 2>" + err).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
    }

    // Runs a bash command line; standard error is kept.
    CommandResult shell(const std::string &line) {
        const std::string script = directory_ / "script.sh", err = directory_ / "stderr";
        writeFile(script, line + "\n");
        const int status = std::system(("bash " + script + " 2>" + err).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", readFile(err)};
    }

    // setup of site_ with the password from a file, and the words added.
    void setupSite(std::vector<std::string> words = {}) {
        words.insert(words.begin(), {"setup", site_, "--user", "Ada", "--password-file", passwordFile_,
                                     "--iterations", "100000"});
        const CommandResult result = admin(words);
        ASSERT_EQ(result.exitCode, 0) << result.errors;
    }

    std::vector<std::string> lines(const std::string &text) {
        std::vector<std::string> result;
        std::istringstream stream(text);
        for (std::string line; std::getline(stream, line);) result.push_back(line);
        return result;
    }

    TemporaryDirectory directory_;
    std::string site_ = directory_ / "site";
    std::string ini_ = directory_ / "site/tesra.ini";
    ScopedEnvironment noIni_{"TESRA_INI", std::nullopt};
    std::string passwordFile_ = directory_ / "password";
};

TEST_F(AdminCommandTest, SetupAddAndListMakeADatabaseTheLibraryCanRead) {
    setupSite({"--records", "2"});
    EXPECT_TRUE(std::filesystem::is_regular_file(site_ + "/user.id"));
    EXPECT_TRUE(std::filesystem::is_regular_file(site_ + "/data/main.tdb"));

    const CommandResult added = admin({"add", "main.tdb", "--ini", ini_, "--count", "3", "--class", "0x4", "--title", "Hello"});
    ASSERT_EQ(added.exitCode, 0) << added.errors;
    const std::regex writeLine(R"(add 0000000[345] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d \d+ \d+)");
    for (const std::string &line : lines(added.output)) EXPECT_TRUE(std::regex_match(line, writeLine)) << line;
    ASSERT_EQ(admin({"delete", "main.tdb", "--ini", ini_, "2"}).exitCode, 0);

    const CommandResult listed = admin({"list", "main.tdb", "--ini", ini_});
    ASSERT_EQ(listed.exitCode, 0) << listed.errors;
    const auto present = lines(listed.output);
    ASSERT_EQ(present.size(), 4u);
    const std::regex listLine(R"([0-9A-F]{8} [0-9A-F]{32} [0-9A-F]{4} \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d (present|deleted).*)");
    for (const std::string &line : present) EXPECT_TRUE(std::regex_match(line, listLine)) << line;
    EXPECT_EQ(present[0].substr(0, 8), "00000001");
    EXPECT_NE(present[3].find(" 0004 "), std::string::npos);
    EXPECT_NE(present[3].find("present Hello"), std::string::npos);
    const auto withDeleted = lines(admin({"list", "main.tdb", "--ini", ini_, "--deleted"}).output);
    ASSERT_EQ(withDeleted.size(), 5u);
    EXPECT_NE(withDeleted[1].find("deleted"), std::string::npos);

    ScopedEnvironment ini("TESRA_INI", ini_);
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    char keyFile[STORE_PATH_SIZE];
    ASSERT_NE(storeReadConfig("KeyFilename", keyFile, sizeof keyFile), 0);
    EXPECT_EQ(storeSwitchIdentity(keyFile, "wrong", nullptr, 0, 0, nullptr), TESRA_ERR_WRONG_PASSWORD);
    ASSERT_EQ(storeSwitchIdentity(keyFile, "pw", nullptr, 0, 0, nullptr), TESRA_OK);
    StoreHandle handle = 0;
    ASSERT_EQ(storeOpenDatabase("main.tdb", &handle), TESRA_OK);
    EXPECT_EQ(searchAll(handle, beginning()).matches.size(), 5u);
    storeTerm();
}

TEST_F(AdminCommandTest, BadInputExitsNonZeroWithAOneLineMessage) {
    setupSite();
    const std::vector<std::vector<std::string>> mistakes = {
        {"bogus"},
        {},
        {"add", "main.tdb", "--ini", ini_, "--count", "banana"},
        {"add", "main.tdb", "--ini", ini_, "--colour", "red"},
        {"add", "absent.tdb", "--ini", ini_},
        {"add", "../main.tdb", "--ini", ini_},
        {"change", "main.tdb", "--ini", ini_, "99"},
        {"delete", "main.tdb", "--ini", ini_, "xyz"},
        {"purge", "main.tdb", "--ini", ini_, "--before", "2024-02-30 00:00:00"},
        {"create-db", "main.tdb", "--ini", ini_},
        {"list", "main.tdb", "--ini", directory_ / "missing.ini"},
        {"create-id", site_ + "/user.id", "--user", "Ada", "--password-file", passwordFile_},
        {"setup", site_, "--user", "Ada", "--password-file", passwordFile_},
        {"churn", "main.tdb", "--ini", ini_, "--rate", "0", "--seconds", "1"},
    };
    for (const auto &words : mistakes) {
        const CommandResult result = admin(words);
        std::string joined;
        for (const auto &word : words) joined += word + " ";
        EXPECT_NE(result.exitCode, 0) << joined;
        EXPECT_EQ(result.errors.rfind("tesra-admin: ", 0), 0u) << joined << ": " << result.errors;
        EXPECT_EQ(lines(result.errors).size(), 1u) << joined << ": " << result.errors;
    }
}

// Links planted at the names a temporary file could be given (the command's
// process id and a counter) must not redirect what tesra-admin writes.
TEST_F(AdminCommandTest, LinksPlantedAtTemporaryNamesAreNotFollowed) {
    setupSite();
    const std::string victim = directory_ / "victim", outside = directory_ / "outside.tdb";
    writeFile(victim, "precious");
    auto adminAmongLinks = [&](std::vector<std::string> words, const std::string &target, const std::string &linkedTo) {
        const pid_t child = ::fork();
        if (child == 0) {
            for (int n = 0; n < 4; ++n) {
                const std::string planted = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(n);
                if (::symlink(linkedTo.c_str(), planted.c_str()) != 0) ::_exit(126);
            }
            ::dup2(::open("/dev/null", O_WRONLY), 1);
            std::vector<char *> argv{const_cast<char *>(TESRA_ADMIN_PATH)};
            for (std::string &word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            ::execv(TESRA_ADMIN_PATH, argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    const std::string idFile = directory_ / "new.id";
    EXPECT_EQ(adminAmongLinks({"create-id", idFile, "--user", "Eve", "--password-file", passwordFile_}, idFile, victim), 0);
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_FALSE(std::filesystem::is_symlink(idFile));
    EXPECT_NE(readFile(idFile).find("user=Eve"), std::string::npos);

    const std::string database = site_ + "/data/other.tdb";
    EXPECT_EQ(adminAmongLinks({"create-db", "other.tdb", "--ini", ini_}, database, outside), 0);
    EXPECT_FALSE(std::filesystem::exists(outside)) << "a database was created outside the data directory";
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(database)));
}

// Whatever the umask, only the owner may read what setup writes; the ID file
// has the default 600,000 iterations and fewer than 100,000 are refused.
TEST_F(AdminCommandTest, SetupWritesPrivateFilesWithStrongKeys) {
    const mode_t previous = ::umask(0);
    const CommandResult setup = admin({"setup", site_, "--user", "Ada", "--password-file", passwordFile_});
    ::umask(previous);
    ASSERT_EQ(setup.exitCode, 0) << setup.errors;
    for (const char *file : {"/user.id", "/tesra.ini", "/data/main.tdb"}) {
        EXPECT_EQ(std::filesystem::status(site_ + file).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write) << file;
    }
    for (const char *folder : {"", "/data"}) {
        EXPECT_EQ(std::filesystem::status(site_ + folder).permissions(), std::filesystem::perms::owner_all) << folder;
    }
    EXPECT_NE(readFile(site_ + "/user.id").find("\niterations=600000\n"), std::string::npos);
    const CommandResult weak = admin({"create-id", directory_ / "weak.id", "--user", "Ada", "--password-file",
                                      passwordFile_, "--iterations", "99999"});
    EXPECT_EQ(weak.exitCode, 2);
    EXPECT_NE(weak.errors.find("--iterations must be between 100000 and"), std::string::npos) << weak.errors;
    EXPECT_FALSE(std::filesystem::exists(directory_ / "weak.id"));
}

// setup and create-db grant the configured user; grant, revoke and access change and show the list.
TEST_F(AdminCommandTest, AccessListDecidesWhoOpensADatabase) {
    setupSite();
    EXPECT_EQ(admin({"access", "main.tdb", "--ini", ini_}).output, "Ada\n");
    ASSERT_EQ(admin({"create-db", "second.tdb", "--ini", ini_}).exitCode, 0);
    EXPECT_EQ(admin({"access", "second.tdb", "--ini", ini_}).output, "Ada\n");
    ASSERT_EQ(admin({"grant", "main.tdb", "Bob Smith", "--ini", ini_}).exitCode, 0);
    ASSERT_EQ(admin({"revoke", "main.tdb", "Ada", "--ini", ini_}).exitCode, 0);
    EXPECT_EQ(admin({"access", "main.tdb", "--ini", ini_}).output, "Bob Smith\n");
    EXPECT_EQ(admin({"revoke", "main.tdb", "Ada", "--ini", ini_}).exitCode, 1) << "no longer on the list";
    EXPECT_EQ(admin({"grant", "main.tdb", "--ini", ini_}).exitCode, 2);

    ScopedEnvironment ini("TESRA_INI", ini_);
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    ASSERT_EQ(storeSwitchIdentity((site_ + "/user.id").c_str(), "pw", nullptr, 0, 0, nullptr), TESRA_OK);
    StoreHandle handle = 0;
    EXPECT_EQ(storeOpenDatabase("main.tdb", &handle), TESRA_ERR_ACCESS_DENIED);
    EXPECT_EQ(storeOpenDatabase("second.tdb", &handle), TESRA_OK);
    storeTerm();
}

TEST_F(AdminCommandTest, FailedSetupLeavesNothingBehind) {
    const CommandResult result =
        admin({"setup", site_, "--user", "Ada", "--password-file", passwordFile_, "--iterations", "100000",
               "--database", "../escape.tdb"});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(site_)) << "setup must remove what it made";
    EXPECT_FALSE(std::filesystem::exists(directory_ / "escape.tdb"));
}

// Deletions stamped a day ago are purged before an hour ago; a cut-off after the clock is refused.
TEST_F(AdminCommandTest, PurgeRemovesOldDeletionRecordsAndRefusesTheFuture) {
    {
        ScopedEnvironment dayAgo("TESRA_CLOCK_OFFSET", "-8640000");
        setupSite({"--records", "4"});
        ASSERT_EQ(admin({"delete", "main.tdb", "--ini", ini_, "--random", "2", "--seed", "1"}).exitCode, 0);
    }
    const CommandResult future = admin({"purge", "main.tdb", "--ini", ini_, "--before", "2999-01-01 00:00:00"});
    EXPECT_EQ(future.exitCode, 2);
    EXPECT_NE(future.errors.find("is later than the store's clock"), std::string::npos) << future.errors;
    EXPECT_EQ(lines(admin({"list", "main.tdb", "--ini", ini_, "--deleted"}).output).size(), 4u);

    char hourAgo[32];
    formatIsoStamp(clockNow() - 360000, hourAgo);
    const std::string cutoff = std::string(hourAgo).substr(0, 19);
    const CommandResult purged = admin({"purge", "main.tdb", "--ini", ini_, "--before", cutoff});
    ASSERT_EQ(purged.exitCode, 0) << purged.errors;
    EXPECT_EQ(purged.output, "purged 2 deletion records before " + cutoff + ".00\n");
    EXPECT_EQ(lines(admin({"list", "main.tdb", "--ini", ini_, "--deleted"}).output).size(), 2u);
    EXPECT_NE(admin({"info", "main.tdb", "--ini", ini_}).output.find("purged before " + cutoff), std::string::npos);
}

TEST_F(AdminCommandTest, EveryCommandExplainsItselfAndTheVersionIsPrinted) {
    for (const std::string command :
         {"setup", "create-id", "create-db", "add", "change", "delete", "list", "info", "purge", "churn",
          "repair-times", "check-id"}) {
        const CommandResult help = admin({command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_EQ(help.output.rfind("usage: tesra-admin " + command + " ", 0), 0u) << help.output;
        EXPECT_NE(help.output.find("Exit status: 0"), std::string::npos) << command;
        EXPECT_EQ(admin({command, "-h"}).output, help.output) << command;
        EXPECT_EQ(admin({"help", command}).output, help.output) << command;
        // help wins over anything else on the line
        EXPECT_EQ(admin({command, "--bogus", "-h"}).exitCode, 0) << command;
    }
    EXPECT_NE(admin({"change", "--help"}).output.find("RECORD_ID is hexadecimal"), std::string::npos);
    EXPECT_NE(admin({"list", "--help"}).output.find("Directory of the configuration"), std::string::npos);
    EXPECT_NE(admin({"add", "--help"}).output.find("--count N"), std::string::npos);

    const CommandResult version = admin({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(std::regex_match(version.output, std::regex("tesra-admin \\d+\\.\\d+\\.\\d+\n"))) << version.output;

    const CommandResult nothing = admin({});
    EXPECT_EQ(nothing.exitCode, 2);
    EXPECT_NE(nothing.output.find("  churn "), std::string::npos) << "the usage lists the commands";
    EXPECT_EQ(admin({"--help"}).output, nothing.output);
    EXPECT_EQ(admin({"help", "bogus"}).exitCode, 2);
}

TEST_F(AdminCommandTest, WordsNotUnderstoodAreRefusedAndNameEqualsValueIsUnderstood) {
    setupSite();
    for (const auto &words : std::vector<std::vector<std::string>>{
             {"list", "main.tdb", "--ini", ini_, "extra"},
             {"list", "main.tdb", "--ini", ini_, "--deleted", "yes"},
             {"list", "main.tdb", "--ini", ini_, "--deleted=yes"},
             {"add", "main.tdb", "--ini", ini_, "--count", "1", "--count", "2"},
             {"info", "main.tdb", "--ini", ini_, "-x"},
             {"change", "main.tdb", "--ini", ini_, "1", "--random", "1"},
         }) {
        const CommandResult result = admin(words);
        EXPECT_EQ(result.exitCode, 2) << words[words.size() - 1];
        EXPECT_NE(result.errors.find("tesra-admin " + words[0] + " --help"), std::string::npos) << result.errors;
    }
    const CommandResult added = admin({"add", "main.tdb", "--ini=" + ini_, "--count=2", "--title=Two words"});
    ASSERT_EQ(added.exitCode, 0) << added.errors;
    EXPECT_EQ(lines(added.output).size(), 2u);
    EXPECT_NE(admin({"list", "main.tdb", "--ini", ini_}).output.find("present Two words"), std::string::npos);
}

TEST_F(AdminCommandTest, PasswordsComeFromAFileOrStandardInputAndAreNeverRepeated) {
    const std::string secret = "Sesame-4711";
    const std::string idFile = directory_ / "ada.id";
    ASSERT_EQ(admin({"create-id", idFile, "--user", "Ada", "--password-stdin", "--iterations", "100000"}, secret + "\n").exitCode, 0);
    std::string user;
    EXPECT_EQ(verifyIdFile(idFile, secret, user), TESRA_OK);
    writeFile(passwordFile_, secret + "\r\n");
    ASSERT_EQ(admin({"create-id", idFile + "2", "--user", "Ada", "--password-file", passwordFile_, "--iterations=100000"}).exitCode, 0);
    EXPECT_EQ(verifyIdFile(idFile + "2", secret, user), TESRA_OK) << "the line end is not part of the password";

    const std::vector<std::vector<std::string>> refused = {
        {"create-id", idFile + "3", "--user", "Ada", "--password=" + secret, "--password-stdin"},
        {"create-id", idFile + "3", "--user", "Ada", "--pasword=" + secret},
        {"create-id", idFile + "3", "--user", "Ada", secret},
        {"create-id", idFile + "3", "--user", "Ada", "--password=" + secret, "--iterations", "0"},
        {"create-id", idFile + "3", "--user", "Ada"},
    };
    for (const auto &words : refused) {
        const CommandResult result = admin(words);
        EXPECT_EQ(result.exitCode, 2) << result.errors;
        EXPECT_EQ(result.errors.find(secret), std::string::npos) << result.errors;
    }
    EXPECT_NE(admin({"create-id", idFile + "3", "--user", "Ada"}).errors.find("--password-file"), std::string::npos)
        << "without a terminal to ask at, the message names the safe options";
    EXPECT_EQ(admin({"create-id", idFile + "3", "--user", "Ada", "--password-file", directory_ / "absent"}).exitCode, 1);
    EXPECT_EQ(admin({"create-id", idFile + "3", "--user", "Ada", "--password-stdin"}, "").exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(idFile + "3"));
}

TEST_F(AdminCommandTest, MessagesGiveRecordIdsInHexadecimalAndNoInternals) {
    setupSite({"--records", "2"});
    const CommandResult absentRecord = admin({"change", "main.tdb", "--ini", ini_, "99"});
    EXPECT_EQ(absentRecord.exitCode, 1);
    EXPECT_NE(absentRecord.errors.find("no record 00000099"), std::string::npos) << absentRecord.errors;
    ASSERT_EQ(admin({"delete", "main.tdb", "--ini", ini_, "0x2"}).exitCode, 0);
    EXPECT_NE(admin({"delete", "main.tdb", "--ini", ini_, "2"}).errors.find("record 00000002 is already deleted"),
              std::string::npos);

    writeFile(site_ + "/data/junk.tdb", std::string(4096, 'x'));
    writeFile(directory_ / "elsewhere.ini", "Directory=" + directory_ / "no-such-folder" + "\n");
    const std::vector<std::vector<std::string>> failing = {
        {"list", "junk.tdb", "--ini", ini_},
        {"list", "absent.tdb", "--ini", ini_},
        {"create-db", "new.tdb", "--ini", directory_ / "elsewhere.ini"},
    };
    for (const auto &words : failing) {
        const CommandResult result = admin(words);
        EXPECT_EQ(result.exitCode, 1) << result.errors;
        EXPECT_NE(result.errors.find(words[1]), std::string::npos) << "names the database: " << result.errors;
        for (const char *internal : {".tmp-", "sqlite", "SQLite", "unable to open", "file is not a database"}) {
            EXPECT_EQ(result.errors.find(internal), std::string::npos) << result.errors;
        }
    }

    // A lock held too long is told as the store sees it, not as the statement that waited.
    SqliteConnection connection(site_ + "/data/main.tdb", SQLITE_OPEN_READWRITE);
    try {
        checkSqlite(connection.get(), SQLITE_BUSY);
        FAIL() << "a busy database is a failure";
    } catch (const StoreError &error) {
        EXPECT_EQ(error.status(), TESRA_ERR_DATABASE_LOCKED);
        EXPECT_EQ(std::string(error.what()), "database '" + site_ + "/data/main.tdb' is locked by another program; "
                                             "try again once it has finished");
    }
}

TEST_F(AdminCommandTest, ProgressGoesToStandardErrorAndChurnKeepsToItsTime) {
    setupSite();
    const CommandResult quiet = admin({"add", "main.tdb", "--ini", ini_, "--count", "300"});
    ASSERT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.errors, "") << "no progress when standard error is not a terminal";
    const CommandResult shown = admin({"add", "main.tdb", "--ini", ini_, "--count", "300", "--progress"});
    ASSERT_EQ(shown.exitCode, 0);
    EXPECT_EQ(lines(shown.output).size(), 300u);
    const auto progressLines = lines(shown.errors);
    ASSERT_FALSE(progressLines.empty());
    EXPECT_EQ(progressLines.back().rfind("add: 300 of 300 records (100%), ", 0), 0u) << shown.errors;

    const std::string log = directory_ / "writes.log";
    const CommandResult steady = admin({"churn", "main.tdb", "--ini", ini_, "--rate", "2", "--seconds", "2"});
    ASSERT_EQ(steady.exitCode, 0) << steady.errors;
    EXPECT_TRUE(std::regex_match(steady.output, std::regex("churn: \\d+ added, \\d+ changed, \\d+ deleted, \\d+ skipped; "
                                                           "2 writes per second over 2 s\n")))
        << steady.output;
    EXPECT_EQ(steady.errors, "");
    // Far more than a disk commits in a second: the run still ends after it, and says so.
    const CommandResult tooFast =
        admin({"churn", "main.tdb", "--ini", ini_, "--rate", "100000", "--seconds", "1", "--log", log});
    ASSERT_EQ(tooFast.exitCode, 0) << tooFast.errors;
    EXPECT_LT(lines(readFile(log)).size(), 100000u);
    EXPECT_NE(tooFast.errors.find("tesra-admin: churn: warning: reached "), std::string::npos) << tooFast.errors;
    EXPECT_NE(tooFast.errors.find("of the 100000 asked for"), std::string::npos) << tooFast.errors;
}

TEST_F(AdminCommandTest, ConfigurationStartingWithAByteOrderMarkIsRead) {
    setupSite();
    const std::string ini = site_ + "/bom.ini";
    writeFile(ini, "\xEF\xBB\xBF" "Directory=data\n");
    const CommandResult result = admin({"info", "main.tdb", "--ini", ini});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
}

// A stamp a year ahead is moved back only when confirmed, and says what it
// moved; info shows the creation time.
TEST_F(AdminCommandTest, RepairTimesMovesTimesAheadBackAfterAsking) {
    {
        ScopedEnvironment yearAhead("TESRA_CLOCK_OFFSET", std::to_string(365LL * kHundredthsPerDay));
        setupSite();
        ASSERT_EQ(admin({"add", "main.tdb", "--ini", ini_, "--title", "ahead"}).exitCode, 0);
    }
    char yearAhead[32];
    formatIsoStamp(clockNow() + 365LL * kHundredthsPerDay, yearAhead);
    EXPECT_NE(admin({"info", "main.tdb", "--ini", ini_}).output.find("created       " + std::string(yearAhead, 10)),
              std::string::npos);
    const std::string listedAhead = admin({"list", "main.tdb", "--ini", ini_}).output;
    const CommandResult unasked = admin({"repair-times", "main.tdb", "--ini", ini_});
    EXPECT_EQ(unasked.exitCode, 2) << "no terminal to ask at";
    EXPECT_NE(unasked.errors.find("--yes"), std::string::npos) << unasked.errors;
    EXPECT_EQ(admin({"list", "main.tdb", "--ini", ini_}).output, listedAhead) << "nothing changed unasked";

    const CommandResult repaired = admin({"repair-times", "main.tdb", "--ini", ini_, "--yes"});
    ASSERT_EQ(repaired.exitCode, 0) << repaired.errors;
    EXPECT_TRUE(std::regex_search(repaired.output, std::regex("^moved 1 records, the last write time, the creation "
                                                              "time back to "
                                                              "\\d{4}-\\d\\d-\\d\\d .* \\(the latest was ")))
        << repaired.output;
    char now[32];
    formatIsoStamp(clockNow(), now);
    EXPECT_NE(admin({"list", "main.tdb", "--ini", ini_}).output.find(std::string(now).substr(0, 10)), std::string::npos);
    EXPECT_NE(admin({"info", "main.tdb", "--ini", ini_, "--json"}).output.find("\"created\":\"" + std::string(now, 10)),
              std::string::npos);
    const CommandResult again = admin({"repair-times", "main.tdb", "--ini", ini_, "--json"});
    EXPECT_EQ(again.exitCode, 0) << "nothing left to move needs no confirmation";
    EXPECT_NE(again.output.find("\"records\":0,\"last_until\":false,\"last_write\":false,\"purge_cutoff\":false,"
                                "\"created\":false}"),
              std::string::npos)
        << again.output;

    // a database made before creation times were kept
    SqliteConnection(site_ + "/data/main.tdb", SQLITE_OPEN_READWRITE).execute("ALTER TABLE store_meta DROP COLUMN created");
    EXPECT_NE(admin({"info", "main.tdb", "--ini", ini_}).output.find("created       not recorded\n"), std::string::npos);
    EXPECT_NE(admin({"info", "main.tdb", "--ini", ini_, "--json"}).output.find("\"created\":null}"), std::string::npos);
    EXPECT_EQ(admin({"repair-times", "main.tdb", "--ini", ini_, "--yes"}).exitCode, 0);
}

// Up to the 255 bytes the connector takes, as far as the file system lets a
// database open: its file name plus "-wal" must fit in 255 bytes.
TEST_F(AdminCommandTest, CreateDbAcceptsEveryNameADatabaseCanHave) {
    setupSite();
    std::filesystem::create_directory(site_ + "/data/sub");
    const std::string longest = "sub/" + std::string(247, 'n') + ".tdb";
    const CommandResult created = admin({"create-db", longest, "--ini", ini_});
    ASSERT_EQ(created.exitCode, 0) << created.errors;
    const CommandResult tooLong = admin({"create-db", std::string(248, 'n') + ".tdb", "--ini", ini_});
    EXPECT_EQ(tooLong.exitCode, 1);
    EXPECT_NE(tooLong.errors.find("is 252 bytes; it can have at most 251, for the -wal and -shm files beside it"),
              std::string::npos)
        << tooLong.errors;
    ScopedEnvironment ini("TESRA_INI", ini_);
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    ASSERT_EQ(storeSwitchIdentity((site_ + "/user.id").c_str(), "pw", nullptr, 0, 0, nullptr), TESRA_OK);
    StoreHandle handle = 0;
    EXPECT_EQ(storeOpenDatabase(longest.c_str(), &handle), TESRA_OK);
    storeTerm();
}

TEST_F(AdminCommandTest, JsonIsOneEscapedObjectPerLineAndTextTitlesStayOnOneLine) {
    EXPECT_EQ(admin::jsonString("a\"b\\c\n\t\x01\x7f\xc3\xa9\xff"), "\"a\\\"b\\\\c\\n\\t\\u0001\\u007f\xc3\xa9\\ufffd\"");
    EXPECT_EQ(admin::jsonString("\xed\xa0\x80\xf0\x9f\x98\x80"), "\"\\ufffd\\ufffd\\ufffd\xf0\x9f\x98\x80\"")
        << "a surrogate is not UTF-8; a 4-byte character is";
    EXPECT_EQ(admin::printableText("two\nlines\\\x1b"), "two\\nlines\\\\\\x1B");

    setupSite();
    const CommandResult added = admin({"add", "main.tdb", "--ini", ini_, "--title", "two\nlines \"q\"", "--json"});
    ASSERT_EQ(added.exitCode, 0) << added.errors;
    EXPECT_TRUE(std::regex_match(added.output, std::regex("\\{\"operation\":\"add\",\"record_id\":\"00000001\","
                                                          "\"modified\":\"[-0-9: .]{22}\",\"day\":\\d+,"
                                                          "\"hundredths\":\\d+\\}\n")))
        << added.output;
    EXPECT_EQ(lines(admin({"list", "main.tdb", "--ini", ini_}).output).size(), 1u) << "one record, one line";
    const auto listed = lines(admin({"list", "main.tdb", "--ini", ini_, "--json"}).output);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_NE(listed[0].find("\"deleted\":false,\"title\":\"two\\nlines \\\"q\\\"\"}"), std::string::npos) << listed[0];
    EXPECT_EQ(admin({"access", "main.tdb", "--ini", ini_, "--json"}).output, "{\"user\":\"Ada\"}\n");
    const std::string info = admin({"info", "main.tdb", "--ini", ini_, "--json"}).output;
    EXPECT_TRUE(std::regex_match(info, std::regex("\\{\"file\":\".*main.tdb\",\"last_until\":null,\"last_write\":\"[^\"]+\","
                                                  "\"writes\":1,\"purged_before\":null,\"lock_timeout_ms\":10000,"
                                                  "\"created\":\"[^\"]+\"\\}\n")))
        << info;
    EXPECT_NE(admin({"delete", "main.tdb", "1", "--ini", ini_, "--json"}).output.find("{\"operation\":\"delete\","),
              std::string::npos);
}

// A full disk is an error; a reader that stops early is not.
TEST_F(AdminCommandTest, StandardOutputFailuresExitOneAndAClosedPipeIsQuiet) {
    setupSite({"--records", "3"});
    const std::string command = std::string(TESRA_ADMIN_PATH) + " ";
    for (const std::string words : {"list main.tdb", "add main.tdb --count 2", "info main.tdb --json"}) {
        const CommandResult full = shell(command + words + " --ini " + ini_ + " >/dev/full");
        EXPECT_EQ(full.exitCode, 1) << words;
        EXPECT_EQ(full.errors, "tesra-admin: write failure on standard output\n") << words;
    }
    // The shell that runs the pipe ignores SIGPIPE, as a Java parent does.
    const CommandResult piped = shell("trap '' PIPE; " + command + "add main.tdb --count 20000 --ini " + ini_ +
                                      " | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}");
    EXPECT_EQ(piped.errors, "");
    EXPECT_NE(piped.exitCode, 0);
}

// Several record ids are written in one transaction: a repeated id is refused
// first, a missing or deleted one undoes the others.
TEST_F(AdminCommandTest, SeveralRecordIdsAreChangedAllOrNothing) {
    setupSite({"--records", "3"});
    const std::string before = admin({"list", "main.tdb", "--ini", ini_, "--deleted"}).output;
    const CommandResult repeated = admin({"delete", "main.tdb", "1", "1", "--ini", ini_});
    EXPECT_EQ(repeated.exitCode, 2);
    EXPECT_NE(repeated.errors.find("record 00000001 is given twice; nothing was changed"), std::string::npos);
    const CommandResult missing = admin({"delete", "main.tdb", "1", "2", "99", "--ini", ini_});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.errors.find("no record 00000099; none of the records was changed"), std::string::npos)
        << missing.errors;
    ASSERT_EQ(admin({"delete", "main.tdb", "3", "--ini", ini_}).exitCode, 0);
    EXPECT_EQ(admin({"change", "main.tdb", "1", "3", "--ini", ini_}).exitCode, 1) << "3 is deleted";
    const auto after = lines(admin({"list", "main.tdb", "--ini", ini_, "--deleted"}).output);
    EXPECT_EQ(after[0], lines(before)[0]) << "record 1 untouched";
    EXPECT_EQ(after[1], lines(before)[1]) << "record 2 untouched";
    const CommandResult both = admin({"change", "main.tdb", "1", "2", "--ini", ini_});
    ASSERT_EQ(both.exitCode, 0) << both.errors;
    EXPECT_EQ(lines(both.output).size(), 2u);
}

// Messages give the system's reason and the path tried; notes stay off standard output.
TEST_F(AdminCommandTest, MessagesNameTheReasonThePathAndTheWayOut) {
    setupSite();
    const CommandResult noFile = admin({"create-id", directory_ / "x.id", "--user", "A", "--password-file",
                                        directory_ / "nosuch.pw"});
    EXPECT_NE(noFile.errors.find("nosuch.pw': No such file or directory"), std::string::npos) << noFile.errors;
    const CommandResult noIni = admin({"info", "main.tdb", "--ini", directory_ / "nope.ini"});
    EXPECT_NE(noIni.errors.find("nope.ini': No such file or directory"), std::string::npos) << noIni.errors;

    // a name given as the path from here to the database
    const CommandResult pathGiven = shell("cd " + directory_.path() + " && " + TESRA_ADMIN_PATH +
                                          " list site/data/main.tdb --ini " + ini_);
    EXPECT_EQ(pathGiven.exitCode, 1);
    EXPECT_NE(pathGiven.errors.find("database names are relative to the Directory '" + site_ + "/data': the name is main.tdb"),
              std::string::npos)
        << pathGiven.errors;
    EXPECT_EQ(pathGiven.errors.find("create-db"), std::string::npos) << "no advice that fails";

    ASSERT_EQ(admin({"revoke", "main.tdb", "Ada", "--ini", ini_}).exitCode, 0);
    const CommandResult empty = admin({"access", "main.tdb", "--ini", ini_});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.output, "");
    EXPECT_NE(empty.errors.find("is empty: no identity may open it"), std::string::npos) << empty.errors;

    // the library names the configuration it tried, once, on standard error
    ScopedEnvironment ini("TESRA_INI", directory_ / "nope.ini");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_INI_UNREADABLE);
    EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_INI_UNREADABLE);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "tesra: cannot read the configuration '" + directory_ / "nope.ini" +
                  "': No such file or directory (TESRA_INI names it, else ./tesra.ini)\n");
}

// An ID file of 1,000 iterations, written as an old tesra-admin could.
std::string weakIdFile(const std::string &user, const std::string &password) {
    auto hmac = [](const std::vector<unsigned char> &key, const std::string &data) {
        std::vector<unsigned char> out(32);
        unsigned int length = 0;
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char *>(data.data()),
             data.size(), out.data(), &length);
        return out;
    };
    auto hex = [](const std::vector<unsigned char> &bytes) {
        std::string text;
        char digits[3];
        for (unsigned char byte : bytes) std::snprintf(digits, sizeof digits, "%02x", byte), text += digits;
        return text;
    };
    const std::vector<unsigned char> salt(16, 7);
    std::vector<unsigned char> master(32);
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(), 16, 1000, EVP_sha256(), 32,
                      master.data());
    const std::string covered = "tesra-id-file 2\nuser=" + user + "\nsalt=" + hex(salt) + "\niterations=1000\nkey=" +
                                hex(hmac(master, "tesra id file: password check")) + "\n";
    return covered + "mac=" + hex(hmac(hmac(master, "tesra id file: mac"), covered)) + "\n";
}

TEST_F(AdminCommandTest, CheckIdTellsWhyAnIdFileIsRefused) {
    setupSite();
    const std::string wrong = directory_ / "wrong", id = site_ + "/user.id";
    writeFile(wrong, "nope\n");
    writeFile(directory_ / "damaged.id", readFile(id).replace(readFile(id).find("user=Ada"), 8, "user=Eve"));
    writeFile(directory_ / "old.id", "tesra-id-file 1\nuser=Ada\n");
    writeFile(directory_ / "weak.id", weakIdFile("Ada", "pw"));
    const CommandResult right = admin({"check-id", "--ini", ini_, "--password-file", passwordFile_});
    EXPECT_EQ(right.exitCode, 0) << right.errors;
    EXPECT_EQ(right.output, "right: the password opens ID file " + id + " of Ada (100000 iterations)\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"check-id", id, "--password-file", wrong}, "wrong password (status 274)"},
        {{"check-id", directory_ / "damaged.id", "--password-file", passwordFile_}, "damaged"},
        {{"check-id", directory_ / "old.id", "--password-file", passwordFile_}, "old format"},
        {{"check-id", directory_ / "weak.id", "--password-file", passwordFile_}, "too few iterations"},
        {{"check-id", directory_ / "absent.id", "--password-file", passwordFile_}, "missing"},
    };
    for (const auto &[words, said] : refused) {
        const CommandResult result = admin(words);
        EXPECT_EQ(result.exitCode, 1) << said;
        EXPECT_NE(result.errors.find(said), std::string::npos) << result.errors;
    }
    const CommandResult json = admin({"check-id", directory_ / "weak.id", "--password-stdin", "--json"}, "pw\n");
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(json.output, "{\"id_file\":\"" + directory_ / "weak.id" +
                               "\",\"result\":\"too few iterations\",\"status\":0,\"user\":\"Ada\",\"iterations\":1000}\n");
}

}  // namespace
}  // namespace tesra::testing
