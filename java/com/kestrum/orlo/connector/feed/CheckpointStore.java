package com.kestrum.orlo.connector.feed;

import java.io.IOException;

/**
 * Where a {@link ChangeFeed} keeps the end text of its last committed batch: a file
 * ({@link FileCheckpointStore}) or a row of the consumer's own database ({@link JdbcCheckpointStore}).
 * The feed reads it once, at open, and writes it at each commit; it checks the end text's form itself.
 * An implementation's {@code toString()} names where the end text is kept, for messages.
 */
public interface CheckpointStore {
    /**
     * The committed end text of the database, claiming the checkpoint for this feed where the store can.
     *
     * @param server   the database's server, empty for a local database
     * @param database the database's file name, as given to {@link ChangeFeed#open}
     * @return the end text, or null when nothing was committed yet
     * @throws ChangeFeedException when the checkpoint is malformed, belongs to another database, or is
     *                             held by another feed
     * @throws IOException         when it cannot be read
     */
    String read(String server, String database) throws ChangeFeedException, IOException;

    /**
     * Makes the end text the committed one, for good once this returns (or once the transaction it joins
     * commits).
     *
     * @param server   the database's server, empty for a local database
     * @param database the database's file name
     * @param endText  the end text of the batch being committed
     * @throws IOException when it cannot be written; the last commit then stays in force
     */
    void write(String server, String database, String endText) throws IOException;

    /**
     * Gives up the claim {@link #read} took; called when the feed closes or its open fails.
     *
     * @throws IOException when releasing fails
     */
    default void release() throws IOException {
    }
}
