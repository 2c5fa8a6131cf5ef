package com.kestrum.orlo.connector.feed;

/**
 * The figures of {@link ChangeFeed#stats()} as JMX attributes, registered while a feed is open under
 * {@code com.kestrum.orlo.connector.feed:type=ChangeFeed,database=NAME}; the first five have the names
 * that change-data-capture monitoring already watches.
 */
public interface ChangeFeedMXBean {
    /**
     * Whether the feed is open.
     *
     * @return attribute {@code Connected}
     */
    boolean isConnected();

    /**
     * The lag: from the committed end to now.
     *
     * @return attribute {@code MilliSecondsBehindSource}; -1 before the first commit
     */
    long getMilliSecondsBehindSource();

    /**
     * The time since the last poll that returned changes.
     *
     * @return attribute {@code MilliSecondsSinceLastEvent}; -1 before the first change
     */
    long getMilliSecondsSinceLastEvent();

    /**
     * The changes in the batches polled.
     *
     * @return attribute {@code TotalNumberOfEventsSeen}
     */
    long getTotalNumberOfEventsSeen();

    /**
     * The batches with changes, and the full listings, committed; empty batches are not counted.
     *
     * @return attribute {@code NumberOfCommittedTransactions}
     */
    long getNumberOfCommittedTransactions();

    /**
     * The polls that returned a batch.
     *
     * @return attribute {@code NumberOfPolls}
     */
    long getNumberOfPolls();

    /**
     * The store calls tried again.
     *
     * @return attribute {@code NumberOfRetries}
     */
    long getNumberOfRetries();

    /**
     * The full listings delivered.
     *
     * @return attribute {@code NumberOfResyncs}
     */
    long getNumberOfResyncs();

    /**
     * The polls and commits that failed.
     *
     * @return attribute {@code NumberOfFailedPolls}
     */
    long getNumberOfFailedPolls();

    /**
     * The failure of the last poll or commit, with its time, cleared by the next poll that succeeds.
     *
     * @return attribute {@code LastError}: the time (ISO-8601, UTC), a space and the message; null when the
     *         last poll succeeded or nothing failed
     */
    String getLastError();

    /**
     * The message of the most recent failure, kept after later successes.
     *
     * @return attribute {@code MostRecentError}; null when nothing failed since open
     */
    String getMostRecentError();

    /**
     * When the most recent failure happened.
     *
     * @return attribute {@code MostRecentErrorTime}: milliseconds since 1970-01-01 UTC; -1 when nothing
     *         failed since open
     */
    long getMostRecentErrorTime();

    /**
     * The end text of the last committed batch.
     *
     * @return attribute {@code CommittedUntil}; null before the first commit
     */
    String getCommittedUntil();
}
