#include "database/database.h"

#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <set>

#include "environment/atomic_file.h"
#include "environment/private_file.h"
#include "environment/store_clock.h"
#include "environment/system_error.h"
#include "status/status_codes.h"
#include "status/status_text.h"
#include "status/store_error.h"

namespace tesra {
namespace {

constexpr int64_t kApplicationId = 0x54455352;  // marks a database of this store
constexpr int64_t kFormatVersion = 1;

const char *const kSchema = R"sql(
CREATE TABLE store_meta (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    format_version INTEGER NOT NULL,
    last_until INTEGER NOT NULL,
    last_write INTEGER NOT NULL,
    write_seq INTEGER NOT NULL,
    purge_cutoff INTEGER NOT NULL,
    instance_id TEXT,
    created INTEGER
);
INSERT INTO store_meta VALUES (1, 1, 0, 0, 0, 0, NULL, NULL);
CREATE TABLE records (
    record_id INTEGER PRIMARY KEY AUTOINCREMENT,
    unid_w0 INTEGER NOT NULL,
    unid_w1 INTEGER NOT NULL,
    unid_w2 INTEGER NOT NULL,
    unid_w3 INTEGER NOT NULL,
    record_class INTEGER NOT NULL,
    modified INTEGER NOT NULL,
    write_seq INTEGER NOT NULL,
    deleted INTEGER NOT NULL DEFAULT 0,
    title TEXT NOT NULL DEFAULT '',
    UNIQUE (unid_w0, unid_w1, unid_w2, unid_w3)
);
CREATE INDEX records_by_modification ON records (modified, write_seq);
CREATE TABLE access_list (user_name TEXT PRIMARY KEY NOT NULL) WITHOUT ROWID;
)sql";

std::atomic<OpenStageHook> g_openStageHook{nullptr};

void reachOpenStage(OpenStage stage, const std::string &path) {
    if (const OpenStageHook hook = g_openStageHook.load()) hook(stage, path);
}

uint32_t randomWord() {
    uint32_t word = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char *>(&word), sizeof word) != 1) {
        throw StoreError(TESRA_ERR_INTERNAL, "no random bytes");
    }
    return word;
}

bool isRegularFile(const std::string &path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

void removeDatabaseFiles(const std::string &path) {
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) std::remove((path + suffix).c_str());
}

void configure(SqliteConnection &connection, int lockTimeout) {
    sqlite3_busy_timeout(connection.get(), lockTimeout);
    connection.execute("PRAGMA synchronous = NORMAL");
}

std::string randomInstanceId() {
    char text[40];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", randomWord(), randomWord(), randomWord(), randomWord());
    return text;
}

bool hasMetaColumn(SqliteConnection &connection, const char *name) {
    SqliteStatement column(connection, "SELECT 1 FROM pragma_table_info('store_meta') WHERE name = ?1");
    column.bind(1, std::string(name));
    return column.step();
}

// The database's random instance id, given to a database made before there
// were any. Two connections that read the same id reached the same database.
std::string instanceIdOf(SqliteConnection &connection) {
    if (hasMetaColumn(connection, "instance_id")) {
        SqliteStatement read(connection, "SELECT instance_id FROM store_meta WHERE id = 1");
        if (read.step() && !read.text(0).empty()) return read.text(0);
    }
    WriteTransaction transaction(connection);
    if (!hasMetaColumn(connection, "instance_id")) {
        connection.execute("ALTER TABLE store_meta ADD COLUMN instance_id TEXT");
    }
    SqliteStatement(connection, "UPDATE store_meta SET instance_id = coalesce(instance_id, ?1) WHERE id = 1")
        .bind(1, randomInstanceId())
        .run();
    SqliteStatement read(connection, "SELECT instance_id FROM store_meta WHERE id = 1");
    read.step();
    const std::string id = read.text(0);
    transaction.commit();
    return id;
}

}  // namespace

void setOpenStageHook(OpenStageHook hook) { g_openStageHook = hook; }

