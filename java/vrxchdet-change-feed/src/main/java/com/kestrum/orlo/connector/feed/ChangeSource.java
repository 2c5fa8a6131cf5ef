package com.kestrum.orlo.connector.feed;

import java.time.Duration;

/**
 * What a consumer needs of a {@link ChangeFeed}: poll, commit, close. Write the consumer against this
 * interface and test it with batches made by {@link ChangeBatch#of} and {@link Change#present}, without
 * a store.
 */
public interface ChangeSource extends AutoCloseable {
    /**
     * The changes since the last committed batch, at once.
     *
     * @return the next batch
     * @throws ChangeFeedException  when the store fails
     * @throws InterruptedException when interrupted while waiting
     */
    ChangeBatch poll() throws ChangeFeedException, InterruptedException;

    /**
     * The changes since the last committed batch, waiting up to the timeout for some. This default polls
     * once and does not wait.
     *
     * @param timeout how long to wait for changes
     * @return the next batch, empty when none came in time
     * @throws ChangeFeedException  when the store fails
     * @throws InterruptedException when interrupted while waiting
     */
    default ChangeBatch poll(Duration timeout) throws ChangeFeedException, InterruptedException {
        return poll();
    }

    /** Makes a {@link #poll(Duration)} that waits return at once; this default does nothing. */
    default void wakeup() {
    }

    /**
     * Records that the batch's changes are handled: the next poll starts at its end.
     *
     * @param batch the batch the last poll returned
     * @throws ChangeFeedException when the checkpoint cannot be written, or another feed took it over; the
     *                             last commit stays in force
     */
    void commit(ChangeBatch batch) throws ChangeFeedException;

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
