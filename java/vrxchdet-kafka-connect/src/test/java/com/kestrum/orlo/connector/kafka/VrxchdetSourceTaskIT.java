package com.kestrum.orlo.connector.kafka;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.kestrum.orlo.connector.tests.IsolatedChildren;
import com.kestrum.orlo.connector.tests.SampleStore;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collection;
import java.util.Comparator;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import javax.management.MBeanServer;
import javax.management.ObjectName;
import java.lang.management.ManagementFactory;
import org.apache.kafka.common.config.ConfigValue;
import org.apache.kafka.common.metrics.PluginMetrics;
import org.apache.kafka.connect.data.Struct;
import org.apache.kafka.connect.errors.ConnectException;
import org.apache.kafka.connect.source.SourceRecord;
import org.apache.kafka.connect.source.SourceTaskContext;
import org.apache.kafka.connect.storage.OffsetStorageReader;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * A task on a real local store, its databases followed by feeds in child processes: the records of both
 * databases, a deletion and its tombstone, a restart from the offsets the records carried, the failures
 * of its start and of its polls, its MBeans and its stop; and the connector's check of a configuration
 * against the store. This JVM must never map the native library, and no child may outlive a test.
 */
class VrxchdetSourceTaskIT {
    private static final String PASSWORD = "task secret";
    private static final long WAIT_SECONDS = 60;
    private Path base;
    private SampleStore store;
    private final List<VrxchdetSourceTask> tasks = new ArrayList<>();

    @BeforeEach
    void makeStore() throws IOException, InterruptedException {
        Assumptions.assumeTrue(System.getenv("TESRA_FAULTS") == null, "TESRA_FAULTS is set");
        base = Path.of(System.getenv("TESRA_INI")).toAbsolutePath().getParent().resolveSibling("kafka-task");
        if (Files.exists(base)) {
            try (Stream<Path> paths = Files.walk(base)) {
                for (Path path : paths.sorted(Comparator.reverseOrder()).toList()) {
                    Files.delete(path);
                }
            }
        }
        store = SampleStore.create(base.resolve("store"), "a.tdb", PASSWORD, 5);
        store.admin("create-db", "b.tdb");
        store.admin("add", "b.tdb", "--count", "3");
    }

    @AfterEach
    void leaveNothingRunning() throws InterruptedException, IOException {
        tasks.forEach(VrxchdetSourceTask::stop);
        IsolatedChildren.assertEndedAndBridgeNeverLoaded("the stopped tasks");
    }

    private Map<String, String> props() {
        Map<String, String> props = new HashMap<>();
        props.put("databases", "a.tdb,b.tdb");
        props.put("task.databases", "a.tdb,b.tdb");
        props.put("tesra.ini", store.ini.toString());
        props.put("password", PASSWORD);
        props.put("topic.prefix", "shop");
        props.put("poll.interval.ms", "50");
        props.put("heartbeat.interval.ms", "0");
        return props;
    }

    private VrxchdetSourceTask start(Map<String, String> props, Map<Map<String, ?>, Map<String, Object>> offsets) {
        VrxchdetSourceTask task = new VrxchdetSourceTask();
        task.initialize(new Context(props, offsets));
        tasks.add(task);
        task.start(props);
        return task;
    }

