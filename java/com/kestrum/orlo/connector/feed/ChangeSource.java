package com.kestrum.orlo.connector.feed;

import java.io.IOException;

/**
 * What a consumer needs of a {@link ChangeFeed}: poll, commit, close. Write the consumer against this
 * interface and test it with batches made by {@link ChangeBatch#of} and {@link Change#present}, without
 * a store.
 */
public interface ChangeSource extends AutoCloseable {
    /**
     * The changes since the last committed batch.
     *
     * @return the next batch
     * @throws ChangeFeedException  when the store fails
     * @throws InterruptedException when interrupted while waiting
     */
    ChangeBatch poll() throws ChangeFeedException, InterruptedException;

    /**
     * Records that the batch's changes are handled: the next poll starts at its end.
     *
     * @param batch the batch the last poll returned
     * @throws IOException when the checkpoint cannot be written; the last commit stays in force
     */
    void commit(ChangeBatch batch) throws IOException;

    /**
     * The end text the next poll starts from.
     *
     * @return the end text of the last committed batch, or null when none was committed yet
     */
    String committedUntil();

    /** Stops following the changes; a second close does nothing. */
    @Override
    void close();
}
