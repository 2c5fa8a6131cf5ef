package com.kestrum.orlo.connector.feed;

import java.time.Duration;
import java.time.ZoneId;
import java.time.ZoneOffset;
import java.util.Objects;
import java.util.Set;

import javax.management.ObjectName;

/**
 * How a {@link ChangeFeed} reads the store's failures, how long a poll may take and how often it asks the
 * store, how often empty batches are written to the checkpoint, where a feed without a checkpoint starts,
 * and the store's time zone. An immutable value: start from {@link #defaults()}; each {@code with} method
 * returns new options.
 */
public final class ChangeFeedOptions {
    /**
     * The local store's status for a search from before the purge of its deletion records, or from before
     * the database was created (it was re-created since).
     */
    public static final int RESYNCHRONISE = 0x0141;
    /** The local store's status for a database that stayed locked by another process. */
    public static final int DATABASE_LOCKED = 0x0150;
    /**
     * The local store's status for a poll that found the database's file not a whole database: a copy or
     * restore is still being written in its place. Retried as {@link #DATABASE_LOCKED} is.
     */
    public static final int DATABASE_BEING_WRITTEN = 0x0151;
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

    /** The default {@link #pollInterval()}: 1 second. */
    public static final Duration DEFAULT_POLL_INTERVAL = Duration.ofSeconds(1);
    /** The default {@link #emptyCommitInterval()}: 5 seconds. */
    public static final Duration DEFAULT_EMPTY_COMMIT_INTERVAL = Duration.ofSeconds(5);

    private final Set<Integer> resyncStatuses;
    private final Set<Integer> transientStatuses;
    private final int retries;
    private final Duration firstBackoff;
    private final Duration maxBackoff;
    private final Duration pollTimeout;
    private final Duration pollInterval;
    private final Duration emptyCommitInterval;
    private final ZoneId storeZone;
    private final Start start;
    private final String startEndText;
    private final Isolation isolation;
    private final boolean registerMBean;
    private final ObjectName mbeanName;

    private ChangeFeedOptions(Draft draft) {
        this.resyncStatuses = Set.copyOf(draft.resyncStatuses);
        this.transientStatuses = Set.copyOf(draft.transientStatuses);
        this.firstBackoff = Objects.requireNonNull(draft.firstBackoff, "firstBackoff");
        this.maxBackoff = Objects.requireNonNull(draft.maxBackoff, "maxBackoff");
        this.retries = draft.retries;
        if (retries < 0 || firstBackoff.isNegative() || firstBackoff.compareTo(maxBackoff) > 0) {
            throw new IllegalArgumentException("Retries and pauses must not be negative, and the first pause not "
                                               + "longer than the longest: " + retries + ", " + firstBackoff
                                               + ", " + maxBackoff);
        }
        this.pollTimeout = positive(draft.pollTimeout, "poll timeout");
        this.pollInterval = positive(draft.pollInterval, "poll interval");
        this.emptyCommitInterval = withinReach(Objects.requireNonNull(draft.emptyCommitInterval, "emptyCommitInterval"),
                                               "empty commit interval");
        withinReach(maxBackoff, "longest pause");
        if (emptyCommitInterval.isNegative()) {
            throw new IllegalArgumentException("The empty commit interval must not be negative: " + emptyCommitInterval);
        }
        this.storeZone = Objects.requireNonNull(draft.storeZone, "storeZone");
        this.start = Objects.requireNonNull(draft.start, "start");
        this.startEndText = draft.startEndText;
        this.isolation = Objects.requireNonNull(draft.isolation, "isolation");
        this.registerMBean = draft.registerMBean;
        this.mbeanName = draft.mbeanName;
    }

    private static Duration positive(Duration value, String what) {
        Objects.requireNonNull(value, what);
        if (value.isNegative() || value.isZero()) {
            throw new IllegalArgumentException("A " + what + " must be positive, not " + value);
        }
        return withinReach(value, what);
    }

    /** Refuses a duration too long to be timed in nanoseconds (about 292 years). */
    private static Duration withinReach(Duration value, String what) {
        if (value.compareTo(Duration.ofNanos(Long.MAX_VALUE)) <= 0
            && value.compareTo(Duration.ofNanos(Long.MIN_VALUE)) >= 0) {
            return value;
        } else {
            throw new IllegalArgumentException("A " + what + " must be shorter than 292 years, not " + value);
        }
    }

    /** The values of options being made from others. */
    private static final class Draft {
        Set<Integer> resyncStatuses;
        Set<Integer> transientStatuses;
        int retries;
        Duration firstBackoff;
        Duration maxBackoff;
        Duration pollTimeout = DEFAULT_POLL_TIMEOUT;
        Duration pollInterval = DEFAULT_POLL_INTERVAL;
        Duration emptyCommitInterval = DEFAULT_EMPTY_COMMIT_INTERVAL;
        ZoneId storeZone = ZoneOffset.UTC;
        Start start = Start.BEGINNING;
        String startEndText;
        Isolation isolation = Isolation.inProcess();
        boolean registerMBean = true;
        ObjectName mbeanName;

