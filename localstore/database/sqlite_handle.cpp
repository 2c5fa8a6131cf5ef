#include "database/sqlite_handle.h"

#include "environment/system_error.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {

namespace {

StoreStatus statusOf(int result, int systemError) {
    switch (result & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return TESRA_ERR_DATABASE_LOCKED;
        case SQLITE_NOTADB: return TESRA_ERR_NOT_A_DATABASE;
        case SQLITE_READONLY: return TESRA_ERR_READ_ONLY;
        case SQLITE_FULL: return TESRA_ERR_DISK_FULL;
        case SQLITE_CANTOPEN: return statusOfSystemError(systemError, TESRA_ERR_NO_SUCH_DATABASE);
        default: return statusOfSystemError(systemError, TESRA_ERR_DATABASE_IO);
    }
}

// What happened and what to do, in the store's words.
const char *reasonOf(StoreStatus status, int result) {
    switch (status) {
        case TESRA_ERR_DATABASE_LOCKED: return "is locked by another program; try again once it has finished";
        case TESRA_ERR_NOT_A_DATABASE: return "is not a database of this store";
        case TESRA_ERR_NO_SUCH_DATABASE:
            return "cannot be opened; check that it exists and that you may read and write it";
        case TESRA_ERR_READ_ONLY: return "cannot be written: the file or its file system is read-only";
        case TESRA_ERR_DISK_FULL: return "cannot grow: the disk is full";
        case TESRA_ERR_TOO_MANY_FILES: return "cannot be opened: the process has too many files open";
        default:
            if ((result & 0xFF) == SQLITE_CORRUPT) return "is damaged; restore it from a copy or create it anew";
            return "could not be read or written; check the disk and the file's permissions";
    }
}

[[noreturn]] void throwFailure(int result, int systemError, const std::string &path) {
    const StoreStatus status = statusOf(result, systemError);
    throw StoreError(status, "database '" + path + "' " + reasonOf(status, result));
}

}  // namespace

void checkSqlite(sqlite3 *connection, int result) {
    if (result == SQLITE_OK || result == SQLITE_ROW || result == SQLITE_DONE) return;
    const char *path = connection != nullptr ? sqlite3_db_filename(connection, "main") : nullptr;
    throwFailure(result, connection != nullptr ? sqlite3_system_errno(connection) : 0, path != nullptr ? path : "");
}

SqliteConnection::SqliteConnection(const std::string &path, int flags) {
    const int result = sqlite3_open_v2(path.c_str(), &connection_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (result != SQLITE_OK) {
        const int systemError = connection_ != nullptr ? sqlite3_system_errno(connection_) : 0;
        sqlite3_close(connection_);
        connection_ = nullptr;
        throwFailure(result, systemError, path);
    }
    sqlite3_extended_result_codes(connection_, 1);
}

SqliteConnection::~SqliteConnection() { sqlite3_close(connection_); }

void SqliteConnection::execute(const char *sql) {
    checkSqlite(connection_, sqlite3_exec(connection_, sql, nullptr, nullptr, nullptr));
}

SqliteStatement::SqliteStatement(const SqliteConnection &connection, const char *sql)
    : connection_(connection.get()) {
    checkSqlite(connection_, sqlite3_prepare_v2(connection_, sql, -1, &statement_, nullptr));
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement_); }

SqliteStatement &SqliteStatement::bind(int index, int64_t value) {
    checkSqlite(connection_, sqlite3_bind_int64(statement_, index, value));
    return *this;
}

SqliteStatement &SqliteStatement::bind(int index, const std::string &value) {
    checkSqlite(connection_,
                sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
    return *this;
}

bool SqliteStatement::step() {
    const int result = sqlite3_step(statement_);
    checkSqlite(connection_, result);
    return result == SQLITE_ROW;
}

std::string SqliteStatement::text(int column) const {
    const auto *characters = sqlite3_column_text(statement_, column);
    return characters != nullptr ? reinterpret_cast<const char *>(characters) : std::string();
}

WriteTransaction::WriteTransaction(SqliteConnection &connection) : connection_(connection) {
    connection_.execute("BEGIN IMMEDIATE");
}

WriteTransaction::~WriteTransaction() {
    if (open_) sqlite3_exec(connection_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void WriteTransaction::commit() {
    connection_.execute("COMMIT");
    open_ = false;
}

ReadSnapshot::ReadSnapshot(SqliteConnection &connection) : connection_(connection) {
    connection_.execute("BEGIN DEFERRED");
    try {
        // a deferred transaction takes its snapshot at its first read
        SqliteStatement(connection_, "SELECT count(*) FROM sqlite_master").run();
    } catch (...) {
        sqlite3_exec(connection_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

ReadSnapshot::~ReadSnapshot() { sqlite3_exec(connection_.get(), "ROLLBACK", nullptr, nullptr, nullptr); }

}  // namespace tesra
