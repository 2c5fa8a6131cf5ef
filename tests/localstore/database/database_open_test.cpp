#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <atomic>
#include <thread>

#include "database/database.h"
#include "database/database_path.h"
#include "identity/id_file.h"
#include "status/status_codes.h"
#include "status/store_error.h"
#include "store_fixture.h"

namespace tesra::testing {
namespace {

class DatabaseOpenTest : public StoreFixture {
protected:
    StoreStatus open(const char *path, StoreHandle &handle) {
        handle = 99;
        return storeOpenDatabase(path, &handle);
    }
};

TEST_F(DatabaseOpenTest, RefusesBeforeStartAndBeforeAnIdentity) {
    StoreHandle handle;
    EXPECT_EQ(open("main.tdb", handle), TESRA_ERR_NOT_STARTED);
    EXPECT_EQ(handle, 0u);
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    EXPECT_EQ(open("main.tdb", handle), TESRA_ERR_NO_IDENTITY);
    EXPECT_EQ(handle, 0u);
}

TEST_F(DatabaseOpenTest, RefusesEachBadPathWithItsOwnStatus) {
    start();
    StoreHandle handle;
    EXPECT_EQ(storeOpenDatabase(nullptr, &handle), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(storeOpenDatabase("main.tdb", nullptr), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(open("absent.tdb", handle), TESRA_ERR_NO_SUCH_DATABASE);
    EXPECT_EQ(open("", handle), TESRA_ERR_PATH_NOT_ALLOWED);
    EXPECT_EQ(open(databasePath_.c_str(), handle), TESRA_ERR_PATH_NOT_ALLOWED) << "absolute";
    EXPECT_EQ(open("../data/main.tdb", handle), TESRA_ERR_PATH_NOT_ALLOWED);
    EXPECT_EQ(open("sub/../main.tdb", handle), TESRA_ERR_PATH_NOT_ALLOWED);
    EXPECT_EQ(open("nowhere!!main.tdb", handle), TESRA_ERR_UNKNOWN_SERVER);
    EXPECT_EQ(open(std::string(300, 'a').c_str(), handle), TESRA_ERR_PATH_TOO_LONG);
    EXPECT_EQ(handle, 0u);
}

TEST_F(DatabaseOpenTest, RefusesFilesThatAreNotDatabasesOfThisStore) {
    start();
    writeFile(dataDirectory_ + "/text.tdb", "This is not a database, only some words in a file.\n");
    writeFile(dataDirectory_ + "/empty.tdb", "");
    {
        SqliteConnection foreign(dataDirectory_ + "/foreign.tdb", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        foreign.execute("CREATE TABLE records (record_id INTEGER PRIMARY KEY)");
    }
    std::filesystem::create_directory(dataDirectory_ + "/folder.tdb");
    StoreHandle handle;
    EXPECT_EQ(open("text.tdb", handle), TESRA_ERR_NOT_A_DATABASE);
    EXPECT_EQ(open("empty.tdb", handle), TESRA_ERR_NOT_A_DATABASE);
    EXPECT_EQ(open("foreign.tdb", handle), TESRA_ERR_NOT_A_DATABASE);
    EXPECT_EQ(open("folder.tdb", handle), TESRA_ERR_NO_SUCH_DATABASE);
    EXPECT_EQ(readFile(dataDirectory_ + "/text.tdb"), "This is not a database, only some words in a file.\n");
}

TEST_F(DatabaseOpenTest, OpensOnlyForUsersOnTheAccessList) {
    start();
    Database::create(dataDirectory_ + "/theirs.tdb", {"Someone Else"});
    StoreHandle handle;
    EXPECT_EQ(open("theirs.tdb", handle), TESRA_ERR_ACCESS_DENIED);
    EXPECT_EQ(handle, 0u);

    auto theirs = Database::open(dataDirectory_ + "/theirs.tdb");
    theirs->grantAccess(kUser);
    EXPECT_EQ(theirs->accessList(), (std::vector<std::string>{kUser, "Someone Else"}));
    EXPECT_EQ(open("theirs.tdb", handle), TESRA_OK);
    EXPECT_TRUE(theirs->revokeAccess(kUser));
    EXPECT_FALSE(theirs->revokeAccess(kUser));
    EXPECT_EQ(open("theirs.tdb", handle), TESRA_ERR_ACCESS_DENIED);

    // Databases made before access lists have none and open for any identity.
    SqliteConnection(databasePath_, SQLITE_OPEN_READWRITE).execute("DROP TABLE access_list");
    EXPECT_EQ(Database::open(databasePath_)->accessList(), std::nullopt);
    EXPECT_EQ(open("main.tdb", handle), TESRA_OK);
}

// A symbolic link in the data or a server directory must not lead to a file outside it.
TEST_F(DatabaseOpenTest, SymbolicLinksMustNotLeadOutOfTheDirectory) {
    namespace fs = std::filesystem;
    TemporaryDirectory outside;
    Database::create(outside / "outside.tdb", {kUser});
    fs::create_directory(directory_ / "servers");
    writeIni("Server.hub=servers\n");
    start();
    fs::create_symlink(outside / "outside.tdb", dataDirectory_ + "/link.tdb");
    fs::create_symlink(outside.path(), dataDirectory_ + "/away");
    fs::create_symlink(outside.path(), directory_ / "servers/away");
    fs::create_symlink(outside / "new.tdb", dataDirectory_ + "/dangling.tdb");
    fs::create_symlink("main.tdb", dataDirectory_ + "/alias.tdb");

    StoreHandle handle;
    EXPECT_EQ(open("link.tdb", handle), TESRA_ERR_PATH_NOT_ALLOWED);
    EXPECT_EQ(open("away/outside.tdb", handle), TESRA_ERR_PATH_NOT_ALLOWED);
    EXPECT_EQ(open("hub!!away/outside.tdb", handle), TESRA_ERR_PATH_NOT_ALLOWED);
    EXPECT_EQ(open("alias.tdb", handle), TESRA_OK) << "a link that stays inside";
    const IniConfig config = *IniConfig::load(iniPath_);
    EXPECT_THROW(Database::create(resolveDatabasePath(config, "away/new.tdb"), {kUser}), StoreError);
    EXPECT_THROW(Database::create(resolveDatabasePath(config, "dangling.tdb"), {kUser}), StoreError);
    EXPECT_FALSE(fs::exists(outside / "new.tdb"));
}

TEST_F(DatabaseOpenTest, ServerPathsResolveThroughTheirServerLineAndKeepToTheAccessList) {
    TemporaryDirectory serverDirectory;
    Database::create(serverDirectory / "remote.tdb", {kUser});
    Database::create(serverDirectory / "theirs.tdb", {"Someone Else"});
    writeIni("Server.Hub=" + serverDirectory.path() + "\n");
    start();

    char path[STORE_PATH_SIZE];
    ASSERT_EQ(storeBuildNetPath(nullptr, "hub", "remote.tdb", path), TESRA_OK);
    EXPECT_STREQ(path, "hub!!remote.tdb");
    StoreHandle handle;
    EXPECT_EQ(open(path, handle), TESRA_OK) << "server names are case-insensitive";
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(open("hub!!main.tdb", handle), TESRA_ERR_NO_SUCH_DATABASE) << "each server has its own directory";
    EXPECT_EQ(open("hub!!theirs.tdb", handle), TESRA_ERR_ACCESS_DENIED);
    EXPECT_EQ(handle, 0u);

    // and a revoke reaches a server database already open at its next poll
    StoreHandle remote;
    ASSERT_EQ(open("hub!!remote.tdb", remote), TESRA_OK);
    ASSERT_EQ(searchAll(remote, beginning()).status, TESRA_OK);
    ASSERT_TRUE(Database::open(serverDirectory / "remote.tdb")->revokeAccess(kUser));
    EXPECT_EQ(searchAll(remote, beginning()).status, TESRA_ERR_ACCESS_DENIED);
}

// A connector opened before a revoke stops at its next poll, and polls again after a grant.
TEST_F(DatabaseOpenTest, ARevokeTakesEffectAtTheNextPoll) {
    start();
    StoreHandle handle;
    ASSERT_EQ(open("main.tdb", handle), TESRA_OK);
    auto database = Database::open(databasePath_);
    database->addRecord(kClassDocument, "before");
    ASSERT_EQ(searchAll(handle, beginning()).matches.size(), 1u);
    ASSERT_TRUE(database->revokeAccess(kUser));
    database->addRecord(kClassDocument, "after the revoke");
    const SearchResult refused = searchAll(handle, beginning());
    EXPECT_EQ(refused.status, TESRA_ERR_ACCESS_DENIED);
    EXPECT_TRUE(refused.matches.empty());
    database->grantAccess(kUser);
    EXPECT_EQ(searchAll(handle, beginning()).matches.size(), 2u);
}

// Two users of the library in one process switch to their own identities:
// each open database is checked against the user that opened it, not the
// identity switched to last.
TEST_F(DatabaseOpenTest, EachOpenDatabaseKeepsTheIdentityItWasOpenedUnder) {
    const std::string otherId = directory_ / "other.id";
    createIdFile(otherId, "Someone Else", kPassword, kTestIterations);
    Database::create(dataDirectory_ + "/theirs.tdb", {"Someone Else"});
    start();
    StoreHandle mine;
    ASSERT_EQ(open("main.tdb", mine), TESRA_OK);
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    ASSERT_EQ(storeSwitchIdentity(otherId.c_str(), kPassword, nullptr, 0, 0, nullptr), TESRA_OK);
    StoreHandle theirs;
    ASSERT_EQ(open("theirs.tdb", theirs), TESRA_OK);
    EXPECT_EQ(searchAll(mine, beginning()).status, TESRA_OK) << "checked against " << kUser;
    EXPECT_EQ(searchAll(theirs, beginning()).status, TESRA_OK);
    StoreHandle refused;
    EXPECT_EQ(open("main.tdb", refused), TESRA_ERR_ACCESS_DENIED) << "a new open takes the identity switched to last";

    ASSERT_TRUE(Database::open(databasePath_)->revokeAccess(kUser));
    Database::open(dataDirectory_ + "/theirs.tdb")->grantAccess(kUser);
    EXPECT_EQ(searchAll(mine, beginning()).status, TESRA_ERR_ACCESS_DENIED);
    EXPECT_EQ(searchAll(theirs, beginning()).status, TESRA_OK);
}

// Two databases exchanged in a loop while they are opened: an open that
// reached both, or the one whose list does not name the user, never shows
// that database's records.
TEST_F(DatabaseOpenTest, ExchangingFilesDuringOpensNeverShowsAnotherUsersDatabase) {
    Database::open(databasePath_)->addRecord(kClassDocument, "mine");
    Database::create(dataDirectory_ + "/theirs.tdb", {"Someone Else"});
    Database::open(dataDirectory_ + "/theirs.tdb")->addRecord(kClassDocument, "theirs");
    start();
    if (::renameat2(AT_FDCWD, databasePath_.c_str(), AT_FDCWD, (dataDirectory_ + "/theirs.tdb").c_str(),
                    RENAME_EXCHANGE) != 0) {
        GTEST_SKIP() << "this file system cannot exchange two files: " << std::strerror(errno);
    }
    std::atomic<bool> stop{false};
    std::thread exchanger([&] {
        const std::string mine = databasePath_, theirs = dataDirectory_ + "/theirs.tdb";
        while (!stop) ::renameat2(AT_FDCWD, mine.c_str(), AT_FDCWD, theirs.c_str(), RENAME_EXCHANGE);
    });
    int opened = 0, exchanged = 0, leaked = 0;
    for (int attempt = 0; attempt < 300; ++attempt) {
        StoreHandle handle = 0;
        const StoreStatus status = open("main.tdb", handle);
        exchanged += status == TESRA_ERR_DATABASE_EXCHANGED;
        if (status != TESRA_OK) continue;
        ++opened;
        for (const ReportedMatch &match : searchAll(handle, beginning()).matches) leaked += match.title == "theirs";
        storeCloseDatabase(handle);
    }
    stop = true;
    exchanger.join();
    EXPECT_EQ(leaked, 0) << "of " << opened << " opens";
    RecordProperty("opens_refused_as_exchanged", exchanged);

    // A database made before instance ids gets one at its first open.
    SqliteConnection(dataDirectory_ + "/theirs.tdb", SQLITE_OPEN_READWRITE)
        .execute("ALTER TABLE store_meta DROP COLUMN instance_id");
    EXPECT_NO_THROW(Database::open(dataDirectory_ + "/theirs.tdb"));
    SqliteConnection upgraded(dataDirectory_ + "/theirs.tdb", SQLITE_OPEN_READWRITE);
    SqliteStatement idLength(upgraded, "SELECT length(instance_id) FROM store_meta");
    ASSERT_TRUE(idLength.step());
    EXPECT_EQ(idLength.integer(0), 32);
}

// Puts a database made beforehand at the path when an open reaches a stage,
// as a restore running beside the open could.
class ReplacementDuringOpen {
public:
    ReplacementDuringOpen() { setOpenStageHook(replace); }
    ~ReplacementDuringOpen() {
        setOpenStageHook(nullptr);
        stage_.reset();
    }
    void at(OpenStage stage, const std::string &replacement) {
        Database::create(replacement, {kUser});
        stage_ = stage;
        replacement_ = replacement;
    }

private:
    static void replace(OpenStage stage, const std::string &path) {
        if (stage_ != stage) return;
        stage_.reset();
        ASSERT_EQ(std::rename(replacement_.c_str(), path.c_str()), 0) << std::strerror(errno);
    }
    static inline std::optional<OpenStage> stage_;
    static inline std::string replacement_;
};

// Between the two connections they reach different files; before them, both
// reach a file that is not the one whose identity the searches compare with.
TEST_F(DatabaseOpenTest, AFileExchangedDuringTheOpenIsRefusedOrNoticedAtTheFirstSearch) {
    start();
    const std::string replacement = dataDirectory_ + "/replacement.tdb";
    StoreHandle handle;
    {
        ReplacementDuringOpen exchange;
        exchange.at(OpenStage::kBetweenConnections, replacement);
        EXPECT_EQ(open("main.tdb", handle), TESRA_ERR_DATABASE_EXCHANGED);
        EXPECT_EQ(handle, 0u);

        exchange.at(OpenStage::kBeforeConnections, replacement);
        ASSERT_EQ(open("main.tdb", handle), TESRA_OK);
        EXPECT_EQ(searchAll(handle, beginning()).status, TESRA_ERR_DATABASE_REPLACED);
    }
    ASSERT_EQ(open("main.tdb", handle), TESRA_OK) << "opened again, the file now at the path is followed";
    EXPECT_EQ(searchAll(handle, beginning()).status, TESRA_OK);
}

// Like sshd's StrictModes: every folder up to / must be the user's or root's
// and not writable by others unless sticky; the refusal names the folder.
TEST_F(DatabaseOpenTest, FoldersOthersCanChangeAreRefusedByName) {
    start();
    StoreHandle handle;
    ::chmod(dataDirectory_.c_str(), 0775);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(open("main.tdb", handle), TESRA_ERR_UNSAFE_FOLDER);
    const std::string announced = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(announced.find("tesra: folder '" + std::filesystem::canonical(dataDirectory_).string() +
                             "' is writable by other users"),
              std::string::npos)
        << announced;
    ::chmod(dataDirectory_.c_str(), 01777);
    EXPECT_EQ(open("main.tdb", handle), TESRA_OK) << "a sticky folder, like /tmp, is safe";
    ::chmod(dataDirectory_.c_str(), 0700);
    ::chmod(directory_.path().c_str(), 0720);
    EXPECT_EQ(open("main.tdb", handle), TESRA_ERR_UNSAFE_FOLDER) << "a folder above the data folder counts too";
    ::chmod(directory_.path().c_str(), 0700);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dataDirectory_.c_str(), 12345, 12345), 0);
        EXPECT_EQ(open("main.tdb", handle), TESRA_ERR_UNSAFE_FOLDER) << "owned by another user";
        ASSERT_EQ(::chown(dataDirectory_.c_str(), 0, 0), 0);
    }
    EXPECT_EQ(open("main.tdb", handle), TESRA_OK);
}

TEST_F(DatabaseOpenTest, NetPathIsTheFileNameForLocalFilesAndNeverOverflows) {
    char path[STORE_PATH_SIZE + 8];
    std::memset(path, '#', sizeof path);
    EXPECT_EQ(storeBuildNetPath(nullptr, nullptr, "main.tdb", path), TESRA_OK);
    EXPECT_STREQ(path, "main.tdb");
    EXPECT_EQ(storeBuildNetPath("port", "", "main.tdb", path), TESRA_OK);
    EXPECT_STREQ(path, "main.tdb");

    const std::string justFits(STORE_PATH_SIZE - 1 - std::strlen("srv!!"), 'f');
    EXPECT_EQ(storeBuildNetPath(nullptr, "srv", justFits.c_str(), path), TESRA_OK);
    EXPECT_EQ(std::strlen(path), STORE_PATH_SIZE - 1u);

    std::memset(path, '#', sizeof path);
    const std::string tooLong = justFits + "f";
    EXPECT_EQ(storeBuildNetPath(nullptr, "srv", tooLong.c_str(), path), TESRA_ERR_PATH_TOO_LONG);
    EXPECT_EQ(path[0], '\0');
    EXPECT_EQ(path[STORE_PATH_SIZE], '#');
    // A caller that opens the emptied path anyway hears why it is empty.
    start();
    StoreHandle handle;
    EXPECT_EQ(open(path, handle), TESRA_ERR_PATH_TOO_LONG);
    EXPECT_EQ(open("", handle), TESRA_ERR_PATH_NOT_ALLOWED) << "another empty text";
    EXPECT_EQ(storeBuildNetPath(nullptr, "srv", nullptr, path), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(storeBuildNetPath(nullptr, "srv", "x", nullptr), TESRA_ERR_NULL_ARGUMENT);
}

TEST_F(DatabaseOpenTest, HandlesAreNonZeroDistinctAndNeverReused) {
    start();
    StoreHandle first, second;
    ASSERT_EQ(open("main.tdb", first), TESRA_OK);
    ASSERT_EQ(open("main.tdb", second), TESRA_OK);
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);

    EXPECT_EQ(storeCloseDatabase(first), TESRA_OK);
    EXPECT_EQ(storeCloseDatabase(first), TESRA_ERR_BAD_HANDLE) << "closed twice";
    EXPECT_EQ(searchAll(first, beginning()).status, TESRA_ERR_BAD_HANDLE);
    EXPECT_EQ(searchAll(second, beginning()).status, TESRA_OK) << "the other handle stays open";

    StoreHandle third;
    ASSERT_EQ(open("main.tdb", third), TESRA_OK);
    EXPECT_NE(third, first) << "a closed handle must not come back to life";
    EXPECT_EQ(storeCloseDatabase(first), TESRA_ERR_BAD_HANDLE);

    EXPECT_EQ(storeCloseDatabase(0), TESRA_ERR_BAD_HANDLE);
    EXPECT_EQ(storeCloseDatabase(0xFFFFFFFFu), TESRA_ERR_BAD_HANDLE);
    EXPECT_EQ(searchAll(0, beginning()).status, TESRA_ERR_BAD_HANDLE);
    EXPECT_EQ(searchAll(12345, beginning()).status, TESRA_ERR_BAD_HANDLE);
}

TEST_F(DatabaseOpenTest, TermClosesEverythingAndOldHandlesStayInvalid) {
    start();
    StoreHandle handle;
    ASSERT_EQ(open("main.tdb", handle), TESRA_OK);
    storeTerm();
    EXPECT_EQ(open("main.tdb", handle), TESRA_ERR_NOT_STARTED);
    start();
    EXPECT_EQ(searchAll(handle, beginning()).status, TESRA_ERR_BAD_HANDLE);
    StoreHandle fresh;
    ASSERT_EQ(open("main.tdb", fresh), TESRA_OK);
    EXPECT_NE(fresh, handle);
}

TEST_F(DatabaseOpenTest, StoreTermForgetsTheIdentity) {
    start();
    storeTerm();
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    StoreHandle handle;
    EXPECT_EQ(open("main.tdb", handle), TESRA_ERR_NO_IDENTITY);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SANITIZER_RUNTIME_PRESENT 1
#endif
#endif

TEST_F(DatabaseOpenTest, RunningOutOfFileDescriptorsHasItsOwnStatus) {
#ifdef SANITIZER_RUNTIME_PRESENT
    GTEST_SKIP() << "the sanitizers' own checks need file descriptors, and report a fault without them";
#endif
    start();
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> taken;
    for (int file; (file = ::dup(0)) >= 0;) taken.push_back(file);
    StoreHandle handle;
    const StoreStatus status = open("main.tdb", handle);
    for (int file : taken) ::close(file);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(status, TESRA_ERR_TOO_MANY_FILES);
}

// A small tmpfs mounted over the data directory, holding main.tdb (root only).
class FileSystemTest : public DatabaseOpenTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
        mountOverDataDirectory();
        Database::create(databasePath_, {kUser});
        Database::open(databasePath_)->addRecords(3, kClassDocument, "");
        start();
    }
    void TearDown() override {
        storeTerm();
        for (; mounts_ > 0; --mounts_) ::umount2(dataDirectory_.c_str(), MNT_DETACH);
    }
    // A fresh tmpfs over the data directory, hiding what was there.
    void mountOverDataDirectory() {
        ASSERT_EQ(::mount("tmpfs", dataDirectory_.c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
        ++mounts_;
    }

    int mounts_ = 0;
};

TEST_F(FileSystemTest, ReadOnlyFileSystemHasItsOwnStatus) {
    ASSERT_EQ(::mount(nullptr, dataDirectory_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << std::strerror(errno);
    StoreHandle handle;
    EXPECT_EQ(open("main.tdb", handle), TESRA_ERR_READ_ONLY);
    EXPECT_EQ(statusOf([&] { createIdFile(dataDirectory_ + "/other.id", kUser, kPassword, kMinIdIterations); }), TESRA_ERR_READ_ONLY);
}

TEST_F(FileSystemTest, FullDiskHasItsOwnStatus) {
    StoreHandle handle;
    ASSERT_EQ(open("main.tdb", handle), TESRA_OK);
    std::ofstream filler(dataDirectory_ + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
    EXPECT_EQ(statusOf([&] { Database::open(databasePath_)->addRecord(kClassDocument, std::string(64 * 1024, 't')); }),
              TESRA_ERR_DISK_FULL);
    EXPECT_EQ(statusOf([&] { createIdFile(dataDirectory_ + "/other.id", kUser, kPassword, kMinIdIterations); }), TESRA_ERR_DISK_FULL);
    EXPECT_EQ(searchAll(handle, beginning()).status, TESRA_ERR_DISK_FULL);
}

// Each tmpfs numbers its inodes from the start, so the same steps give the
// new database the inode of the open one, on another device.
TEST_F(FileSystemTest, TheSameInodeOnAnotherFileSystemIsAnotherFile) {
    StoreHandle handle;
    ASSERT_EQ(open("main.tdb", handle), TESRA_OK);
    struct stat opened {}, replaced {};
    ASSERT_EQ(::stat(databasePath_.c_str(), &opened), 0);
    mountOverDataDirectory();
    Database::create(databasePath_, {kUser});
    ASSERT_EQ(::stat(databasePath_.c_str(), &replaced), 0);
    ASSERT_NE(replaced.st_dev, opened.st_dev);
    if (replaced.st_ino != opened.st_ino) GTEST_SKIP() << "this kernel's tmpfs does not number inodes per file system";
    EXPECT_EQ(searchAll(handle, beginning()).status, TESRA_ERR_DATABASE_REPLACED);
}

}  // namespace
}  // namespace tesra::testing