    /** Polls until the records polled so far satisfy {@code done}, for at most a minute. */
    private static List<SourceRecord> pollUntil(VrxchdetSourceTask task, Predicate<List<SourceRecord>> done, String what)
            throws InterruptedException {
        List<SourceRecord> records = new ArrayList<>();
        long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS);
        while (!done.test(records)) {
            assertTrue(System.nanoTime() < giveUp, "waited " + WAIT_SECONDS + " s for " + what + "; polled " + records);
            List<SourceRecord> polled = task.poll();
            if (polled != null) {
                records.addAll(polled);
            }
        }
        return records;
    }

    private static Set<String> ids(Collection<SourceRecord> records, String topic, Predicate<SourceRecord> which) {
        Set<String> ids = new HashSet<>();
        for (SourceRecord record : records) {
            if (record.topic().equals(topic) && which.test(record)) {
                ids.add(((Struct) record.key()).getString("universal_id"));
            }
        }
        return ids;
    }

    private static boolean present(SourceRecord record) {
        return record.value() != null && !((Struct) record.value()).getBoolean("deleted");
    }

    /** The offset of each partition, as Connect would keep it: that of the last record. */
    private static Map<Map<String, ?>, Map<String, Object>> offsets(List<SourceRecord> records) {
        Map<Map<String, ?>, Map<String, Object>> offsets = new HashMap<>();
        for (SourceRecord record : records) {
            @SuppressWarnings("unchecked") // the task writes Map<String, Object> offsets
            Map<String, Object> offset = (Map<String, Object>) record.sourceOffset();
            offsets.put(record.sourcePartition(), offset);
        }
        return offsets;
    }

    @Test
    void bothDatabasesThenADeletionThenARestartFromTheOffsets() throws Exception {
        VrxchdetSourceTask task = start(props(), Map.of());
        List<SourceRecord> first = pollUntil(task,
            records -> ids(records, "shop.a.tdb", r -> true).size() == 5 && ids(records, "shop.b.tdb", r -> true).size() == 3,
            "the 5 records of a.tdb and the 3 of b.tdb");
        assertEquals(store.listing("a.tdb"), ids(first, "shop.a.tdb", VrxchdetSourceTaskIT::present));
        assertEquals(store.listing("b.tdb"), ids(first, "shop.b.tdb", VrxchdetSourceTaskIT::present));
        assertEquals(8, first.size(), "each record once: " + first);

        Set<String> before = store.listing("a.tdb");
        store.admin("delete", "a.tdb", "--random", "1", "--seed", "7");
        Set<String> gone = new HashSet<>(before);
        gone.removeAll(store.listing("a.tdb"));
        assertEquals(1, gone.size());
        List<SourceRecord> deletion = pollUntil(task, records -> records.stream().anyMatch(r -> r.value() == null),
            "the tombstone of the deleted record");
        assertEquals(2, deletion.size(), "the deletion and its tombstone: " + deletion);
        assertTrue(((Struct) deletion.get(0).value()).getBoolean("deleted"));
        assertEquals(gone, ids(deletion, "shop.a.tdb", r -> true));
        assertEquals(deletion.get(0).key(), deletion.get(1).key());

        List<SourceRecord> all = new ArrayList<>(first);
        all.addAll(deletion);
        task.stop();
        store.admin("add", "b.tdb", "--count", "1");
        Set<String> added = store.listing("b.tdb");
        added.removeAll(ids(first, "shop.b.tdb", r -> true));

        VrxchdetSourceTask restarted = start(props(), offsets(all));
        List<SourceRecord> after = pollUntil(restarted, records -> !records.isEmpty(), "the record added while stopped");
        // A poll more: nothing of what the first task wrote comes again.
        List<SourceRecord> more = restarted.poll();
        if (more != null) {
            after.addAll(more);
        }
        assertEquals(added, ids(after, "shop.b.tdb", VrxchdetSourceTaskIT::present));
        assertEquals(1, after.size(), "only the new record: " + after);
    }

    @Test
    void childrenKilledWithSigkillAreRestartedAndNoChangeIsLostOrRepeated() throws Exception {
        VrxchdetSourceTask task = start(props(), Map.of());
        List<SourceRecord> all = pollUntil(task, records -> records.size() == 8, "the 8 records of both databases");
        int kills = 0;
        for (int round = 0; round < 3; ++round) {
            List<ProcessHandle> children = ProcessHandle.current().children().filter(ProcessHandle::isAlive).toList();
            assertEquals(2, children.size(), "a child per database: " + children);
            for (ProcessHandle child : children) {
                assertTrue(child.destroyForcibly());
                assertFalse(child.onExit().get(10, TimeUnit.SECONDS).isAlive(), "waited 10 s for a killed child");
                ++kills;
            }
            store.admin("add", "a.tdb", "--count", "2");
            store.admin("add", "b.tdb", "--count", "1");
            int before = all.size();
            all.addAll(pollUntil(task, records -> records.size() >= 3, "the 3 records added after kill round " + round));
            assertEquals(before + 3, all.size());
        }
        assertEquals(6, kills);
        assertEquals(store.listing("a.tdb"), ids(all, "shop.a.tdb", r -> true));
        assertEquals(store.listing("b.tdb"), ids(all, "shop.b.tdb", r -> true));
        assertEquals(8 + 3 * 3, all.size(), "each record once across the kills");
    }

    @Test
    void aQuietDatabaseMovesItsOffsetWithHeartbeats() throws Exception {
        Map<String, String> props = props();
        props.put("heartbeat.interval.ms", "200");
        VrxchdetSourceTask task = start(props, Map.of());
        List<SourceRecord> listing = pollUntil(task, records -> records.size() == 8, "the 8 records of both databases");
        Map<Map<String, ?>, Map<String, Object>> first = offsets(listing);
        List<SourceRecord> beats = pollUntil(task,
            records -> records.stream().map(SourceRecord::sourcePartition).distinct().count() == 2,
            "a heartbeat of each database");
        for (SourceRecord beat : beats) {
            assertEquals("__vrxchdet-heartbeat.shop", beat.topic());
            String was = (String) first.get(beat.sourcePartition()).get("end");
            String now = (String) beat.sourceOffset().get("end");
            assertTrue(now.compareTo(was) > 0, "the offset of " + beat.sourcePartition() + " moved from " + was + " to " + now);
        }
    }

    /** Calls stop() while a poll is in flight, and checks it returned at once, ended the poll and left no child. */
    private static void stopsAtOnce(VrxchdetSourceTask task, CompletableFuture<List<SourceRecord>> polling, String what)
            throws Exception {
        long started = System.nanoTime();
        task.stop();
        long millis = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
        List<ProcessHandle> alive = ProcessHandle.current().children().filter(ProcessHandle::isAlive).toList();
        System.out.println("stop() during " + what + " took " + millis + " ms");
        assertEquals(List.of(), alive, "no child outlives stop() during " + what);
        assertTrue(millis < 1000, "stop() during " + what + " took " + millis + " ms; 100 ms are aimed at");
        assertEquals(null, polling.get(10, TimeUnit.SECONDS), "waited 10 s for the poll to end after stop(), during " + what);
    }

    private static CompletableFuture<List<SourceRecord>> pollInBackground(VrxchdetSourceTask task) {
        return CompletableFuture.supplyAsync(() -> {
            try {
                return task.poll();
            } catch (InterruptedException interrupted) {
                throw new IllegalStateException(interrupted);
            }
        });
    }

    @Test
    void stopEndsAPollAtOnceWhetherItPausesOrWaitsForTheStore() throws Exception {
        Map<String, String> props = props();
        props.put("poll.interval.ms", "600000");
        VrxchdetSourceTask task = start(props, Map.of());
        task.poll(); // the listings
        CompletableFuture<List<SourceRecord>> pausing = pollInBackground(task);
        Thread.sleep(300);
        assertFalse(pausing.isDone(), "a poll without changes pauses");
        stopsAtOnce(task, pausing, "a pause");

        // Children that do not answer: the poll waits in a store call, which stop() does not wait for.
        VrxchdetSourceTask frozen = start(props(), Map.of());
        List<ProcessHandle> children = ProcessHandle.current().children().filter(ProcessHandle::isAlive).toList();
        assertEquals(2, children.size(), "a child per database: " + children);
        for (ProcessHandle child : children) {
            Process kill = new ProcessBuilder("kill", "-STOP", Long.toString(child.pid())).start();
            assertTrue(kill.waitFor(10, TimeUnit.SECONDS) && kill.exitValue() == 0, "waited 10 s for kill -STOP");
        }
        CompletableFuture<List<SourceRecord>> waiting = pollInBackground(frozen);
        Thread.sleep(500);
        assertFalse(waiting.isDone(), "a poll waits for a child that does not answer");
        stopsAtOnce(frozen, waiting, "a store call");
    }

    @Test
    void anOffsetThatDoesNotFitFailsTheStartAndLeavesNoChild() {
        Map<Map<String, ?>, Map<String, Object>> offsets = Map.of(
            SourceOffsets.partition("", "b.tdb"), Map.of("format", 2L, "end", "2026-12-09 10:00:00.000"));
        ConnectException refusal = assertThrows(ConnectException.class, () -> start(props(), offsets));
        assertTrue(refusal.getMessage().contains("b.tdb") && refusal.getMessage().contains("format is not 1"),
            refusal.getMessage());
    }

    @Test
    void aWrongPasswordOrAMissingDatabaseFailsTheStartWithTheStoresStatusAndClosesTheOpenedFeeds() {
        Map<String, String> wrong = props();
        wrong.put("password", "not the password");
        ConnectException refusal = assertThrows(ConnectException.class, () -> start(wrong, Map.of()));
        assertTrue(refusal.getMessage().startsWith("The database a.tdb cannot be opened") && refusal.getMessage().contains("0x0112"),
            refusal.getMessage());

        Map<String, String> missing = props();
        missing.put("task.databases", "a.tdb,absent.tdb");
        refusal = assertThrows(ConnectException.class, () -> start(missing, Map.of()));
        assertTrue(refusal.getMessage().startsWith("The database absent.tdb cannot be opened") && refusal.getMessage().contains("0x0124"),
            refusal.getMessage());
    }

    /** The error messages of each key that has any, after validate() opened the databases. */
    private static Map<String, List<String>> errors(Map<String, String> props) {
        return new VrxchdetSourceConnector().validate(props).configValues().stream()
            .filter(value -> !value.errorMessages().isEmpty())
            .collect(Collectors.toMap(ConfigValue::name, ConfigValue::errorMessages));
    }

    @Test
    void validateOpensEachDatabaseAndPutsEachFailureOnTheFieldAtFault() throws IOException {
        assertEquals(Map.of(), errors(props()), "a store that opens every database");

        Map<String, String> wrong = props();
        wrong.put("password", "not the password");
        Map<String, List<String>> errors = errors(wrong);
        assertEquals(List.of("password"), List.copyOf(errors.keySet()), errors.toString());
        assertTrue(errors.get("password").get(0).contains("0x0112"), errors.toString());

        Map<String, String> missing = props();
        missing.put("databases", "a.tdb,absent.tdb,b.tdb");
        errors = errors(missing);
        assertEquals(List.of("databases"), List.copyOf(errors.keySet()), errors.toString());
        assertEquals(1, errors.get("databases").size(), "only the missing one: " + errors);
        assertTrue(errors.get("databases").get(0).startsWith("The database absent.tdb does not exist (status 0x0124"),
            errors.toString());

        Path noIdFile = Files.writeString(base.resolve("no-id-file.ini"), "KeyFilename=" + base.resolve("absent.id")
            + "\nDirectory=" + store.folder.resolve("data") + "\n");
        Map<String, String> unreadable = props();
        unreadable.put("tesra.ini", noIdFile.toString());
        errors = errors(unreadable);
        assertEquals(List.of("tesra.ini"), List.copyOf(errors.keySet()), errors.toString());
        assertTrue(errors.get("tesra.ini").get(0).contains("0x0110"), errors.toString());
    }

    @Test
    void aDatabaseThatKeepsFailingIsSkippedWhileTheOthersGoOnThenFailsTheTask() throws Exception {
        Map<String, String> props = props();
        props.put("name", "failing");
        props.put("store.retry.timeout.ms", "3000");
        VrxchdetSourceTask task = start(props, Map.of());
        pollUntil(task, records -> records.size() == 8, "the 8 records of both databases");

        // Overwritten in place: the store reads a file that is not a database, as while a copy is written.
        Files.write(store.folder.resolve("data").resolve("a.tdb"), "not a database ".repeat(300).getBytes(StandardCharsets.US_ASCII));
        long failingFrom = System.nanoTime();
        store.admin("add", "b.tdb", "--count", "2");
        List<SourceRecord> others = pollUntil(task, records -> records.size() == 2, "the 2 records added to b.tdb");
        assertEquals(Set.of("shop.b.tdb"), others.stream().map(SourceRecord::topic).collect(Collectors.toSet()));

        MBeanServer beans = ManagementFactory.getPlatformMBeanServer();
        ObjectName failing = VrxchdetSourceTask.metricsName("failing", 0, "a.tdb");
        assertEquals(false, beans.getAttribute(failing, "Connected"));
        assertTrue(((String) beans.getAttribute(failing, "LastError")).contains("0x0151"), "LastError of a.tdb");
        assertEquals(true, beans.getAttribute(VrxchdetSourceTask.metricsName("failing", 0, "b.tdb"), "Connected"));

        long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(WAIT_SECONDS);
        ConnectException failure = null;
        while (failure == null) {
            assertTrue(System.nanoTime() < giveUp, "waited " + WAIT_SECONDS + " s for the task to fail");
            try {
                task.poll();
            } catch (ConnectException expected) {
                failure = expected;
            }
        }
        long failedAfter = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - failingFrom);
        assertTrue(failedAfter >= 3000, "failed after " + failedAfter + " ms, before store.retry.timeout.ms");
        assertTrue(failure.getMessage().startsWith("Polls of the database a.tdb kept failing for ")
            && failure.getMessage().contains("status 0x0151") && failure.getMessage().contains("store.retry.timeout.ms"),
            failure.getMessage());

        // A failure that is not transient fails the task at the first poll that meets it.
        props.put("name", "removed");
        props.put("task.databases", "b.tdb");
        VrxchdetSourceTask removed = start(props, Map.of());
        pollUntil(removed, records -> records.size() == 5, "the 5 records of b.tdb");
        Files.delete(store.folder.resolve("data").resolve("b.tdb"));
        ConnectException gone = assertThrows(ConnectException.class, removed::poll);
        assertTrue(gone.getMessage().startsWith("Polls of the database b.tdb failed with status 0x0124, not transient: "),
            gone.getMessage());
    }

    @Test
    void eachDatabaseOfEachTaskHasItsMBeanWhileTheTaskRunsEvenForTwoConnectorsOnTheSameNames() throws Exception {
        Map<String, String> left = props();
        left.put("name", "left");
        Map<String, String> right = props();
        right.put("name", "right, eu");
        right.put("task.id", "3");
        for (Map<String, String> props : List.of(left, right)) {
            pollUntil(start(props, Map.of()), records -> records.size() == 8, "the 8 records of both databases");
        }
        MBeanServer beans = ManagementFactory.getPlatformMBeanServer();
        assertEquals(Set.of(), beans.queryNames(new ObjectName("com.kestrum.orlo.connector.feed:*"), null),
            "the feeds register no MBean of their own");
        assertEquals(4, beans.queryNames(new ObjectName(VrxchdetSourceTask.METRICS_TYPE + ",*"), null).size());
        for (Object[] task : new Object[][] {{"left", 0}, {"right, eu", 3}}) {
            for (Object[] database : new Object[][] {{"a.tdb", 5L}, {"b.tdb", 3L}}) {
                ObjectName name = VrxchdetSourceTask.metricsName((String) task[0], (Integer) task[1], (String) database[0]);
                assertEquals(true, beans.getAttribute(name, "Connected"), name.toString());
                assertEquals(database[1], beans.getAttribute(name, "TotalNumberOfEventsSeen"), name.toString());
                assertEquals(1L, beans.getAttribute(name, "NumberOfCommittedTransactions"), name.toString());
                assertTrue((Long) beans.getAttribute(name, "NumberOfPolls") >= 1, name.toString());
                assertTrue((Long) beans.getAttribute(name, "MilliSecondsBehindSource") >= 0, name.toString());
                assertTrue((Long) beans.getAttribute(name, "MilliSecondsSinceLastEvent") >= 0, name.toString());
                assertEquals(-1L, beans.getAttribute(name, "MilliSecondsFailing"), name.toString());
                assertEquals(null, beans.getAttribute(name, "LastError"), name.toString());
                assertTrue(((String) beans.getAttribute(name, "CommittedUntil")).matches("\\d{4}-.*"), name.toString());
            }
        }
        tasks.forEach(VrxchdetSourceTask::stop);
        assertEquals(Set.of(), beans.queryNames(new ObjectName(VrxchdetSourceTask.METRICS_TYPE + ",*"), null),
            "no MBean after stop");
    }

    /** What a worker gives a task: its configuration and the offsets it holds. */
    private static final class Context implements SourceTaskContext {
        private final Map<String, String> configs;
        private final Map<Map<String, ?>, Map<String, Object>> offsets;

        Context(Map<String, String> configs, Map<Map<String, ?>, Map<String, Object>> offsets) {
            this.configs = configs;
            this.offsets = offsets;
        }

        @Override
        public Map<String, String> configs() {
            return configs;
        }

        @Override
        public PluginMetrics pluginMetrics() {
            throw new UnsupportedOperationException("The task registers its figures as MBeans, not as plugin metrics");
        }

        @Override
        public OffsetStorageReader offsetStorageReader() {
            return new OffsetStorageReader() {
                @Override
                public <T> Map<String, Object> offset(Map<String, T> partition) {
                    return offsets.get(partition);
                }

                @Override
                public <T> Map<Map<String, T>, Map<String, Object>> offsets(Collection<Map<String, T>> partitions) {
                    Map<Map<String, T>, Map<String, Object>> found = new HashMap<>();
                    for (Map<String, T> partition : partitions) {
                        found.put(partition, offsets.get(partition));
                    }
                    return found;
                }
            };
        }
    }
}