void Database::create(const std::string &path, const std::vector<std::string> &grantedUsers) {
    // SQLite keeps NAME-wal and NAME-shm beside an open database: 4 more bytes in a name of at most 255.
    const size_t nameLength = path.size() - (path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (nameLength > kMaxDatabaseFileName) {
        throw StoreError(TESRA_ERR_PATH_TOO_LONG, "the file name of database '" + path + "' is " +
                                                      std::to_string(nameLength) + " bytes; it can have at most " +
                                                      std::to_string(kMaxDatabaseFileName) +
                                                      ", for the -wal and -shm files beside it");
    }
    if (::access(path.c_str(), F_OK) == 0) throw StoreError(TESRA_ERR_FILE_EXISTS, "'" + path + "' already exists");
    // A since before this time is a checkpoint of another database once at this path. Every
    // until is at or after it, so it must leave room for one.
    const StampValue created = std::min(clockNow(), kHighestUntil);
    // Built in a folder only this user can enter, so that no link planted
    // beside the database (or its journal) can redirect the new files.
    const std::string folder = makePrivateDirectoryBeside(path);
    const std::string temporary = folder + "/new.tdb";
    try {
        // SQLite gives its -wal and -shm files the mode of this one.
        ::close(createPrivateFile(temporary));
        {
            SqliteConnection connection(temporary, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW);
            configure(connection, kDefaultLockTimeoutMilliseconds);
            connection.execute("PRAGMA synchronous = FULL");
            connection.execute(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
            connection.execute("PRAGMA journal_mode = WAL");
            WriteTransaction transaction(connection);
            connection.execute(kSchema);
            SqliteStatement(connection, "UPDATE store_meta SET instance_id = ?1, created = ?2")
                .bind(1, randomInstanceId())
                .bind(2, created)
                .run();
            for (const std::string &user : grantedUsers) {
                SqliteStatement(connection, "INSERT OR IGNORE INTO access_list VALUES (?1)").bind(1, user).run();
            }
            transaction.commit();
        }
        syncToDisk(temporary);
        linkIntoPlace(temporary, path);
    } catch (const StoreError &error) {
        removeDatabaseFiles(temporary);
        ::rmdir(folder.c_str());
        if (error.status() == TESRA_ERR_FILE_EXISTS) throw;
        // The engine's message would name the temporary file.
        throw StoreError(error.status(), "cannot create database '" + path + "': " + statusText(error.status()));
    } catch (...) {
        removeDatabaseFiles(temporary);
        ::rmdir(folder.c_str());
        throw;
    }
    removeDatabaseFiles(temporary);
    ::rmdir(folder.c_str());
}

std::string recordIdText(uint32_t recordId) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", recordId);
    return text;
}

std::unique_ptr<Database> Database::open(const std::string &path, int lockTimeout) {
    if (!isRegularFile(path)) throw StoreError(TESRA_ERR_NO_SUCH_DATABASE, "database '" + path + "' does not exist");
    // Searches write too; the engine would report a read-only file as one it cannot open.
    if (::access(path.c_str(), W_OK) != 0) {
        const StoreStatus status = statusOfSystemError(errno, TESRA_ERR_READ_ONLY);
        throw StoreError(status, "database '" + path + "': " + statusText(status));
    }
    // Taken before the connections open the file: a replacement made in
    // between then shows at the first search, never the other way round.
    struct stat atPath {};
    if (::stat(path.c_str(), &atPath) != 0) {
        throw StoreError(TESRA_ERR_NO_SUCH_DATABASE, "database '" + path + "' does not exist");
    }
    reachOpenStage(OpenStage::kBeforeConnections, path);
    auto connection = std::make_unique<SqliteConnection>(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW);
    configure(*connection, lockTimeout);
    reachOpenStage(OpenStage::kBetweenConnections, path);
    auto searchConnection = std::make_unique<SqliteConnection>(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW);
    configure(*searchConnection, lockTimeout);
    const std::string notOurs = "'" + path + "' is not a database of this store";
    try {
        SqliteStatement applicationId(*connection, "PRAGMA application_id");
        if (!applicationId.step() || applicationId.integer(0) != kApplicationId) {
            throw StoreError(TESRA_ERR_NOT_A_DATABASE, notOurs);
        }
        SqliteStatement version(*connection, "SELECT format_version FROM store_meta WHERE id = 1");
        if (!version.step() || version.integer(0) != kFormatVersion) {
            throw StoreError(TESRA_ERR_NOT_A_DATABASE, notOurs + " (format version)");
        }
    } catch (const StoreError &error) {
        // conditions of the machine, not of the file's content
        for (StoreStatus passed : {TESRA_ERR_DATABASE_LOCKED, TESRA_ERR_READ_ONLY, TESRA_ERR_DISK_FULL, TESRA_ERR_TOO_MANY_FILES}) {
            if (error.status() == passed) throw;
        }
        throw StoreError(TESRA_ERR_NOT_A_DATABASE, notOurs);
    }
    // The file at the path may be exchanged between the two opens: the
    // access list read through one would then guard the other.
    std::string instanceId;
    try {
        instanceId = instanceIdOf(*connection);
        if (instanceId != instanceIdOf(*searchConnection)) {
            throw StoreError(TESRA_ERR_DATABASE_EXCHANGED,
                             "database '" + path + "' was exchanged for another file while it was opened");
        }
    } catch (const StoreError &error) {
        if (error.status() != TESRA_ERR_DATABASE_IO && error.status() != TESRA_ERR_NO_SUCH_DATABASE) throw;
        throw StoreError(TESRA_ERR_DATABASE_EXCHANGED,
                         "database '" + path + "' was exchanged for another file while it was opened");
    }
    // A database made before creation times were kept gets none: a time
    // invented now would turn away every consumer's checkpoint.
    const bool hasCreationTime = hasMetaColumn(*connection, "created");
    std::unique_ptr<Database> database(
        new Database(path, atPath.st_dev, atPath.st_ino, std::move(connection), std::move(searchConnection)));
    database->hasCreationTime_ = hasCreationTime;
    database->instanceId_ = instanceId;
    database->seenWriteSequence_ = database->readState().writeSequence;
    return database;
}

Database::Database(const std::string &path, dev_t device, ino_t inode, std::unique_ptr<SqliteConnection> connection,
                   std::unique_ptr<SqliteConnection> searchConnection)
    : path_(path), device_(device), inode_(inode), connection_(std::move(connection)),
      searchConnection_(std::move(searchConnection)) {}

bool Database::stillAtPath() const {
    struct stat now {};
    return ::stat(path_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_;
}

DatabaseState Database::readState() {
    SqliteStatement meta(*connection_, hasCreationTime_ ? "SELECT last_until, last_write, write_seq, purge_cutoff, "
                                                          "coalesce(created, 0) FROM store_meta WHERE id = 1"
                                                        : "SELECT last_until, last_write, write_seq, purge_cutoff, 0 "
                                                          "FROM store_meta WHERE id = 1");
    if (!meta.step()) throw StoreError(TESRA_ERR_NOT_A_DATABASE, "'" + path_ + "' has no store_meta row");
    return {meta.integer(0), meta.integer(1), meta.integer(2), meta.integer(3), meta.integer(4)};
}

DatabaseState Database::state() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return readState();
}

std::pair<StampValue, int64_t> Database::nextWrite(const DatabaseState &state) {
    const StampValue stamp = std::max({clockNowBeforeEnd(), state.lastUntil, state.lastWrite});
    // A search's until must be able to rise above the stamp; kHighestUntil is the highest it can be.
    if (stamp >= kHighestUntil) {
        throw StoreError(TESRA_ERR_STAMPS_EXHAUSTED,
                         "the last write or poll of '" + path_ + "' was stamped at the end of time (9999-12-31); "
                         "no write can be stamped after it; tesra-admin repair-times moves its times back");
    }
    return {stamp, state.writeSequence + 1};
}

void Database::recordWrite(StampValue stamp, int64_t sequence) {
    SqliteStatement(*connection_, "UPDATE store_meta SET last_write = ?1, write_seq = ?2 WHERE id = 1")
        .bind(1, stamp)
        .bind(2, sequence)
        .run();
}

bool Database::isPresent(uint32_t recordId) {
    SqliteStatement row(*connection_, "SELECT deleted FROM records WHERE record_id = ?1");
    row.bind(1, recordId);
    if (!row.step()) throw StoreError(TESRA_ERR_NO_SUCH_RECORD, "no record " + recordIdText(recordId));
    return row.integer(0) == 0;
}

RecordWrite Database::insertRecord(uint16_t recordClass, const std::string &title) {
    const auto [stamp, sequence] = nextWrite(readState());
    const StoreTimestamp created = stampOf(stamp);
    SqliteStatement(*connection_,
                    "INSERT INTO records (unid_w0, unid_w1, unid_w2, unid_w3, record_class, modified, write_seq, "
                    "title) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
        .bind(1, created.word[0])
        .bind(2, created.word[1])
        .bind(3, static_cast<uint32_t>(sequence))
        .bind(4, randomWord())
        .bind(5, recordClass)
        .bind(6, stamp)
        .bind(7, sequence)
        .bind(8, title)
        .run();
    const int64_t recordId = sqlite3_last_insert_rowid(connection_->get());
    if (recordId > kMaxRecordId) throw StoreError(TESRA_ERR_RECORD_IDS_EXHAUSTED, "no record identifiers left");
    recordWrite(stamp, sequence);
    return {static_cast<uint32_t>(recordId), stamp};
}

RecordWrite Database::addRecord(uint16_t recordClass, const std::string &title) {
    return addRecords(1, recordClass, title).front();
}

std::vector<RecordWrite> Database::addRecords(size_t count, uint16_t recordClass, const std::string &title,
                                              const std::function<void(size_t)> &progress) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    WriteTransaction transaction(*connection_);
    std::vector<RecordWrite> writes;
    writes.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        writes.push_back(insertRecord(recordClass, title));
        if (progress) progress(i + 1);
    }
    transaction.commit();
    return writes;
}

