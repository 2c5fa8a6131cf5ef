package com.kestrum.orlo.connector.kafka;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.kestrum.orlo.connector.feed.Change;
import com.kestrum.orlo.connector.feed.ChangeBatch;
import java.util.List;
import java.util.Map;
import org.apache.kafka.connect.data.Struct;
import org.apache.kafka.connect.source.SourceRecord;
import org.junit.jupiter.api.Test;

class ChangeRecordsTest {
    private static final String A = "0123456789ABCDEF0123456789ABCDEF";
    private static final String B = "FEDCBA9876543210FEDCBA9876543210";
    private static final String C = "00000000000000000000000000000001";
    private static final String BEFORE = "2026-12-09 10:00:00.000";
    private static final String UNTIL = "2026-12-09 10:00:05.250";

    private static final ChangeBatch WINDOW = ChangeBatch.of(
        List.of(Change.present(A, 0x10), Change.deletion(B, 0x11), Change.present(C, 0xFFFFFFFFL)), BEFORE, UNTIL, false);

    private static Struct key(SourceRecord record) {
        return (Struct) record.key();
    }

    private static Struct value(SourceRecord record) {
        return (Struct) record.value();
    }

    private static String describe(SourceRecord record) {
        return key(record).getString("universal_id") + (record.value() == null ? " tombstone" : value(record).getBoolean("deleted") ? " deleted" : " present");
    }

    @Test
    void eachChangeIsARecordWithItsKeyValueAndHeaders() {
        List<SourceRecord> records = new ChangeRecords("srv", "sales/orders.tdb", "shop", false).of(WINDOW, BEFORE);
        assertEquals(List.of(A + " present", B + " deleted", C + " present"), records.stream().map(ChangeRecordsTest::describe).toList());
        for (SourceRecord record : records) {
            assertEquals("shop.sales_orders.tdb", record.topic());
            assertNull(record.kafkaPartition());
            assertEquals(Map.of("server", "srv", "database", "sales/orders.tdb"), record.sourcePartition());
            assertEquals("srv", key(record).getString("server"));
            assertEquals("sales/orders.tdb", key(record).getString("database"));
            assertEquals(key(record).getString("universal_id"), value(record).getString("universal_id"));
            assertEquals(UNTIL, value(record).getString("window_end"));
            assertEquals(UNTIL, record.headers().lastWithName(ChangeRecords.END_HEADER).value());
            assertEquals(false, record.headers().lastWithName(ChangeRecords.RESYNC_HEADER).value());
            key(record).validate();
            value(record).validate();
        }
        assertEquals(0x10L, value(records.get(0)).getInt64("record_id"));
        assertEquals(0xFFFFFFFFL, value(records.get(2)).getInt64("record_id"), "a record id beyond 31 bits stays positive");
    }

    @Test
    void onlyTheLastRecordOfAWindowCarriesItsEndAsOffset() {
        List<SourceRecord> records = new ChangeRecords("", "orders.tdb", "shop", false).of(WINDOW, BEFORE);
        assertEquals(List.of(BEFORE, BEFORE, UNTIL), records.stream().map(r -> r.sourceOffset().get("end")).toList());
        records.forEach(r -> assertEquals(1, r.sourceOffset().get("format")));
        List<SourceRecord> fromNothing = new ChangeRecords("", "orders.tdb", "shop", false).of(WINDOW, null);
        assertEquals(List.of("", "", UNTIL), fromNothing.stream().map(r -> r.sourceOffset().get("end")).toList(),
            "before the first window, an empty end: a restart starts the database as configured");
    }

    @Test
    void aDeletionIsFollowedByATombstoneWhenConfigured() {
        List<SourceRecord> records = new ChangeRecords("", "orders.tdb", "shop", true).of(WINDOW, BEFORE);
        assertEquals(List.of(A + " present", B + " deleted", B + " tombstone", C + " present"),
            records.stream().map(ChangeRecordsTest::describe).toList());
        SourceRecord tombstone = records.get(2);
        assertEquals(records.get(1).key(), tombstone.key());
        assertNull(tombstone.valueSchema(), "a tombstone has no value schema, or converters write a value");
        assertEquals(BEFORE, tombstone.sourceOffset().get("end"));
    }

    @Test
    void aWindowEndingInADeletionEndsWithItsTombstoneCarryingTheEnd() {
        ChangeBatch window = ChangeBatch.of(List.of(Change.present(A, 1), Change.deletion(B, 2)), BEFORE, UNTIL, false);
        List<SourceRecord> records = new ChangeRecords("", "orders.tdb", "shop", true).of(window, BEFORE);
        assertEquals(List.of(BEFORE, BEFORE, UNTIL), records.stream().map(r -> r.sourceOffset().get("end")).toList());
        assertNull(records.get(2).value());
    }

    @Test
    void aResyncIsMarkedOnEveryRecord() {
        ChangeBatch listing = ChangeBatch.of(List.of(Change.present(A, 1), Change.present(B, 2)), null, UNTIL, true);
        List<SourceRecord> records = new ChangeRecords("", "orders.tdb", "shop", true).of(listing, BEFORE);
        assertEquals(2, records.size());
        records.forEach(r -> assertEquals(true, r.headers().lastWithName(ChangeRecords.RESYNC_HEADER).value()));
        assertEquals(BEFORE, records.get(0).sourceOffset().get("end"), "a restart in the listing lists again");

        List<SourceRecord> emptied = new ChangeRecords("", "orders.tdb", "shop", true)
            .of(ChangeBatch.of(List.of(), null, UNTIL, true), BEFORE);
        assertEquals(1, emptied.size(), "a resync listing nothing still tells the sink to empty its view");
        assertEquals("", key(emptied.get(0)).getString("universal_id"));
        assertNull(emptied.get(0).value());
        assertNull(emptied.get(0).valueSchema(), "no value schema, or converters write a value");
        assertEquals(true, emptied.get(0).headers().lastWithName(ChangeRecords.RESYNC_HEADER).value());
        assertEquals(UNTIL, emptied.get(0).sourceOffset().get("end"));
    }

    @Test
    void aWindowWithoutChangesHasNoRecordsAndAHeartbeatMovesTheOffset() {
        ChangeBatch empty = ChangeBatch.of(List.of(), BEFORE, UNTIL, false);
        ChangeRecords mapping = new ChangeRecords("srv", "orders.tdb", "shop", true);
        assertTrue(mapping.of(empty, BEFORE).isEmpty());
        SourceRecord heartbeat = mapping.heartbeat(empty);
        assertEquals("__vrxchdet-heartbeat.shop", heartbeat.topic());
        assertEquals(Map.of("format", 1, "end", UNTIL), heartbeat.sourceOffset());
        assertEquals("orders.tdb", ((Struct) heartbeat.key()).getString("database"));
        ((Struct) heartbeat.value()).validate();
    }
}
