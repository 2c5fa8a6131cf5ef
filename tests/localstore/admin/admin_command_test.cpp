#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "status/status_codes.h"
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
    // Runs tesra-admin with the words, each quoted for the shell.
    CommandResult admin(const std::vector<std::string> &words) {
        std::string command = TESRA_ADMIN_PATH;
        for (const std::string &word : words) command += " '" + word + "'";
        const std::string out = directory_ / "stdout", err = directory_ / "stderr";
        const int status = std::system((command + " >" + out + " 2>" + err).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
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
};

TEST_F(AdminCommandTest, SetupAddAndListMakeADatabaseTheLibraryCanRead) {
    ASSERT_EQ(admin({"setup", site_, "--user", "Ada", "--password", "pw", "--records", "2", "--iterations", "100000"}).exitCode, 0);
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
    ASSERT_EQ(admin({"setup", site_, "--user", "Ada", "--password", "pw", "--iterations", "100000"}).exitCode, 0);
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
        {"create-id", site_ + "/user.id", "--user", "Ada", "--password", "x"},
        {"setup", site_, "--user", "Ada", "--password", "pw"},
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

// Whatever the umask, only the owner may read what setup writes; the ID file
// has the default 600,000 iterations and fewer than 100,000 are refused.
TEST_F(AdminCommandTest, SetupWritesPrivateFilesWithStrongKeys) {
    const mode_t previous = ::umask(0);
    const CommandResult setup = admin({"setup", site_, "--user", "Ada", "--password", "pw"});
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
    const CommandResult weak = admin({"create-id", directory_ / "weak.id", "--user", "Ada", "--password", "pw",
                                      "--iterations", "99999"});
    EXPECT_EQ(weak.exitCode, 2);
    EXPECT_NE(weak.errors.find("--iterations must be between 100000 and"), std::string::npos) << weak.errors;
    EXPECT_FALSE(std::filesystem::exists(directory_ / "weak.id"));
}

// setup and create-db grant the configured user; grant, revoke and access change and show the list.
TEST_F(AdminCommandTest, AccessListDecidesWhoOpensADatabase) {
    ASSERT_EQ(admin({"setup", site_, "--user", "Ada", "--password", "pw", "--iterations", "100000"}).exitCode, 0);
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
        admin({"setup", site_, "--user", "Ada", "--password", "pw", "--iterations", "100000", "--database", "../escape.tdb"});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(site_)) << "setup must remove what it made";
    EXPECT_FALSE(std::filesystem::exists(directory_ / "escape.tdb"));
}

TEST_F(AdminCommandTest, PurgeMakesOlderPollsResynchronise) {
    ASSERT_EQ(admin({"setup", site_, "--user", "Ada", "--password", "pw", "--iterations", "100000", "--records", "4"}).exitCode, 0);
    ASSERT_EQ(admin({"delete", "main.tdb", "--ini", ini_, "--random", "2", "--seed", "1"}).exitCode, 0);
    const CommandResult purged = admin({"purge", "main.tdb", "--ini", ini_, "--before", "9999-01-01 00:00:00"});
    ASSERT_EQ(purged.exitCode, 0) << purged.errors;
    EXPECT_EQ(purged.output, "purged 2 deletion records before 9999-01-01 00:00:00.00\n");
    EXPECT_EQ(lines(admin({"list", "main.tdb", "--ini", ini_, "--deleted"}).output).size(), 2u);
    EXPECT_NE(admin({"info", "main.tdb", "--ini", ini_}).output.find("purged before 9999-01-01 00:00:00.00"),
              std::string::npos);
}

}  // namespace
}  // namespace tesra::testing
