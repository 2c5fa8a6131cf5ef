package com.kestrum.orlo.connector.kafka;

import com.kestrum.orlo.connector.feed.CheckpointStore;

/**
 * The checkpoint of one database's feed inside a task: it starts from the offset Connect read and keeps
 * the feed's commits in memory. What Connect persists is the source offset of each record; after a
 * restart, the task starts again from that.
 */
final class OffsetCheckpoint implements CheckpointStore {
    private final String database;
    private volatile String end;

    /**
     * A checkpoint at the offset Connect holds.
     *
     * @param database the database, for messages
     * @param end      the end text of the offset, null when it has none
     */
    OffsetCheckpoint(String database, String end) {
        this.database = database;
        this.end = end;
    }

    /**
     * The end text of the feed's last commit, or the offset's while it made none.
     *
     * @return the end text, null when nothing was committed
     */
    String current() {
        return end;
    }

    @Override
    public String read(String server, String database) {
        return end;
    }

    @Override
    public void write(String server, String database, String endText) {
        end = endText;
    }

    @Override
    public String toString() {
        return "the Connect offset of " + database;
    }
}
