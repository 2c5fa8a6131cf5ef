package com.kestrum.orlo.connector.feed;

import java.util.function.Consumer;

/**
 * The three store calls a {@link ChangeFeed} makes: open the database, search it, close it. Made in this
 * JVM through the connector class ({@link ConnectorCalls}), or in a child process
 * ({@link ChildProcessCalls}). The feed serialises open, search and close; only {@link #abort()} may
 * come from another thread at any time.
 */
interface StoreCalls {
    /**
     * Opens the database.
     *
     * @param server   the server, or null for a local database
     * @param database the database's file name
     * @param password the password
     * @param deadline the {@link System#nanoTime()} by which a child must have answered
     * @throws Exception the store's failure, whose message carries its status, or a {@link ChangeFeedException}
     */
    void open(String server, String database, String password, long deadline) throws Exception;

    /**
     * Whether the database is open: false before {@link #open}, after {@link #close()}, and once a child died.
     *
     * @return whether a search can be made
     */
    boolean isOpen();

    /**
     * Searches the database for the changes since the given end text.
     *
     * @param since    the end text to search from, null for every record
     * @param endText  receives the end text of the search
     * @param entries  receives each change entry, in the store's order
     * @param deadline the {@link System#nanoTime()} by which a child must have answered
     * @throws Exception the store's failure, whose message carries its status, or a {@link ChangeFeedException}
     */
    void search(String since, StringBuilder endText, Consumer<String> entries, long deadline) throws Exception;

    /** Closes the database, when open; waits for the store. */
    void close();

    /** Ends the calls at once, from any thread, never waiting for a call in flight; then closed for good. */
    void abort();

    /**
     * Whether the calls are made in a child process, which the one-feed-per-class-loader rule does not bind.
     *
     * @return true in a child process
     */
    boolean isolated();

    /**
     * The TESRA_INI value the store reads, for the message of an unreadable configuration.
     *
     * @return the value, or null when not set
     */
    String tesraIni();

    /**
     * The process id of the child making the calls, for tests.
     *
     * @return the child's id, or -1 when there is none
     */
    default long childPid() {
        return -1;
    }
}
