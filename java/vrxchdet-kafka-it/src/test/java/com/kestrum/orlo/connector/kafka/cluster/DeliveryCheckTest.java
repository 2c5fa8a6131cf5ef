package com.kestrum.orlo.connector.kafka.cluster;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.kestrum.orlo.connector.kafka.cluster.DeliveryCheck.Delivered;
import com.kestrum.orlo.connector.kafka.cluster.StoreWriter.Listed;
import com.kestrum.orlo.connector.kafka.cluster.StoreWriter.Write;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;

/** The check of a topic against the writes: it finds each kind of fault it counts, and nothing in a clean topic. */
class DeliveryCheckTest {
    private static final String E1 = "2026-12-09 10:00:01.000";
    private static final String E2 = "2026-12-09 10:00:02.000";
    private static final String E3 = "2026-12-09 10:00:03.000";
    private static final Map<Long, Listed> LISTING = Map.of(1L, new Listed(1, "U1", false), 2L, new Listed(2, "U2", true));
    /** U1 added before E1 and changed before E3; U2 added before E1 and deleted before E2. */
    private static final List<Write> WRITES = List.of(write("add", 1, "10:00:00.50"), write("add", 2, "10:00:00.60"),
                                                      write("delete", 2, "10:00:01.50"), write("change", 1, "10:00:02.20"));

    private static Write write(String operation, long record, String time) {
        return new Write("a.tdb", operation, record, DeliveryCheck.storeTime("2026-12-09 " + time + "0"), time);
    }

    private static Delivered present(String id, String end) {
        return new Delivered(id, end, false, false, false);
    }

    private static List<Delivered> clean() {
        return new ArrayList<>(List.of(present("U1", E1), present("U2", E1), new Delivered("U2", E2, true, false, false),
                                       new Delivered("U2", E2, true, true, false), present("U1", E3)));
    }

    /** duplicates, gaps, out of order, wrong states. */
    private static List<Integer> counts(List<Delivered> records) {
        DeliveryCheck.Result result = DeliveryCheck.check("a.tdb", WRITES, records, LISTING);
        assertEquals(records.size(), result.records());
        return List.of(result.duplicates(), result.gaps(), result.outOfOrder(), result.wrongState());
    }

    @Test
    void findsEachFaultAndNothingInACleanTopic() {
        assertEquals(List.of(0, 0, 0, 0), counts(clean()));
        // tesra-admin --json printed "modified":"2026-12-09 20:23:57.38","day":739959,"hundredths":7343738.
        assertEquals(739_959L * StoreWriter.HUNDREDTHS_PER_DAY + 7_343_738L, DeliveryCheck.storeTime("2026-12-09 20:23:57.380"));

        List<Delivered> windowTwice = clean();
        windowTwice.add(1, present("U1", E1));
        assertEquals(List.of(1, 0, 0, 0), counts(windowTwice), "a record of a window written twice");

        List<Delivered> replayed = clean();
        replayed.add(present("U2", E3));  // a restart from an old offset: U2's add again in a later window
        assertEquals(List.of(1, 0, 0, 1), counts(replayed), "a record no write of its window explains");

        List<Delivered> lost = clean();
        lost.remove(4);
        assertEquals(List.of(0, 1, 0, 0), counts(lost), "the change of U1 in no record");

        List<Delivered> backwards = clean();
        backwards.add(present("U1", E2));
        assertEquals(List.of(1, 0, 1, 0), counts(backwards), "U1's window E2 after its window E3, and no write of U1 in it");

        List<Delivered> noTombstone = clean();
        noTombstone.remove(3);
        assertEquals(List.of(0, 0, 0, 1), counts(noTombstone), "a deletion without its tombstone");

        List<Delivered> wrongFlag = clean();
        wrongFlag.set(4, new Delivered("U1", E3, true, false, false));
        wrongFlag.add(new Delivered("U1", E3, true, true, false));
        assertEquals(List.of(0, 0, 0, 2), counts(wrongFlag), "a change recorded as a deletion; U1 then deleted, listed present");
    }
}
