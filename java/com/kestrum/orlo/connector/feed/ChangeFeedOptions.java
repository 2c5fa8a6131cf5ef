package com.kestrum.orlo.connector.feed;

import java.time.Duration;
import java.util.Objects;
import java.util.Set;

/**
 * How a {@link ChangeFeed} reads the store's failures.
 */
public final class ChangeFeedOptions {
    /** The local store's status for a search from before the purge of its deletion records. */
    public static final int RESYNCHRONISE = 0x0141;
    /** The local store's status for a database that stayed locked by another process. */
    public static final int DATABASE_LOCKED = 0x0150;

    private final Set<Integer> resyncStatuses;
    private final Set<Integer> transientStatuses;
    private final int retries;
    private final Duration firstBackoff;
    private final Duration maxBackoff;

    /**
     * Checks the values and copies the sets.
     *
     * @param resyncStatuses    statuses meaning the history is gone
     * @param transientStatuses statuses worth trying again
     * @param retries           how many times a query is tried again
     * @param firstBackoff      the pause before the first retry
     * @param maxBackoff        the longest pause
     * @throws IllegalArgumentException for a negative retry count or pause, or a first pause longer than
     *                                  the longest
     */
    public ChangeFeedOptions(Set<Integer> resyncStatuses, Set<Integer> transientStatuses, int retries,
                             Duration firstBackoff, Duration maxBackoff) {
        Objects.requireNonNull(firstBackoff, "firstBackoff");
        Objects.requireNonNull(maxBackoff, "maxBackoff");
        if (retries < 0 || firstBackoff.isNegative() || firstBackoff.compareTo(maxBackoff) > 0) {
            throw new IllegalArgumentException("Retries and pauses must not be negative, and the first pause not "
                                               + "longer than the longest: " + retries + ", " + firstBackoff
                                               + ", " + maxBackoff);
        }
        this.resyncStatuses = Set.copyOf(resyncStatuses);
        this.transientStatuses = Set.copyOf(transientStatuses);
        this.retries = retries;
        this.firstBackoff = firstBackoff;
        this.maxBackoff = maxBackoff;
    }

    /**
     * The statuses meaning the history since the committed end text is gone: the feed answers them with
     * a full listing from the beginning.
     *
     * @return an unmodifiable set
     */
    public Set<Integer> resyncStatuses() {
        return resyncStatuses;
    }

    /**
     * The statuses worth trying again: the feed retries them with exponential backoff.
     *
     * @return an unmodifiable set
     */
    public Set<Integer> transientStatuses() {
        return transientStatuses;
    }

    /**
     * How many times a query is tried again before its failure is thrown.
     *
     * @return 0 or more
     */
    public int retries() {
        return retries;
    }

    /**
     * The pause before the first retry; each further pause doubles.
     *
     * @return a pause, not negative
     */
    public Duration firstBackoff() {
        return firstBackoff;
    }

    /**
     * The longest pause between retries.
     *
     * @return a pause, not shorter than the first
     */
    public Duration maxBackoff() {
        return maxBackoff;
    }

    /** Options are equal when their statuses, retry limit and pauses are. */
    @Override
    public boolean equals(Object other) {
        if (!(other instanceof ChangeFeedOptions)) {
            return false;
        }
        ChangeFeedOptions that = (ChangeFeedOptions) other;
        return resyncStatuses.equals(that.resyncStatuses) && transientStatuses.equals(that.transientStatuses)
               && retries == that.retries && firstBackoff.equals(that.firstBackoff)
               && maxBackoff.equals(that.maxBackoff);
    }

    @Override
    public int hashCode() {
        return Objects.hash(resyncStatuses, transientStatuses, retries, firstBackoff, maxBackoff);
    }

    @Override
    public String toString() {
        return "ChangeFeedOptions[resyncStatuses=" + resyncStatuses + ", transientStatuses=" + transientStatuses
               + ", retries=" + retries + ", firstBackoff=" + firstBackoff + ", maxBackoff=" + maxBackoff + "]";
    }

    /**
     * The local store's statuses: {@link #RESYNCHRONISE} for a purged history, {@link #DATABASE_LOCKED}
     * retried 5 times after pauses of 0.1, 0.2, 0.4, 0.8 and 1.6 seconds.
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
        return new ChangeFeedOptions(Set.of(statuses), transientStatuses, retries, firstBackoff, maxBackoff);
    }

    /**
     * These options with other statuses to retry.
     *
     * @param statuses every status to retry; they replace the others
     * @return the new options
     */
    public ChangeFeedOptions withTransientStatuses(Integer... statuses) {
        return new ChangeFeedOptions(resyncStatuses, Set.of(statuses), retries, firstBackoff, maxBackoff);
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
        return new ChangeFeedOptions(resyncStatuses, transientStatuses, retryLimit, first, longest);
    }

    /** The pause before the retry with the given number, counted from 1. */
    Duration backoffBefore(int retry) {
        Duration pause = firstBackoff;
        for (int i = 1; i < retry && pause.compareTo(maxBackoff) < 0; ++i) {
            pause = pause.multipliedBy(2);
        }
        return pause.compareTo(maxBackoff) < 0 ? pause : maxBackoff;
    }
}
