#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace tesra {

// Throws StoreError for an SQLite result code other than OK, ROW or DONE,
// naming the connection's database file.
void checkSqlite(sqlite3 *connection, int result);

// An open SQLite connection.
class SqliteConnection {
public:
    // flags: SQLITE_OPEN_* ; throws StoreError.
    SqliteConnection(const std::string &path, int flags);
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection &) = delete;
    SqliteConnection &operator=(const SqliteConnection &) = delete;

    sqlite3 *get() const { return connection_; }
    void execute(const char *sql);

private:
    sqlite3 *connection_ = nullptr;
};

// A prepared statement; rows are stepped one at a time.
class SqliteStatement {
public:
    SqliteStatement(const SqliteConnection &connection, const char *sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;

    SqliteStatement &bind(int index, int64_t value);
    SqliteStatement &bind(int index, const std::string &value);
    // True while a row is available.
    bool step();
    void run() { step(); }
    // Ready to step again from the first row, bindings kept.
    void reset() { sqlite3_reset(statement_); }
    int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::string text(int column) const;

private:
    sqlite3 *connection_;
    sqlite3_stmt *statement_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back when left without commit().
class WriteTransaction {
public:
    explicit WriteTransaction(SqliteConnection &connection);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction &) = delete;
    WriteTransaction &operator=(const WriteTransaction &) = delete;
    void commit();

private:
    SqliteConnection &connection_;
    bool open_ = true;
};

// A read transaction on the database as last committed when it was
// constructed; later commits of other connections stay invisible to it.
// Ended (rolled back, it changes nothing) when left.
class ReadSnapshot {
public:
    explicit ReadSnapshot(SqliteConnection &connection);
    ~ReadSnapshot();
    ReadSnapshot(const ReadSnapshot &) = delete;
    ReadSnapshot &operator=(const ReadSnapshot &) = delete;

private:
    SqliteConnection &connection_;
};

}  // namespace tesra
