package com.kestrum.orlo.connector.kafka;

/**
 * The figures of one database of a running task, registered while the task runs under
 * {@code com.kestrum.orlo.connector.kafka:type=source-database-metrics,connector=NAME,task=ID,database=DB}
 * (values quoted where JMX needs it). The first five have the names change-data-capture monitoring
 * already watches.
 */
public interface SourceDatabaseMetricsMXBean {
    /**
     * Whether the database's feed is open and its last poll succeeded.
     *
     * @return attribute {@code Connected}
     */
    boolean isConnected();

    /**
     * The lag: from the end of the last window handed to Connect to now.
     *
     * @return attribute {@code MilliSecondsBehindSource}; -1 before the first window
     */
    long getMilliSecondsBehindSource();

    /**
     * The time since the last poll that found changes.
     *
     * @return attribute {@code MilliSecondsSinceLastEvent}; -1 before the first change
     */
    long getMilliSecondsSinceLastEvent();

    /**
     * The changes found since the task started.
     *
     * @return attribute {@code TotalNumberOfEventsSeen}
     */
    long getTotalNumberOfEventsSeen();

    /**
     * The windows with changes, and the full listings, handed to Connect; empty windows are not counted.
     *
     * @return attribute {@code NumberOfCommittedTransactions}
     */
    long getNumberOfCommittedTransactions();

    /**
     * The polls of the store that succeeded.
     *
     * @return attribute {@code NumberOfPolls}
     */
    long getNumberOfPolls();

    /**
     * The polls of the store that failed.
     *
     * @return attribute {@code NumberOfFailedPolls}
     */
    long getNumberOfFailedPolls();

    /**
     * The polls tried again after a transient failure.
     *
     * @return attribute {@code NumberOfRetries}
     */
    long getNumberOfRetries();

    /**
     * The full listings delivered (a purged history, a re-created or replaced database).
     *
     * @return attribute {@code NumberOfResyncs}
     */
    long getNumberOfResyncs();

    /**
     * The failure of the last poll, with its time; null again once a poll succeeds.
     *
     * @return attribute {@code LastError}: the time (ISO-8601, UTC), a space and the message with the
     *         store's status; null when the last poll succeeded
     */
    String getLastError();

    /**
     * How long the database's polls have been failing.
     *
     * @return attribute {@code MilliSecondsFailing}; -1 while they succeed
     */
    long getMilliSecondsFailing();

    /**
     * The end of the last window handed to Connect: where the task goes on from.
     *
     * @return attribute {@code CommittedUntil}, {@code YYYY-MM-DD HH:MM:SS.mmm} in the store's time zone;
     *         null before the first window
     */
    String getCommittedUntil();
}
