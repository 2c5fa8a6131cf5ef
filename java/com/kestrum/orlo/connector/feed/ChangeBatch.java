package com.kestrum.orlo.connector.feed;

import java.util.List;

/**
 * The changes one {@link ChangeFeed#poll()} found, between the end of the last committed batch and the
 * time the store's search ended. Hand it back to {@link ChangeFeed#commit} once its changes are handled.
 */
public final class ChangeBatch {
    private final List<Change> changes;
    private final String since;
    private final String until;
    private final boolean resync;

    ChangeBatch(List<Change> changes, String since, String until, boolean resync) {
        this.changes = List.copyOf(changes);
        this.since = since;
        this.until = until;
        this.resync = resync;
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
     * The end text: the time the store's search ended, in the store's text form. Committing the batch
     * makes it the since text of the next poll.
     *
     * @return the end text
     */
    public String until() {
        return until;
    }

    /**
     * Whether this batch replaces the consumer's whole view: the store purged the history the feed would
     * have continued from, so the batch lists every record present now, from the beginning, and records
     * deleted in the meantime may be missing from it.
     *
     * @return true for a full listing after a purge
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
