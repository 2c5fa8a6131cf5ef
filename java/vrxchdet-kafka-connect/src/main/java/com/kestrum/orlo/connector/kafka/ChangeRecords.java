package com.kestrum.orlo.connector.kafka;

import com.kestrum.orlo.connector.feed.Change;
import com.kestrum.orlo.connector.feed.ChangeBatch;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import org.apache.kafka.connect.data.Schema;
import org.apache.kafka.connect.data.SchemaBuilder;
import org.apache.kafka.connect.data.Struct;
import org.apache.kafka.connect.header.ConnectHeaders;
import org.apache.kafka.connect.header.Headers;
import org.apache.kafka.connect.source.SourceRecord;

/**
 * Turns the windows of one database into records. Each change is a record on the database's topic whose
 * key names the record (server, database, universal id) and whose value holds the universal id, the
 * record id, whether it was deleted and the window's end; a deletion is followed by a tombstone when so
 * configured. Every record carries the headers {@link #END_HEADER} and {@link #RESYNC_HEADER}. A resync
 * of a database without records is one record whose key has an empty universal id and no value.
 *
 * <p>Only the last record of a window carries the window's end as its source offset; the others carry
 * the offset the window started from. Connect commits the offset of a record only once it and all before
 * it are written, so a restart never skips a change of a window written in part.
 */
final class ChangeRecords {
    /** The header of the window's end text. */
    static final String END_HEADER = "vrxchdet.end";
    /** The header that says whether the window is a resync (a full listing that replaces the view). */
    static final String RESYNC_HEADER = "vrxchdet.resync";

    /** The schema of a record's key. */
    static final Schema KEY_SCHEMA = SchemaBuilder.struct().name("com.kestrum.orlo.vrxchdet.Key").version(1)
        .doc("The record a change is about")
        .field("server", Schema.STRING_SCHEMA)
        .field("database", Schema.STRING_SCHEMA)
        .field("universal_id", Schema.STRING_SCHEMA)
        .build();

    /** The schema of a record's value; optional, as tombstones have none. */
    static final Schema VALUE_SCHEMA = SchemaBuilder.struct().name("com.kestrum.orlo.vrxchdet.Change").version(1)
        .doc("One record's change: present (added or changed) or deleted, in the window ending at window_end")
        .field("universal_id", Schema.STRING_SCHEMA)
        .field("record_id", Schema.INT64_SCHEMA)
        .field("deleted", Schema.BOOLEAN_SCHEMA)
        .field("window_end", Schema.STRING_SCHEMA)
        .optional()
        .build();

    /** The schema of a heartbeat's key. */
    static final Schema HEARTBEAT_KEY_SCHEMA = SchemaBuilder.struct().name("com.kestrum.orlo.vrxchdet.HeartbeatKey")
        .version(1)
        .doc("The database a heartbeat is about")
        .field("server", Schema.STRING_SCHEMA)
        .field("database", Schema.STRING_SCHEMA)
        .build();

    /** The schema of a heartbeat's value. */
    static final Schema HEARTBEAT_VALUE_SCHEMA = SchemaBuilder.struct().name("com.kestrum.orlo.vrxchdet.Heartbeat")
        .version(1)
        .doc("The end of a window without changes")
        .field("window_end", Schema.STRING_SCHEMA)
        .build();

    private final String server;
    private final String database;
    private final String topic;
    private final String heartbeatTopic;
    private final boolean tombstones;
    private final Map<String, String> partition;

    /**
     * The records of one database, on the topic of the default format.
     *
     * @param server      the server, empty for the local store
     * @param database    the database's file name
     * @param topicPrefix the configured topic prefix
     * @param tombstones  whether a deletion is followed by a tombstone
     */
    ChangeRecords(String server, String database, String topicPrefix, boolean tombstones) {
        this(server, database, TopicNames.forDatabase(topicPrefix, database), topicPrefix, tombstones);
    }

