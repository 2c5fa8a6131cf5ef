package com.kestrum.orlo.connector.feed;

import java.io.IOException;

/**
 * Where a {@link ChangeFeed} keeps the end text of its last committed batch: a file
 * ({@link FileCheckpointStore}) or a row of the consumer's own database ({@link JdbcCheckpointStore}).
 * The feed reads it at open, asks before each poll whether it still holds the feed's last write
 * ({@link #holdsLastWrite}), and writes it at commits; it checks the end text's form itself. An implementation's {@code toString()} names where the
 * end text is kept, for messages.
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
     * Whether the checkpoint still holds this feed's last write (or, before the first, what {@link #read}
     * found); asked before each poll. A store whose writes can be undone after they returned, by a rollback
     * of the transaction they joined, looks; the others answer true, as this default does.
     *
     * @param server   the database's server, empty for a local database
     * @param database the database's file name
     * @return false when the last write was undone
     * @throws ChangeFeedException when another feed took the checkpoint over, or it cannot be read
     */
    default boolean holdsLastWrite(String server, String database) throws ChangeFeedException {
        return true;
    }

    /**
     * The end text the checkpoint holds now, after {@link #holdsLastWrite} said the last write was undone;
     * from then on it counts as this feed's last write. This default reads it as {@link #read} does.
     *
     * @param server   the database's server, empty for a local database
     * @param database the database's file name
     * @return the end text, or null when nothing is committed
     * @throws ChangeFeedException when another feed took the checkpoint over, or it is malformed
     * @throws IOException         when it cannot be read
     */
    default String reread(String server, String database) throws ChangeFeedException, IOException {
        return read(server, database);
    }

    /**
     * Makes the end text the committed one, for good once this returns (or once the transaction it joins
     * commits).
     *
     * @param server   the database's server, empty for a local database
     * @param database the database's file name
     * @param endText  the end text of the batch being committed
     * @throws ChangeFeedException when another feed took the checkpoint over
     * @throws IOException         when it cannot be written; the last commit then stays in force
     */
    void write(String server, String database, String endText) throws ChangeFeedException, IOException;

    /**
     * Gives up the claim {@link #read} took; called when the feed closes or its open fails.
     *
     * @throws IOException when releasing fails
     */
    default void release() throws IOException {
    }
}