RecordWrite Database::changeInTransaction(uint32_t recordId, const std::optional<std::string> &title) {
    if (!isPresent(recordId)) throw StoreError(TESRA_ERR_RECORD_DELETED, "record " + recordIdText(recordId) + " is deleted");
    const auto [stamp, sequence] = nextWrite(readState());
    SqliteStatement update(*connection_,
                           "UPDATE records SET modified = ?1, write_seq = ?2, title = coalesce(?3, title) "
                           "WHERE record_id = ?4");
    update.bind(1, stamp).bind(2, sequence).bind(4, recordId);
    if (title) update.bind(3, *title);
    update.run();
    recordWrite(stamp, sequence);
    return {recordId, stamp};
}

RecordWrite Database::deleteInTransaction(uint32_t recordId) {
    if (!isPresent(recordId)) throw StoreError(TESRA_ERR_RECORD_DELETED, "record " + recordIdText(recordId) + " is already deleted");
    const auto [stamp, sequence] = nextWrite(readState());
    SqliteStatement(*connection_,
                    "UPDATE records SET deleted = 1, modified = ?1, write_seq = ?2, title = '' WHERE record_id = ?3")
        .bind(1, stamp)
        .bind(2, sequence)
        .bind(3, recordId)
        .run();
    recordWrite(stamp, sequence);
    return {recordId, stamp};
}

