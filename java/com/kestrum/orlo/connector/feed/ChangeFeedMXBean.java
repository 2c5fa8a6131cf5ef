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
     * The batches committed.
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
     * The message of the last failure.
     *
     * @return attribute {@code LastError}; null when nothing failed
     */
    String getLastError();

    /**
     * The end text of the last committed batch.
     *
     * @return attribute {@code CommittedUntil}; null before the first commit
     */
    String getCommittedUntil();
}
