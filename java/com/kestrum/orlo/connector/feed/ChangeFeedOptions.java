package com.kestrum.orlo.connector.feed;

import java.time.Duration;
import java.time.ZoneId;
import java.time.ZoneOffset;
import java.util.Objects;
import java.util.Set;

/**
 * How a {@link ChangeFeed} reads the store's failures, how long a poll may take, where a feed without a
 * checkpoint starts, and the store's time zone. An immutable value: each {@code with} method returns new
 * options.
 */
public final class ChangeFeedOptions {
    /** The local store's status for a search from before the purge of its deletion records. */
    public static final int RESYNCHRONISE = 0x0141;
    /** The local store's status for a database that stayed locked by another process. */
    public static final int DATABASE_LOCKED = 0x0150;
    /**
     * The local store's status for a database whose file was replaced (restored, re-created) while it
     * was open: the feed opens it again and delivers a full listing marked {@link ChangeBatch#resync()}.
     */
    public static final int DATABASE_REPLACED = 0x012D;
    /** The default {@link #pollTimeout()}: 30 seconds. */
    public static final Duration DEFAULT_POLL_TIMEOUT = Duration.ofSeconds(30);

    /** Where a feed starts when its checkpoint holds no end text yet. */
    public enum Start {
        /** A full listing of every record present: for a consumer that builds its view from nothing. */
        BEGINNING,
        /**
         * At the store's current end: the first batch is empty and ends there. For a consumer that only
         * reacts to what happens from now on (notifications, cache invalidation).
         */
        NOW,
        /** At a given end text: for a consumer whose view was loaded from a copy made at that time. */
        END_TEXT
    }

    private final Set<Integer> resyncStatuses;
    private final Set<Integer> transientStatuses;
    private final int retries;
    private final Duration firstBackoff;
    private final Duration maxBackoff;
    private final Duration pollTimeout;
    private final ZoneId storeZone;
    private final Start start;
    private final String startEndText;

    /**
     * Checks the values and copies the sets; the other options take their defaults.
     *
     * @param resyncStatuses    statuses meaning the history since the committed end text is gone: the feed
     *                          answers them with a full listing from the beginning
     * @param transientStatuses statuses worth trying again: the feed retries them with exponential backoff
     * @param retries           how many times a query is tried again before its failure is thrown
     * @param firstBackoff      the pause before the first retry; each further pause doubles
     * @param maxBackoff        the longest pause
     * @throws IllegalArgumentException for a negative retry count or pause, or a first pause longer than
     *                                  the longest
     */
    public ChangeFeedOptions(Set<Integer> resyncStatuses, Set<Integer> transientStatuses, int retries,
                             Duration firstBackoff, Duration maxBackoff) {
        this(resyncStatuses, transientStatuses, retries, firstBackoff, maxBackoff, DEFAULT_POLL_TIMEOUT,
             ZoneOffset.UTC, Start.BEGINNING, null);
    }

    private ChangeFeedOptions(Set<Integer> resyncStatuses, Set<Integer> transientStatuses, int retries,
                              Duration firstBackoff, Duration maxBackoff, Duration pollTimeout, ZoneId storeZone,
                              Start start, String startEndText) {
        this.resyncStatuses = Set.copyOf(resyncStatuses);
        this.transientStatuses = Set.copyOf(transientStatuses);
        this.firstBackoff = Objects.requireNonNull(firstBackoff, "firstBackoff");
        this.maxBackoff = Objects.requireNonNull(maxBackoff, "maxBackoff");
        if (retries < 0 || firstBackoff.isNegative() || firstBackoff.compareTo(maxBackoff) > 0) {
            throw new IllegalArgumentException("Retries and pauses must not be negative, and the first pause not "
                                               + "longer than the longest: " + retries + ", " + firstBackoff
                                               + ", " + maxBackoff);
        }
        this.retries = retries;
        this.pollTimeout = Objects.requireNonNull(pollTimeout, "pollTimeout");
        if (pollTimeout.isNegative() || pollTimeout.isZero()) {
            throw new IllegalArgumentException("A poll timeout must be positive, not " + pollTimeout);
        }
        this.storeZone = Objects.requireNonNull(storeZone, "storeZone");
        this.start = Objects.requireNonNull(start, "start");
        this.startEndText = startEndText;
    }

