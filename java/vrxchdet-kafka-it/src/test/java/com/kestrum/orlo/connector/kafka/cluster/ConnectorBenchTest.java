package com.kestrum.orlo.connector.kafka.cluster;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.kestrum.orlo.connector.kafka.cluster.ConnectorBench.Arrival;
import java.time.Instant;
import java.util.List;
import java.util.stream.LongStream;
import org.junit.jupiter.api.Test;

/** How the benchmark's lag reads the writer's log, finds the record that covers a write and ranks the lags. */
class ConnectorBenchTest {
    /** The log's day and hundredths give the same store time as the window ends' text, and the clock's time. */
    @Test
    void logLineAndEndTextAgreeOnStoreTime() {
        long[] write = ConnectorBench.logLine("add 0000002A 2025-03-15 13:05:09.27 739325 4710927");
        assertEquals(0x2A, write[0]);
        assertEquals(DeliveryCheck.storeTime("2025-03-15 13:05:09.270"), write[1]);
        assertEquals(Instant.parse("2025-03-15T13:05:09.270Z").toEpochMilli(), ConnectorBench.epochMillis(write[1]));
        assertThrows(IllegalArgumentException.class, () -> ConnectorBench.logLine("add 0000002A 2025-03-15 13:05:09.27"));
    }

    /** A window holds the writes stamped below its end: a write at an end is in the next window. */
    @Test
    void theFirstRecordWhoseWindowEndsAfterTheWriteCoversIt() {
        List<Arrival> arrivals = List.of(new Arrival(100, 1_000), new Arrival(200, 2_000));
        assertEquals(1_000L, ConnectorBench.covering(arrivals, 99));
        assertEquals(2_000L, ConnectorBench.covering(arrivals, 100));
        assertNull(ConnectorBench.covering(arrivals, 200));
        assertNull(ConnectorBench.covering(null, 5));
    }

    /** Nearest rank: p50 of 1..100 is 50, p99 is 99, and one value is every percentile. */
    @Test
    void percentilesByNearestRank() {
        long[] values = LongStream.rangeClosed(1, 100).toArray();
        assertArrayEquals(new long[] {50, 99, 100}, new long[] {ConnectorBench.rank(values, 0.50),
            ConnectorBench.rank(values, 0.99), ConnectorBench.rank(values, 1.0)});
        assertEquals(7, ConnectorBench.rank(new long[] {7}, 0.99));
    }
}
