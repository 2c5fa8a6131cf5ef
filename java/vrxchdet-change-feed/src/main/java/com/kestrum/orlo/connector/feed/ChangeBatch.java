package com.kestrum.orlo.connector.feed;

import java.time.Instant;
import java.time.ZoneId;
import java.time.ZoneOffset;
import java.util.List;
import java.util.Objects;

/**
 * The changes one {@link ChangeFeed#poll()} found, between the end of the last committed batch and the
 * time the store's search ended. Hand it back to {@link ChangeFeed#commit} once its changes are handled.
 */
public final class ChangeBatch {
    private final List<Change> changes;
    private final String since;
    private final String until;
    private final boolean resync;
    private final ZoneId storeZone;

    ChangeBatch(List<Change> changes, String since, String until, boolean resync) {
        this(changes, since, until, resync, ZoneOffset.UTC);
    }

    ChangeBatch(List<Change> changes, String since, String until, boolean resync, ZoneId storeZone) {
        this.changes = List.copyOf(changes);
        this.since = since;
        this.until = until;
        this.resync = resync;
        this.storeZone = storeZone;
    }

    /**
     * A batch as a feed delivers it, for a consumer's tests, with end texts in UTC.
     *
     * @param changes the changes, in the store's order
     * @param since   the end text of the batch this one follows; null for a listing from the beginning
     * @param until   the end text of this batch, {@code YYYY-MM-DD HH:MM:SS.mmm}
     * @param resync  whether the batch replaces the consumer's whole view
     * @return the batch
     * @throws IllegalArgumentException when an end text is not of the store's form
     */
    public static ChangeBatch of(List<Change> changes, String since, String until, boolean resync) {
        return of(changes, since, until, resync, ZoneOffset.UTC);
    }

    /**
     * A batch as a feed delivers it, for a consumer's tests.
     *
     * @param changes   the changes, in the store's order
     * @param since     the end text of the batch this one follows; null for a listing from the beginning
     * @param until     the end text of this batch, {@code YYYY-MM-DD HH:MM:SS.mmm}
     * @param resync    whether the batch replaces the consumer's whole view
     * @param storeZone the time zone of the store's end texts
     * @return the batch
     * @throws IllegalArgumentException when an end text is not of the store's form
     */
    public static ChangeBatch of(List<Change> changes, String since, String until, boolean resync, ZoneId storeZone) {
        for (String endText : since == null ? List.of(until) : List.of(since, until)) {
            String problem = EndText.problem(endText);
            if (problem != null) {
                throw new IllegalArgumentException(problem);
            }
        }
        return new ChangeBatch(changes, since, until, resync, Objects.requireNonNull(storeZone, "storeZone"));
    }

    /**
     * The changes in the store's order: by modification time, each record once, in its latest state.
     *
     * @return the changes, an unmodifiable list
     */
    public List<Change> changes() {
        return changes;
    }

    /**
     * The end text of the batch this one follows.
     *
     * @return the since text the store was asked with; null when the batch lists every record from the
     *         beginning (the first poll, or a resynchronisation)
     */
    public String since() {
        return since;
    }

    /**
     * The end text: the time the store's search ended, in the store's text form
     * {@code YYYY-MM-DD HH:MM:SS.mmm} and the store's time zone. Committing the batch makes it the since
     * text of the next poll.
     *
     * @return the end text
     */
    public String until() {
        return until;
    }

    /**
     * The end as a point in time, read in the store's time zone
     * ({@link ChangeFeedOptions#storeZone()}).
     *
     * @return the time the store's search ended
     */
    public Instant untilInstant() {
        return EndText.toInstant(until, storeZone);
    }

    /**
     * Whether this batch replaces the consumer's whole view: it lists every record present now, from the
     * beginning, and records deleted in the meantime may be missing from it. The feed delivers one when
     * the store purged the history the feed would have continued from, when the database's file was
     * replaced under the open feed, and after {@link ChangeFeed#forceResync()}.
     *
     * @return true for a full listing that replaces the view
     */
    public boolean resync() {
        return resync;
    }

    @Override
    public String toString() {
        return (resync ? "resync batch" : "batch") + " since " + since + " until " + until + ": " + changes.size()
            + " changes";
    }
}