    /**
     * The local store's statuses: {@link #RESYNCHRONISE} for a purged history, {@link #DATABASE_LOCKED}
     * retried 5 times after pauses of 0.1, 0.2, 0.4, 0.8 and 1.6 seconds, a poll timeout of 30 seconds,
     * the store's time zone UTC, and a start from the beginning.
     *
     * @return the defaults
     */
    public static ChangeFeedOptions defaults() {
        return new ChangeFeedOptions(Set.of(RESYNCHRONISE), Set.of(DATABASE_LOCKED), 5, Duration.ofMillis(100),
                                     Duration.ofSeconds(5));
    }

    /**
     * These options with other statuses for a purged history.
     *
     * @param statuses every status that means it; they replace the others
     * @return the new options
     */
    public ChangeFeedOptions withResyncStatuses(Integer... statuses) {
        return new ChangeFeedOptions(Set.of(statuses), transientStatuses, retries, firstBackoff, maxBackoff,
                                     pollTimeout, storeZone, start, startEndText);
    }

    /**
     * These options with other statuses to retry.
     *
     * @param statuses every status to retry; they replace the others
     * @return the new options
     */
    public ChangeFeedOptions withTransientStatuses(Integer... statuses) {
        return new ChangeFeedOptions(resyncStatuses, Set.of(statuses), retries, firstBackoff, maxBackoff,
                                     pollTimeout, storeZone, start, startEndText);
    }

    /**
     * These options with another retry limit and backoff.
     *
     * @param retryLimit how many times a query is tried again
     * @param first      the pause before the first retry
     * @param longest    the longest pause
     * @return the new options
     */
    public ChangeFeedOptions withRetries(int retryLimit, Duration first, Duration longest) {
        return new ChangeFeedOptions(resyncStatuses, transientStatuses, retryLimit, first, longest, pollTimeout,
                                     storeZone, start, startEndText);
    }

    /**
     * These options with another bound on a whole poll, retries and pauses included.
     *
     * @param timeout the longest a poll goes on retrying; positive
     * @return the new options
     * @see #pollTimeout()
     */
    public ChangeFeedOptions withPollTimeout(Duration timeout) {
        return new ChangeFeedOptions(resyncStatuses, transientStatuses, retries, firstBackoff, maxBackoff, timeout,
                                     storeZone, start, startEndText);
    }

    /**
     * These options with the time zone in which the store writes its end texts.
     *
     * @param zone the store's time zone; the local store's is UTC
     * @return the new options
     */
    public ChangeFeedOptions withStoreZone(ZoneId zone) {
        return new ChangeFeedOptions(resyncStatuses, transientStatuses, retries, firstBackoff, maxBackoff,
                                     pollTimeout, zone, start, startEndText);
    }

    /**
     * These options with a feed without a checkpoint starting with a full listing (the default).
     *
     * @return the new options
     */
    public ChangeFeedOptions withStartFromBeginning() {
        return new ChangeFeedOptions(resyncStatuses, transientStatuses, retries, firstBackoff, maxBackoff,
                                     pollTimeout, storeZone, Start.BEGINNING, null);
    }

    /**
     * These options with a feed without a checkpoint starting at the store's current end: its first batch
     * is empty, and every change made before its end is skipped.
     *
     * @return the new options
     */
    public ChangeFeedOptions withStartFromNow() {
        return new ChangeFeedOptions(resyncStatuses, transientStatuses, retries, firstBackoff, maxBackoff,
                                     pollTimeout, storeZone, Start.NOW, null);
    }

    /**
     * These options with a feed without a checkpoint starting at the given end text, as if a batch ending
     * there had been committed.
     *
     * @param endText an end text of the store, {@code YYYY-MM-DD HH:MM:SS.mmm} in its time zone
     * @return the new options
     * @throws IllegalArgumentException when the text is not of that form
     */
    public ChangeFeedOptions withStartAt(String endText) {
        String problem = EndText.problem(endText);
        if (problem != null) {
            throw new IllegalArgumentException(problem);
        }
        return new ChangeFeedOptions(resyncStatuses, transientStatuses, retries, firstBackoff, maxBackoff,
                                     pollTimeout, storeZone, Start.END_TEXT, endText);
    }

