// Who may open a database: the user names in its access_list table.
#include "database/database.h"

namespace tesra {

bool Database::hasAccessList(SqliteConnection &connection) {
    SqliteStatement table(connection, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'access_list'");
    return table.step();
}

bool Database::admitsThrough(SqliteConnection &connection, const std::string &userName) {
    if (!hasAccessList(connection)) return true;
    SqliteStatement row(connection, "SELECT 1 FROM access_list WHERE user_name = ?1");
    row.bind(1, userName);
    return row.step();
}

std::optional<std::vector<std::string>> Database::accessList() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!hasAccessList(*connection_)) return std::nullopt;
    std::vector<std::string> users;
    SqliteStatement rows(*connection_, "SELECT user_name FROM access_list ORDER BY user_name");
    while (rows.step()) users.push_back(rows.text(0));
    return users;
}

bool Database::admits(const std::string &userName) {
    std::lock_guard<std::mutex> lock(searchMutex_);
    return admitsThrough(*searchConnection_, userName);
}

void Database::grantAccess(const std::string &userName) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    WriteTransaction transaction(*connection_);
    connection_->execute("CREATE TABLE IF NOT EXISTS access_list (user_name TEXT PRIMARY KEY NOT NULL) WITHOUT ROWID");
    SqliteStatement(*connection_, "INSERT OR IGNORE INTO access_list VALUES (?1)").bind(1, userName).run();
    transaction.commit();
}

bool Database::revokeAccess(const std::string &userName) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!hasAccessList(*connection_)) return false;
    WriteTransaction transaction(*connection_);
    SqliteStatement(*connection_, "DELETE FROM access_list WHERE user_name = ?1").bind(1, userName).run();
    const bool removed = sqlite3_changes(connection_->get()) > 0;
    transaction.commit();
    return removed;
}

}  // namespace tesra