        Draft() {
        }

        Draft(ChangeFeedOptions from) {
            resyncStatuses = from.resyncStatuses;
            transientStatuses = from.transientStatuses;
            retries = from.retries;
            firstBackoff = from.firstBackoff;
            maxBackoff = from.maxBackoff;
            pollTimeout = from.pollTimeout;
            pollInterval = from.pollInterval;
            emptyCommitInterval = from.emptyCommitInterval;
            storeZone = from.storeZone;
            start = from.start;
            startEndText = from.startEndText;
            isolation = from.isolation;
            registerMBean = from.registerMBean;
            mbeanName = from.mbeanName;
        }
    }

    private ChangeFeedOptions with(java.util.function.Consumer<Draft> change) {
        Draft draft = new Draft(this);
        change.accept(draft);
        return new ChangeFeedOptions(draft);
    }

    /**
     * The local store's statuses: {@link #RESYNCHRONISE} for a purged history or a re-created database,
     * {@link #DATABASE_LOCKED} and {@link #DATABASE_BEING_WRITTEN} retried 5 times after pauses of 0.1, 0.2, 0.4, 0.8 and 1.6 seconds, a poll
     * timeout of 30 seconds, a poll interval of 1 second, empty batches committed at most every 5 seconds,
     * the store's time zone UTC, and a start from the beginning.
     *
     * @return the defaults
     */
    public static ChangeFeedOptions defaults() {
        Draft draft = new Draft();
        draft.resyncStatuses = Set.of(RESYNCHRONISE);
        draft.transientStatuses = Set.of(DATABASE_LOCKED, DATABASE_BEING_WRITTEN);
        draft.retries = 5;
        draft.firstBackoff = Duration.ofMillis(100);
        draft.maxBackoff = Duration.ofSeconds(5);
        return new ChangeFeedOptions(draft);
    }

    /**
     * These options with other statuses for a purged history.
     *
     * @param statuses every status that means it; they replace the others
     * @return the new options
     */
    public ChangeFeedOptions withResyncStatuses(Integer... statuses) {
        Set<Integer> set = Set.of(statuses);
        return with(draft -> draft.resyncStatuses = set);
    }

    /**
     * These options with other statuses to retry.
     *
     * @param statuses every status to retry; they replace the others
     * @return the new options
     */
    public ChangeFeedOptions withTransientStatuses(Integer... statuses) {
        Set<Integer> set = Set.of(statuses);
        return with(draft -> draft.transientStatuses = set);
    }

    /**
     * These options with another retry limit and backoff.
     *
     * @param retryLimit how many times a query is tried again
     * @param first      the pause before the first retry
     * @param longest    the longest pause
     * @return the new options
     * @throws IllegalArgumentException for a negative retry count or pause, or a first pause longer than
     *                                  the longest
     */
    public ChangeFeedOptions withRetries(int retryLimit, Duration first, Duration longest) {
        return with(draft -> {
            draft.retries = retryLimit;
            draft.firstBackoff = first;
            draft.maxBackoff = longest;
        });
    }

    /**
     * These options with another bound on a whole poll, retries and pauses included.
     *
     * @param timeout the longest a poll goes on retrying; positive
     * @return the new options
     * @see #pollTimeout()
     */
    public ChangeFeedOptions withPollTimeout(Duration timeout) {
        return with(draft -> draft.pollTimeout = timeout);
    }

    /**
     * These options with another pause between the store polls of {@link ChangeFeed#poll(Duration)}.
     *
     * @param interval the pause after a store poll that brought nothing; positive
     * @return the new options
     * @see #pollInterval()
     */
    public ChangeFeedOptions withPollInterval(Duration interval) {
        return with(draft -> draft.pollInterval = interval);
    }

    /**
     * These options with another interval between the checkpoint writes of empty batches.
     *
     * @param interval the least time between two writes of empty batches; zero writes each
     * @return the new options
     * @see #emptyCommitInterval()
     */
    public ChangeFeedOptions withEmptyCommitInterval(Duration interval) {
        return with(draft -> draft.emptyCommitInterval = interval);
    }

    /**
     * These options with the time zone in which the store writes its end texts.
     *
     * @param zone the store's time zone; the local store's is UTC
     * @return the new options
     */
    public ChangeFeedOptions withStoreZone(ZoneId zone) {
        return with(draft -> draft.storeZone = zone);
    }

    /**
     * These options with a feed without a checkpoint starting with a full listing (the default).
     *
     * @return the new options
     */
    public ChangeFeedOptions withStartFromBeginning() {
        return withStart(Start.BEGINNING, null);
    }

    /**
     * These options with a feed without a checkpoint starting at the store's current end: its first batch
     * is empty, and every change made before its end is skipped.
     *
     * @return the new options
     */
    public ChangeFeedOptions withStartFromNow() {
        return withStart(Start.NOW, null);
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
        return withStart(Start.END_TEXT, endText);
    }