    /**
     * The records of one database.
     *
     * @param server      the server, empty for the local store
     * @param database    the database's file name
     * @param topic       the database's topic
     * @param topicPrefix the configured topic prefix, for the heartbeats' topic
     * @param tombstones  whether a deletion is followed by a tombstone
     */
    ChangeRecords(String server, String database, String topic, String topicPrefix, boolean tombstones) {
        this.server = server;
        this.database = database;
        this.topic = topic;
        this.heartbeatTopic = TopicNames.heartbeats(topicPrefix);
        this.tombstones = tombstones;
        this.partition = SourceOffsets.partition(server, database);
    }

    /**
     * The database's topic.
     *
     * @return the topic
     */
    String topic() {
        return topic;
    }

    /**
     * The records of a window, in the store's order.
     *
     * @param batch         the window
     * @param startedFrom   the end text the window's position was at before it, null before the first
     * @return the records; empty for a window without changes
     */
    List<SourceRecord> of(ChangeBatch batch, String startedFrom) {
        List<Change> changes = batch.changes();
        if (changes.isEmpty() && batch.resync()) {
            return List.of(emptyListing(batch));
        }
        List<SourceRecord> records = new ArrayList<>(changes.size() + (tombstones ? changes.size() : 0));
        Map<String, Object> before = SourceOffsets.offset(startedFrom);
        Map<String, Object> after = SourceOffsets.offset(batch.until());
        for (int i = 0; i < changes.size(); ++i) {
            Change change = changes.get(i);
            boolean tombstone = tombstones && change.deleted();
            boolean last = i == changes.size() - 1;
            Struct key = new Struct(KEY_SCHEMA)
                .put("server", server)
                .put("database", database)
                .put("universal_id", change.universalId());
            Struct value = new Struct(VALUE_SCHEMA)
                .put("universal_id", change.universalId())
                .put("record_id", change.recordId())
                .put("deleted", change.deleted())
                .put("window_end", batch.until());
            records.add(new SourceRecord(partition, last && !tombstone ? after : before, topic, null, KEY_SCHEMA, key,
                VALUE_SCHEMA, value, null, headers(batch)));
            if (tombstone) {
                // No value schema: a converter writes a null value of a schema as a value (JSON "null"), not a tombstone.
                records.add(new SourceRecord(partition, last ? after : before, topic, null, KEY_SCHEMA, key,
                    null, null, null, headers(batch)));
            }
        }
        return records;
    }

    /**
     * The one record of a resync that lists nothing (the database has no records left): the key with an
     * empty universal id and no value, so that a sink still learns to empty its view of the database.
     */
    private SourceRecord emptyListing(ChangeBatch batch) {
        Struct key = new Struct(KEY_SCHEMA).put("server", server).put("database", database).put("universal_id", "");
        // No value schema, as for a tombstone: with one, a converter writes a value (JSON "null").
        return new SourceRecord(partition, SourceOffsets.offset(batch.until()), topic, null, KEY_SCHEMA, key,
            null, null, null, headers(batch));
    }

    /**
     * A heartbeat: a record on the heartbeat topic that moves the database's offset to a window's end.
     *
     * @param batch the window, without changes
     * @return the record
     */
    SourceRecord heartbeat(ChangeBatch batch) {
        Struct key = new Struct(HEARTBEAT_KEY_SCHEMA).put("server", server).put("database", database);
        Struct value = new Struct(HEARTBEAT_VALUE_SCHEMA).put("window_end", batch.until());
        return new SourceRecord(partition, SourceOffsets.offset(batch.until()), heartbeatTopic, null,
            HEARTBEAT_KEY_SCHEMA, key, HEARTBEAT_VALUE_SCHEMA, value, null, headers(batch));
    }

    private static Headers headers(ChangeBatch batch) {
        return new ConnectHeaders().addString(END_HEADER, batch.until()).addBoolean(RESYNC_HEADER, batch.resync());
    }
}
