package com.kestrum.orlo.connector.feed;

import java.time.Duration;
import java.time.Instant;

/**
 * A snapshot of a feed's health, taken by {@link ChangeFeed#stats()} without waiting for a poll. An
 * immutable value.
 */
public final class ChangeFeedStats {
    private final boolean open;
    private final long polls;
    private final long changesSeen;
    private final long commits;
    private final long retries;
    private final long resyncs;
    private final long failedPolls;
    private final Instant lastPoll;
    private final Instant lastCommit;
    private final String lastError;
    private final Instant lastErrorTime;
    private final String mostRecentError;
    private final Instant mostRecentErrorTime;
    private final String committedUntil;
    private final Duration lag;

    ChangeFeedStats(boolean open, long polls, long changesSeen, long commits, long retries, long resyncs,
                    long failedPolls, Instant lastPoll, Instant lastCommit, Failure current, Failure mostRecent,
                    String committedUntil, Duration lag) {
        this.open = open;
        this.polls = polls;
        this.changesSeen = changesSeen;
        this.commits = commits;
        this.retries = retries;
        this.resyncs = resyncs;
        this.failedPolls = failedPolls;
        this.lastPoll = lastPoll;
        this.lastCommit = lastCommit;
        this.lastError = current == null ? null : current.message;
        this.lastErrorTime = current == null ? null : current.time;
        this.mostRecentError = mostRecent == null ? null : mostRecent.message;
        this.mostRecentErrorTime = mostRecent == null ? null : mostRecent.time;
        this.committedUntil = committedUntil;
        this.lag = lag;
    }

    /**
     * Whether the feed is open.
     *
     * @return false once it was closed
     */
    public boolean open() {
        return open;
    }

    /**
     * The polls that returned a batch.
     *
     * @return their number since open
     */
    public long polls() {
        return polls;
    }

    /**
     * The changes in the batches polled, counted again when a batch is delivered again.
     *
     * @return their number since open
     */
    public long changesSeen() {
        return changesSeen;
    }

    /**
     * The batches with changes, and the full listings, committed; a commit of an empty batch is not
     * counted.
     *
     * @return their number since open
     */
    public long commits() {
        return commits;
    }

    /**
     * The store calls tried again after a transient failure.
     *
     * @return their number since open
     */
    public long retries() {
        return retries;
    }

    /**
     * The full listings delivered in place of a batch: purged history, a replaced database, or a forced
     * resynchronisation.
     *
     * @return their number since open
     */
    public long resyncs() {
        return resyncs;
    }

    /**
     * The polls and commits that failed (each poll once, however often it retried).
     *
     * @return their number since open
     */
    public long failedPolls() {
        return failedPolls;
    }

    /**
     * When the last poll returned a batch.
     *
     * @return its time, or null before the first
     */
    public Instant lastPoll() {
        return lastPoll;
    }

    /**
     * When the last commit was written.
     *
     * @return its time, or null before the first
     */
    public Instant lastCommit() {
        return lastCommit;
    }

    /**
     * The message of the failure of the last poll or commit, cleared by the next poll that succeeds: an
     * alert on it ends once the feed recovered.
     *
     * @return the message, or null when the last poll succeeded or nothing failed
     */
    public String lastError() {
        return lastError;
    }

    /**
     * When the failure of {@link #lastError()} happened.
     *
     * @return its time, or null when there is none
     */
    public Instant lastErrorTime() {
        return lastErrorTime;
    }

    /**
     * The message of the most recent failure of a poll or commit, kept after later successes.
     *
     * @return the message, or null when nothing failed since open
     */
    public String mostRecentError() {
        return mostRecentError;
    }

    /**
     * When the most recent failure happened.
     *
     * @return its time, or null when nothing failed since open
     */
    public Instant mostRecentErrorTime() {
        return mostRecentErrorTime;
    }

    /**
     * The end text of the last committed batch.
     *
     * @return the end text, or null when none was committed
     */
    public String committedUntil() {
        return committedUntil;
    }

    /**
     * How far the consumer is behind the store: from the committed end to now, the end read in
     * {@link ChangeFeedOptions#storeZone()}.
     *
     * @return the lag, never negative; null when nothing was committed
     */
    public Duration lag() {
        return lag;
    }

    @Override
    public String toString() {
        return "ChangeFeedStats[open=" + open + ", polls=" + polls + ", changesSeen=" + changesSeen + ", commits="
               + commits + ", retries=" + retries + ", resyncs=" + resyncs + ", failedPolls=" + failedPolls
               + ", lastPoll=" + lastPoll + ", lastCommit=" + lastCommit + ", lastError=" + lastError + ", lastErrorTime="
               + lastErrorTime + ", mostRecentError=" + mostRecentError + ", mostRecentErrorTime=" + mostRecentErrorTime
               + ", committedUntil=" + committedUntil + ", lag=" + lag + "]";
    }

    /** A failure's message and time. */
    static final class Failure {
        final String message;
        final Instant time;

        Failure(String message, Instant time) {
            this.message = message;
            this.time = time;
        }
    }
}