    private ChangeFeedOptions withStart(Start where, String endText) {
        return with(draft -> {
            draft.start = where;
            draft.startEndText = endText;
        });
    }

    /**
     * These options with the store calls made in a child process of the feed's own, or in this JVM.
     *
     * @param where {@link Isolation#childProcess()} (with its trace and environment), or
     *              {@link Isolation#inProcess()}, the default
     * @return the new options
     */
    public ChangeFeedOptions withIsolation(Isolation where) {
        Objects.requireNonNull(where, "isolation");
        return with(draft -> draft.isolation = where);
    }

    /**
     * These options with the feed's MBean registered under the given name instead of
     * {@code com.kestrum.orlo.connector.feed:type=ChangeFeed,database=NAME}: for a host that runs feeds
     * on databases of the same name for several owners (connectors, tenants) and names each after its
     * owner. A name already taken is logged as a warning and the feed opens without its MBean.
     *
     * @param name the MBean's name; not a pattern
     * @return the new options
     * @throws IllegalArgumentException when the name is a pattern
     */
    public ChangeFeedOptions withMBeanName(ObjectName name) {
        Objects.requireNonNull(name, "name");
        if (name.isPattern()) {
            throw new IllegalArgumentException("An MBean's name is not a pattern: " + name);
        }
        return with(draft -> {
            draft.registerMBean = true;
            draft.mbeanName = name;
        });
    }

    /**
     * These options with the feed registering no MBean: for a host that publishes the feed's
     * {@link ChangeFeed#stats()} under names of its own.
     *
     * @return the new options
     */
    public ChangeFeedOptions withoutMBean() {
        return with(draft -> {
            draft.registerMBean = false;
            draft.mbeanName = null;
        });
    }

    /**
     * Whether an open feed registers its MBean.
     *
     * @return true by default; false after {@link #withoutMBean()}
     */
    public boolean registersMBean() {
        return registerMBean;
    }

    /**
     * The name the feed's MBean is registered under, when not the default one.
     *
     * @return the name given to {@link #withMBeanName}, or null for
     *         {@code com.kestrum.orlo.connector.feed:type=ChangeFeed,database=NAME} (or none, see
     *         {@link #registersMBean()})
     */
    public ObjectName mbeanName() {
        return mbeanName;
    }

    /**
     * Where the store calls are made: in this JVM, or in a child process of the feed's own.
     *
     * @return the isolation; {@link Isolation#inProcess()} by default
     */
    public Isolation isolation() {
        return isolation;
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
     * The pause of {@link ChangeFeed#poll(Duration)} between two store polls that brought no changes: it
     * polls the store, and while the batch is empty and its timeout not over, pauses this long (less at the
     * end of the timeout) and polls again. {@link ChangeFeed#poll()} does not pause.
     *
     * @return the poll interval; 1 second by default
     */
    public Duration pollInterval() {
        return pollInterval;
    }

    /**
     * The least time between two checkpoint writes for empty batches. A commit of a batch without changes
     * moves the feed's position at once but writes the checkpoint only when this long has passed since the
     * last write (or when nothing was written yet), so an idle consumer does not write a file or a row at
     * every poll. Nothing is lost by that: no change lies between the end text written and the position.
     * Batches with changes and full listings are always written.
     *
     * @return the interval; 5 seconds by default, zero to write every commit
     */
    public Duration emptyCommitInterval() {
        return emptyCommitInterval;
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
               && pollInterval.equals(that.pollInterval) && emptyCommitInterval.equals(that.emptyCommitInterval)
               && storeZone.equals(that.storeZone) && start == that.start
               && Objects.equals(startEndText, that.startEndText) && isolation.equals(that.isolation)
               && registerMBean == that.registerMBean && Objects.equals(mbeanName, that.mbeanName);
    }

    @Override
    public int hashCode() {
        return Objects.hash(resyncStatuses, transientStatuses, retries, firstBackoff, maxBackoff, pollTimeout,
                            pollInterval, emptyCommitInterval, storeZone, start, startEndText, isolation,
                            registerMBean, mbeanName);
    }

    @Override
    public String toString() {
        return "ChangeFeedOptions[resyncStatuses=" + resyncStatuses + ", transientStatuses=" + transientStatuses
               + ", retries=" + retries + ", firstBackoff=" + firstBackoff + ", maxBackoff=" + maxBackoff
               + ", pollTimeout=" + pollTimeout + ", pollInterval=" + pollInterval + ", emptyCommitInterval="
               + emptyCommitInterval + ", storeZone=" + storeZone + ", start=" + start
               + (startEndText == null ? "" : " " + startEndText)
               + (isolation.isChildProcess() ? ", isolation=" + isolation : "")
               + (!registerMBean ? ", no MBean" : mbeanName != null ? ", MBean " + mbeanName : "") + "]";
    }
}
