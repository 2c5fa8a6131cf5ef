package com.kestrum.orlo.connector.feed;

import java.sql.Connection;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.ResultSetMetaData;
import java.sql.SQLException;
import java.sql.Statement;
import java.util.HashSet;
import java.util.Locale;
import java.util.Objects;
import java.util.Set;
import java.util.UUID;
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
 *     claim         VARCHAR(36),
 *     revision      BIGINT,
 *     PRIMARY KEY (server_name, database_name))
 * </pre>
 * {@link #createTableIfMissing()} makes it, and adds the {@code claim} and {@code revision} columns to a
 * table made without them; {@code server_name} is empty for a local database, {@code end_text} is empty
 * until the first commit, and {@code revision} counts the writes.
 *
 * <h2>Rollbacks</h2>
 * The connection must not be in auto-commit mode: a write would then be committed at once, apart from the
 * changes it stands for; the feed's open refuses it. The store never commits or rolls back the consumer's
 * work. Before each poll it reads its row's claim and revision again (one select by primary key), so when
 * the consumer's transaction rolled back after {@link ChangeFeed#commit}, the next poll starts from the
 * end text the consumer's database still holds, and the feed logs a warning that its position moved back.
 *
 * <h2>One feed per row</h2>
 * Opening a feed claims the row: it writes a new random token into {@code claim} and commits the
 * connection's transaction with it (so open the feed before starting work of your own on the connection).
 * Each poll and each commit checks the token. Once another feed has opened on the same row, every poll of
 * the older feed and every commit it makes fails with a {@link ChangeFeedException} of status
 * {@link ChangeFeedException#CHECKPOINT_TAKEN_OVER}, the commit inside the consumer's transaction and
 * before it writes anything: that consumer rolls back and stops, and no window is applied by both. The
 * newer feed always wins, so a consumer restarted while its old process hangs takes over at once.
 */
public final class JdbcCheckpointStore implements CheckpointStore {
    /** The table name used unless another is given. */
    public static final String DEFAULT_TABLE = "change_feed_checkpoint";
    private static final Pattern IDENTIFIER = Pattern.compile("[A-Za-z_][A-Za-z0-9_]{0,62}(\\.[A-Za-z_][A-Za-z0-9_]{0,62})?");

    private final Connection connection;
    private final String table;
    private volatile String claim;
    private long revision;  // of this store's last write, or of the row when claimed

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
     * Creates the table unless it exists ({@code CREATE TABLE IF NOT EXISTS}), and adds the {@code claim}
     * column to a table made without it, inside the connection's transaction: commit it.
     *
     * @throws SQLException when the database refuses
     */
    public void createTableIfMissing() throws SQLException {
        try (Statement create = connection.createStatement()) {
            create.executeUpdate("CREATE TABLE IF NOT EXISTS " + table + " (server_name VARCHAR(255) NOT NULL, "
                                 + "database_name VARCHAR(255) NOT NULL, end_text VARCHAR(23) NOT NULL, "
                                 + "claim VARCHAR(36), revision BIGINT, PRIMARY KEY (server_name, database_name))");
            Set<String> columns = columns();
            if (!columns.contains("claim")) {
                create.executeUpdate("ALTER TABLE " + table + " ADD COLUMN claim VARCHAR(36)");
            }
            if (!columns.contains("revision")) {
                create.executeUpdate("ALTER TABLE " + table + " ADD COLUMN revision BIGINT");
            }
        }
    }

    /** Claims the row for this feed, commits the claim and reads the end text. */
    @Override
    public String read(String server, String database) throws ChangeFeedException {
        claim = null;
        requireManualCommit();
        String token = UUID.randomUUID().toString();
        try {
            if (!columns().containsAll(Set.of("claim", "revision"))) {
                throw new ChangeFeedException("The " + this + " has no claim and revision columns; "
                                              + "createTableIfMissing() adds them", null,
                                              ChangeFeedException.CHECKPOINT_REFUSED, null);
            }
            if (update("UPDATE " + table + " SET claim = ? WHERE server_name = ? AND database_name = ?",
                       token, server, database) == 0) {
                update("INSERT INTO " + table + " (server_name, database_name, end_text, claim) VALUES (?, ?, ?, ?)",
                       server, database, "", token);
            }
            Row row = row(server, database);
            connection.commit();
            claim = token;
            revision = row.revision;
            return row.endText;
        } catch (SQLException failure) {
            try {
                connection.rollback();
            } catch (SQLException ignored) {
                failure.addSuppressed(ignored);
            }
            throw new ChangeFeedException("Cannot claim the " + this + ": " + failure.getMessage(), failure,
                                          ChangeFeedException.CHECKPOINT_FAILED, null);
        }
    }

    /** Reads the row's claim and revision again, in the connection's transaction. */
    @Override
    public boolean holdsLastWrite(String server, String database) throws ChangeFeedException {
        return claimedRow(server, database).revision == revision;
    }

    /** The end text of the row, whose revision counts as this store's last write from now on. */
    @Override
    public String reread(String server, String database) throws ChangeFeedException {
        Row row = claimedRow(server, database);
        revision = row.revision;
        return row.endText;
    }

    /** Updates the row in the connection's open transaction, which the consumer commits, while the claim holds. */
    @Override
    public void write(String server, String database, String endText) throws ChangeFeedException {
        requireManualCommit();
        if (claim == null) {
            throw new IllegalStateException("The " + this + " was not claimed by a feed's open");
        }
        try (PreparedStatement update = connection.prepareStatement(
                 "UPDATE " + table + " SET end_text = ?, revision = ? WHERE server_name = ? AND database_name = ? "
                 + "AND claim = ?")) {
            update.setString(1, endText);
            update.setLong(2, revision + 1);
            update.setString(3, server);
            update.setString(4, database);
            update.setString(5, claim);
            if (update.executeUpdate() != 1) {
                throw takenOver();
            }
            ++revision;
        } catch (SQLException failure) {
            throw new ChangeFeedException("Cannot write the " + this + ": " + failure.getMessage(), failure,
                                          ChangeFeedException.CHECKPOINT_FAILED, null);
        }
    }

    private Row claimedRow(String server, String database) throws ChangeFeedException {
        Row row;
        try {
            row = row(server, database);
        } catch (SQLException failure) {
            throw new ChangeFeedException("Cannot read the " + this + ": " + failure.getMessage(), failure,
                                          ChangeFeedException.CHECKPOINT_FAILED, null);
        }
        if (row == null || claim == null || !claim.equals(row.claim)) {
            throw takenOver();
        }
        return row;
    }

    /** Forgets the claim; the token stays in the row until another feed claims it. */
    @Override
    public void release() {
        claim = null;
    }

    @Override
    public String toString() {
        return "checkpoint table " + table;
    }

    private ChangeFeedException takenOver() {
        return new ChangeFeedException("Another change feed took the " + this + " over (it opened on the same row "
                                       + "after this one, or the row was removed); roll back this transaction and stop "
                                       + "this consumer: one feed follows a checkpoint", null,
                                       ChangeFeedException.CHECKPOINT_TAKEN_OVER, null);
    }

    private void requireManualCommit() throws ChangeFeedException {
        boolean autoCommit;
        try {
            autoCommit = connection.getAutoCommit();
        } catch (SQLException failure) {
            throw new ChangeFeedException("Cannot use the connection of the " + this + ": " + failure.getMessage(),
                                          failure, ChangeFeedException.CHECKPOINT_FAILED, null);
        }
        if (autoCommit) {
            throw new ChangeFeedException("The connection of the " + this + " is in auto-commit mode, so the checkpoint "
                                          + "would be committed apart from the changes it stands for; call "
                                          + "setAutoCommit(false)", null, ChangeFeedException.CHECKPOINT_REFUSED, null);
        }
    }

    /** The table's column names, in lower case. */
    private Set<String> columns() throws SQLException {
        try (Statement select = connection.createStatement();
             ResultSet none = select.executeQuery("SELECT * FROM " + table + " WHERE 1 = 0")) {
            ResultSetMetaData meta = none.getMetaData();
            Set<String> names = new HashSet<>();
            for (int i = 1; i <= meta.getColumnCount(); ++i) {
                names.add(meta.getColumnName(i).toLowerCase(Locale.ROOT));
            }
            return names;
        }
    }

    /** A checkpoint row: the end text (null for none yet), the claim and the revision. */
    private static final class Row {
        final String endText;
        final String claim;
        final long revision;

        Row(String endText, String claim, long revision) {
            this.endText = endText == null || endText.isEmpty() ? null : endText;
            this.claim = claim;
            this.revision = revision;
        }
    }

    private Row row(String server, String database) throws SQLException {
        try (PreparedStatement select = connection.prepareStatement(
                 "SELECT end_text, claim, revision FROM " + table + " WHERE server_name = ? AND database_name = ?")) {
            select.setString(1, server);
            select.setString(2, database);
            try (ResultSet row = select.executeQuery()) {
                return row.next() ? new Row(row.getString(1), row.getString(2), row.getLong(3)) : null;
            }
        }
    }

    private int update(String sql, String... values) throws SQLException {
        try (PreparedStatement statement = connection.prepareStatement(sql)) {
            for (int i = 0; i < values.length; ++i) {
                statement.setString(i + 1, values[i]);
            }
            return statement.executeUpdate();
        }
    }
}