std::vector<RecordWrite> Database::writeEach(const std::vector<uint32_t> &recordIds,
                                             const std::function<RecordWrite(uint32_t)> &write,
                                             const std::function<void(size_t)> &progress) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    WriteTransaction transaction(*connection_);
    std::vector<RecordWrite> writes;
    writes.reserve(recordIds.size());
    for (uint32_t recordId : recordIds) {
        writes.push_back(write(recordId));
        if (progress) progress(writes.size());
    }
    transaction.commit();
    return writes;
}

RecordWrite Database::changeRecord(uint32_t recordId, const std::optional<std::string> &title) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    WriteTransaction transaction(*connection_);
    const RecordWrite write = changeInTransaction(recordId, title);
    transaction.commit();
    return write;
}

RecordWrite Database::deleteRecord(uint32_t recordId) { return deleteRecords({recordId}).front(); }

std::vector<RecordWrite> Database::changeRecords(const std::vector<uint32_t> &recordIds,
                                                 const std::function<void(size_t)> &progress) {
    return writeEach(recordIds, [this](uint32_t id) { return changeInTransaction(id, std::nullopt); }, progress);
}

std::vector<RecordWrite> Database::deleteRecords(const std::vector<uint32_t> &recordIds,
                                                 const std::function<void(size_t)> &progress) {
    return writeEach(recordIds, [this](uint32_t id) { return deleteInTransaction(id); }, progress);
}

std::optional<uint32_t> Database::pickPresentRecord(std::mt19937_64 &random) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    SqliteStatement highest(*connection_, "SELECT coalesce(max(record_id), 0) FROM records");
    highest.step();
    if (highest.integer(0) == 0) return std::nullopt;
    SqliteStatement nextPresent(*connection_,
                                "SELECT record_id FROM records WHERE record_id >= ?1 AND deleted = 0 "
                                "ORDER BY record_id LIMIT 1");
    nextPresent.bind(1, std::uniform_int_distribution<int64_t>(1, highest.integer(0))(random));
    if (nextPresent.step()) return static_cast<uint32_t>(nextPresent.integer(0));
    nextPresent.reset();
    nextPresent.bind(1, 1);
    if (nextPresent.step()) return static_cast<uint32_t>(nextPresent.integer(0));
    return std::nullopt;
}