    /**
     * Statuses meaning the history since the committed end text is gone.
     *
     * @return the statuses answered with a full listing from the beginning
     */
    public Set<Integer> resyncStatuses() {
        return resyncStatuses;
    }

    /**
     * Statuses worth trying again.
     *
     * @return the statuses retried with exponential backoff
     */
    public Set<Integer> transientStatuses() {
        return transientStatuses;
    }

    /**
     * How many times a query is tried again before its failure is thrown.
     *
     * @return the retry limit
     */
    public int retries() {
        return retries;
    }

    /**
     * The pause before the first retry; each further pause doubles.
     *
     * @return the first pause
     */
    public Duration firstBackoff() {
        return firstBackoff;
    }

    /**
     * The longest pause between retries.
     *
     * @return the longest pause
     */
    public Duration maxBackoff() {
        return maxBackoff;
    }

    /**
     * The bound on a whole poll, retries and pauses included: no retry starts, and no pause is begun, that
     * would end after it, and the poll throws the last failure instead. A single call into the store is
     * not cut short, so a poll can end up to one store call after the timeout; against the local store
     * that call waits at most the store's lock wait ({@code LockTimeout} in tesra.ini, 10 seconds by
     * default).
     *
     * <p>The default, 30 seconds, gives a database locked by a writer or a backup three of the local
     * store's 10-second lock waits to become free, and still reports a database that stays locked within
     * half a minute, before a shutdown grace period or a lag alert would run out.
     *
     * @return the poll timeout
     */
    public Duration pollTimeout() {
        return pollTimeout;
    }

    /**
     * The time zone of the store's end texts, used for {@link ChangeBatch#untilInstant()}, the lag, and
     * the check that a checkpoint does not lie in the future.
     *
     * @return the store's time zone; UTC by default, as the local store writes
     */
    public ZoneId storeZone() {
        return storeZone;
    }

    /**
     * Where a feed starts when its checkpoint holds no end text yet; a committed end text always wins.
     *
     * @return the start
     */
    public Start start() {
        return start;
    }

    /**
     * The end text a feed starts at under {@link Start#END_TEXT}.
     *
     * @return the end text, or null for the other starts
     */
    public String startEndText() {
        return startEndText;
    }

    /** The pause before the retry with the given number, counted from 1. */
    Duration backoffBefore(int retry) {
        Duration pause = firstBackoff;
        for (int i = 1; i < retry && pause.compareTo(maxBackoff) < 0; ++i) {
            pause = pause.multipliedBy(2);
        }
        return pause.compareTo(maxBackoff) < 0 ? pause : maxBackoff;
    }

    @Override
    public boolean equals(Object other) {
        if (!(other instanceof ChangeFeedOptions)) {
            return false;
        }
        ChangeFeedOptions that = (ChangeFeedOptions) other;
        return retries == that.retries && resyncStatuses.equals(that.resyncStatuses)
               && transientStatuses.equals(that.transientStatuses) && firstBackoff.equals(that.firstBackoff)
               && maxBackoff.equals(that.maxBackoff) && pollTimeout.equals(that.pollTimeout)
               && storeZone.equals(that.storeZone) && start == that.start
               && Objects.equals(startEndText, that.startEndText);
    }

    @Override
    public int hashCode() {
        return Objects.hash(resyncStatuses, transientStatuses, retries, firstBackoff, maxBackoff, pollTimeout,
                            storeZone, start, startEndText);
    }

    @Override
    public String toString() {
        return "ChangeFeedOptions[resyncStatuses=" + resyncStatuses + ", transientStatuses=" + transientStatuses
               + ", retries=" + retries + ", firstBackoff=" + firstBackoff + ", maxBackoff=" + maxBackoff
               + ", pollTimeout=" + pollTimeout + ", storeZone=" + storeZone + ", start=" + start
               + (startEndText == null ? "" : " " + startEndText) + "]";
    }
}
