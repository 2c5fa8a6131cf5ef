package com.kestrum.orlo.connector.feed;

import java.io.IOException;
import java.sql.Connection;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.sql.Statement;
import java.util.Objects;
import java.util.regex.Pattern;

/**
 * The checkpoint as a row of the consumer's own database, written on the consumer's {@link Connection}
 * inside the consumer's open transaction. A consumer that applies a batch to its tables and commits the
 * feed on the same connection before committing its transaction moves its view and its checkpoint
 * together: after a crash, either both hold the batch or neither does, and no change is applied twice.
 *
 * <p>The table has one row per database followed:
 * <pre>
 * CREATE TABLE change_feed_checkpoint (
 *     server_name   VARCHAR(255) NOT NULL,
 *     database_name VARCHAR(255) NOT NULL,
 *     end_text      VARCHAR(23)  NOT NULL,
 *     PRIMARY KEY (server_name, database_name))
 * </pre>
 * {@link #createTableIfMissing()} makes it; {@code server_name} is empty for a local database.
 *
 * <p>The connection must not be in auto-commit mode: a write would then be committed at once, apart
 * from the changes it stands for, and {@link #write} refuses it. The store never commits or rolls back
 * itself. When the consumer's transaction rolls back after {@link ChangeFeed#commit}, the row goes back
 * but the open feed has moved on: close the feed and open it again, which reads the row anew. Unlike
 * {@link FileCheckpointStore}, this store takes no lock: run one consumer per row.
 */
public final class JdbcCheckpointStore implements CheckpointStore {
    /** The table name used unless another is given. */
    public static final String DEFAULT_TABLE = "change_feed_checkpoint";
    private static final Pattern IDENTIFIER = Pattern.compile("[A-Za-z_][A-Za-z0-9_]{0,62}(\\.[A-Za-z_][A-Za-z0-9_]{0,62})?");

    private final Connection connection;
    private final String table;

    /**
     * A checkpoint in the table {@value #DEFAULT_TABLE}.
     *
     * @param connection the consumer's connection, in manual-commit mode
     */
    public JdbcCheckpointStore(Connection connection) {
        this(connection, DEFAULT_TABLE);
    }

    /**
     * A checkpoint in the given table.
     *
     * @param connection the consumer's connection, in manual-commit mode
     * @param table      the table's name, optionally with its schema: letters, digits and underscores
     * @throws IllegalArgumentException when the name is not of that form, as it is written into SQL
     */
    public JdbcCheckpointStore(Connection connection, String table) {
        this.connection = Objects.requireNonNull(connection, "connection");
        if (!IDENTIFIER.matcher(Objects.requireNonNull(table, "table")).matches()) {
            throw new IllegalArgumentException("Not a table name of letters, digits and underscores: '" + table + "'");
        }
        this.table = table;
    }

    /**
     * Creates the table unless it exists ({@code CREATE TABLE IF NOT EXISTS}), inside the connection's
     * transaction: commit it.
     *
     * @throws SQLException when the database refuses
     */
    public void createTableIfMissing() throws SQLException {
        try (Statement create = connection.createStatement()) {
            create.executeUpdate("CREATE TABLE IF NOT EXISTS " + table + " (server_name VARCHAR(255) NOT NULL, "
                                 + "database_name VARCHAR(255) NOT NULL, end_text VARCHAR(23) NOT NULL, "
                                 + "PRIMARY KEY (server_name, database_name))");
        }
    }

    @Override
    public String read(String server, String database) throws IOException {
        try (PreparedStatement select = connection.prepareStatement(
                 "SELECT end_text FROM " + table + " WHERE server_name = ? AND database_name = ?")) {
            select.setString(1, server);
            select.setString(2, database);
            try (ResultSet row = select.executeQuery()) {
                return row.next() ? row.getString(1) : null;
            }
        } catch (SQLException failure) {
            throw new IOException("Cannot read the " + this + ": " + failure.getMessage(), failure);
        }
    }

    /** Updates or inserts the row in the connection's open transaction, which the consumer commits. */
    @Override
    public void write(String server, String database, String endText) throws IOException {
        try {
            if (connection.getAutoCommit()) {
                throw new IOException("The connection of the " + this + " is in auto-commit mode, so the checkpoint "
                                      + "would be committed apart from the changes it stands for; call "
                                      + "setAutoCommit(false)");
            }
            try (PreparedStatement update = connection.prepareStatement(
                     "UPDATE " + table + " SET end_text = ? WHERE server_name = ? AND database_name = ?")) {
                update.setString(1, endText);
                update.setString(2, server);
                update.setString(3, database);
                if (update.executeUpdate() == 1) {
                    return;
                }
            }
            try (PreparedStatement insert = connection.prepareStatement(
                     "INSERT INTO " + table + " (server_name, database_name, end_text) VALUES (?, ?, ?)")) {
                insert.setString(1, server);
                insert.setString(2, database);
                insert.setString(3, endText);
                insert.executeUpdate();
            }
        } catch (SQLException failure) {
            throw new IOException("Cannot write the " + this + ": " + failure.getMessage(), failure);
        }
    }

    @Override
    public String toString() {
        return "checkpoint table " + table;
    }
}