std::vector<uint32_t> Database::pickPresentRecords(size_t count, std::mt19937_64 &random) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    SqliteStatement counted(*connection_, "SELECT count(*), coalesce(max(record_id), 0) FROM records WHERE deleted = 0");
    counted.step();
    const size_t present = static_cast<size_t>(counted.integer(0));
    const int64_t highest = counted.integer(1);
    count = std::min(count, present);

    SqliteStatement nextPresent(*connection_,
                                "SELECT record_id FROM records WHERE record_id >= ?1 AND deleted = 0 "
                                "ORDER BY record_id LIMIT 1");
    std::set<uint32_t> chosen;
    std::uniform_int_distribution<int64_t> anyId(1, std::max<int64_t>(highest, 1));
    while (chosen.size() < count) {
        // walk upwards from a random id to the next present record not yet chosen
        int64_t from = anyId(random);
        for (;;) {
            nextPresent.reset();
            nextPresent.bind(1, from);
            if (!nextPresent.step()) {
                from = 1;
                continue;
            }
            const auto id = static_cast<uint32_t>(nextPresent.integer(0));
            if (chosen.insert(id).second) break;
            from = static_cast<int64_t>(id) + 1;
        }
    }
    return {chosen.begin(), chosen.end()};
}

void Database::listRecords(bool includeDeleted, const std::function<void(const RecordRow &)> &visit) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    SqliteStatement rows(*connection_,
                         "SELECT record_id, unid_w0, unid_w1, unid_w2, unid_w3, record_class, modified, write_seq, "
                         "deleted, title FROM records WHERE ?1 OR deleted = 0 ORDER BY record_id");
    rows.bind(1, includeDeleted ? 1 : 0);
    while (rows.step()) {
        RecordRow row;
        row.recordId = static_cast<uint32_t>(rows.integer(0));
        for (int i = 0; i < 4; ++i) row.universalId[i] = static_cast<uint32_t>(rows.integer(1 + i));
        row.recordClass = static_cast<uint16_t>(rows.integer(5));
        row.modified = rows.integer(6);
        row.writeSequence = rows.integer(7);
        row.deleted = rows.integer(8) != 0;
        row.title = rows.text(9);
        visit(row);
    }
}

int64_t Database::purgeDeletedBefore(StampValue cutoff) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    WriteTransaction transaction(*connection_);
    SqliteStatement(*connection_, "DELETE FROM records WHERE deleted = 1 AND modified < ?1").bind(1, cutoff).run();
    const int64_t removed = sqlite3_changes(connection_->get());
    SqliteStatement(*connection_, "UPDATE store_meta SET purge_cutoff = max(purge_cutoff, ?1) WHERE id = 1")
        .bind(1, cutoff)
        .run();
    transaction.commit();
    return removed;
}

TimesAhead Database::findTimesAhead(StampValue now) {
    const DatabaseState state = readState();
    SqliteStatement ahead(*connection_, "SELECT count(*), coalesce(max(modified), 0) FROM records WHERE modified > ?1");
    ahead.bind(1, now).step();
    TimesAhead found{now,
                     ahead.integer(0),
                     state.lastUntil > now,
                     state.lastWrite > now,
                     state.purgeCutoff > now,
                     state.created > now,
                     0};
    found.latest = std::max({ahead.integer(1), state.lastUntil, state.lastWrite, state.purgeCutoff, state.created});
    return found;
}

TimesAhead Database::timesAhead() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return findTimesAhead(clockNowBeforeEnd());
}

TimesAhead Database::repairTimes() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    WriteTransaction transaction(*connection_);
    const TimesAhead found = findTimesAhead(clockNowBeforeEnd());
    // Polls order by (modified, write_seq): records moved to the same time keep their order.
    SqliteStatement(*connection_, "UPDATE records SET modified = ?1 WHERE modified > ?1").bind(1, found.now).run();
    SqliteStatement(*connection_,
                    "UPDATE store_meta SET last_until = min(last_until, ?1), last_write = min(last_write, ?1), "
                    "purge_cutoff = min(purge_cutoff, ?1) WHERE id = 1")
        .bind(1, found.now)
        .run();
    if (hasCreationTime_) {
        // min() keeps the NULL of a database whose creation time is not known
        SqliteStatement(*connection_, "UPDATE store_meta SET created = min(created, ?1) WHERE id = 1")
            .bind(1, found.now)
            .run();
    }
    transaction.commit();
    return found;
}

}  // namespace tesra
