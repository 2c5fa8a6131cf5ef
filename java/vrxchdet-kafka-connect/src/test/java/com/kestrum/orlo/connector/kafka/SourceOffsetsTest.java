package com.kestrum.orlo.connector.kafka;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import org.apache.kafka.connect.errors.ConnectException;
import org.apache.kafka.connect.json.JsonConverter;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;

class SourceOffsetsTest {
    private static final Map<String, String> PARTITION = SourceOffsets.partition("", "orders.tdb");
    private static final String END = "2026-12-09 10:00:05.250";

    private static Map<String, Object> offset(Object format, Object end) {
        Map<String, Object> offset = new HashMap<>();
        offset.put("format", format);
        offset.put("end", end);
        return offset;
    }

    @Test
    void anOffsetReadsBackAsItsEndAsTheJsonConverterReturnsIt() {
        assertEquals(END, SourceOffsets.endText(PARTITION, SourceOffsets.offset(END)));
        assertEquals(END, SourceOffsets.endText(PARTITION, offset(1L, END)));
        assertNull(SourceOffsets.endText(PARTITION, SourceOffsets.offset(null)));
        assertNull(SourceOffsets.endText(PARTITION, null));
    }

    /**
     * The worker stores an offset under the bytes of {@code [connector, partition]} and reads partitions back as
     * HashMaps: the bytes of a partition read back must be those it was written with, in every JVM, or the
     * REST API, a PATCH and a restarted task miss the offset.
     */
    @Test
    void aPartitionReadBackByTheWorkerIsTheSameKey() {
        JsonConverter converter = new JsonConverter();
        converter.configure(Map.of("schemas.enable", "false"), true);
        byte[] written = converter.fromConnectData("connect-offsets", null, List.of("orders", PARTITION));
        Object readBack = converter.toConnectData("connect-offsets", written).value();
        assertEquals(new String(written, StandardCharsets.UTF_8),
                     new String(converter.fromConnectData("connect-offsets", null, readBack), StandardCharsets.UTF_8));
        assertEquals("[\"orders\",{\"server\":\"\",\"database\":\"orders.tdb\"}]", new String(written, StandardCharsets.UTF_8));
    }

    @Nested
    class AnOffsetThatDoesNotFitIsRefused {
        private void refused(Map<String, ?> offset, String why) {
            ConnectException refusal = assertThrows(ConnectException.class, () -> SourceOffsets.endText(PARTITION, offset));
            assertTrue(refusal.getMessage().contains(why) && refusal.getMessage().contains("orders.tdb"), refusal.getMessage());
        }

        @Test
        void anotherFormat() {
            refused(offset(2L, END), "format is not 1");
            refused(offset("1", END), "format is not 1");
            refused(Map.of("end", END), "format is not 1");
        }

        @Test
        void aMissingOrMalformedEnd() {
            refused(Map.of("format", 1), "no end text");
            refused(offset(1, 1_765_000_000_000L), "no end text");
            refused(offset(1, "2026-12-09 10:00:05"), "not of the form");
            refused(offset(1, "2026-12-09T10:00:05.250"), "not of the form");
            refused(offset(1, END + "\n"), "not of the form");
        }

        @Test
        void otherKeys() {
            Map<String, Object> offset = offset(1, END);
            offset.put("lsn", 5);
            refused(offset, "keys other than");
        }
    }

    @Nested
    class AlteringOffsets {
        private final VrxchdetSourceConnector connector = new VrxchdetSourceConnector();

        @Test
        void aDocumentedOffsetOrARemovalIsAccepted() {
            Map<Map<String, ?>, Map<String, ?>> offsets = new HashMap<>();
            offsets.put(PARTITION, Map.of("format", 1, "end", END));
            offsets.put(SourceOffsets.partition("srv", "stock.tdb"), null);
            assertTrue(connector.alterOffsets(Map.of(), offsets));
        }

        @Test
        void anyOtherPartitionOrOffsetIsNot() {
            assertThrows(ConnectException.class,
                () -> connector.alterOffsets(Map.of(), Map.of(Map.of("database", "orders.tdb"), Map.of("format", 1, "end", END))));
            assertThrows(ConnectException.class,
                () -> connector.alterOffsets(Map.of(), Map.of(PARTITION, Map.of("format", 1, "end", "yesterday"))));
            Map<String, Object> databaseFirst = new LinkedHashMap<>();
            databaseFirst.put("database", "orders.tdb");
            databaseFirst.put("server", "");
            ConnectException reordered = assertThrows(ConnectException.class,
                () -> connector.alterOffsets(Map.of(), Map.of(databaseFirst, Map.of("format", 1, "end", END))));
            assertTrue(reordered.getMessage().contains("in this order"), reordered.getMessage());
        }
    }
}
