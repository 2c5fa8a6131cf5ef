package com.kestrum.orlo.connector.kafka.cluster;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.fasterxml.jackson.databind.JsonNode;
import com.fasterxml.jackson.databind.ObjectMapper;
import com.kestrum.orlo.connector.tests.SampleStore;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import org.apache.kafka.clients.consumer.ConsumerRecord;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * The source connector on a real cluster with exactly-once source support: one broker, two workers, three
 * databases with writers on all, one worker killed with SIGKILL during the writes (its tasks move to the
 * other) and feed children killed with SIGKILL again and again. A {@code read_committed} consumer must find
 * every write once, in the window that holds it, and each topic's last records must say what the store lists;
 * the offsets the connector committed must be the ends of the last windows read.
 */
@Timeout(value = 6, unit = TimeUnit.MINUTES, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class ExactlyOnceClusterIT {
    private static final String CONNECTOR = "orders";
    private static final String CONNECTOR_CLASS = "com.kestrum.orlo.connector.kafka.VrxchdetSourceConnector";
    private static final List<String> DATABASES = List.of("a.tdb", "b.tdb", "c.tdb");
    private static final String PASSWORD = "cluster secret";
    private static final Duration WRITING = Duration.ofSeconds(45);
    private static final Duration MOVE_BOUND = Duration.ofSeconds(90);
    private static final int CHILD_KILLS = 8;

    private final Path folder = Path.of(System.getProperty("vrxchdet.kafka.logs"), "ExactlyOnceClusterIT");
    private KafkaCluster cluster;
    private final List<StoreWriter.Churn> churns = new ArrayList<>();

    @AfterEach
    void leaveNothingRunning() {
        churns.forEach(StoreWriter.Churn::interrupt);
        if (cluster != null) {
            List<String> unclean = cluster.stop();
            assertEquals(List.of(), unclean, "processes that did not end by themselves; logs in " + cluster.folder());
            assertEquals(List.of(), cluster.stillRunning(), "processes left running");
        }
    }

    @Test
    void killedWorkerAndFeedChildrenNeitherLoseNorRepeatAWrite() throws Throwable {
        try {
            run();
        } catch (Throwable failure) {
            throw new AssertionError(failure.getMessage() + "\n(the cluster's logs are in " + folder.resolve("cluster") + ")",
                                     failure);
        }
    }

    private void run() throws Exception {
        SampleStore store = SampleStore.create(folder.resolve("store"), DATABASES.get(0), PASSWORD, 0);
        StoreWriter writer = new StoreWriter(store.admin, store.ini);
        List<StoreWriter.Write> writes = new ArrayList<>();
        for (String database : DATABASES) {
            if (!database.equals(DATABASES.get(0))) {
                store.admin("create-db", database);
            }
            writes.addAll(writer.write("add", database, "--count", "5"));
        }
        Path secrets = folder.resolve("secrets.properties");
        Files.writeString(secrets, "password=" + PASSWORD + "\n", StandardCharsets.UTF_8);

        cluster = KafkaCluster.start(folder.resolve("cluster"), Path.of(System.getProperty("vrxchdet.kafka.plugin")),
                                     Path.of(System.getProperty("vrxchdet.kafka.classpath")));
        KafkaCluster.Worker first = cluster.startWorker();
        KafkaCluster.Worker second = cluster.startWorker();
        Map<String, String> config = new HashMap<>();
        config.put("name", CONNECTOR);
        config.put("connector.class", CONNECTOR_CLASS);
        config.put("tasks.max", "2");
        config.put("exactly.once.support", "required");
        config.put("databases", String.join(",", DATABASES));
        config.put("tesra.ini", store.ini.toString());
        config.put("password", "${file:" + secrets + ":password}");
        config.put("topic.prefix", "shop");
        config.put("poll.interval.ms", "100");
        config.put("heartbeat.interval.ms", "0");
        JsonNode validation = first.rest().validate(CONNECTOR_CLASS, config);
        assertEquals(0, validation.path("error_count").asInt(), validation.toString());
        first.rest().putConfig(CONNECTOR, config);
        first.rest().awaitRunning(CONNECTOR, 2, MOVE_BOUND);

        long seed = System.nanoTime();
        System.err.println("writers and kills from seed " + seed);
        Random random = new Random(seed);
        for (String database : DATABASES) {
            churns.add(writer.churn(database, WRITING, random.nextLong()));
        }
        // The kills are spread over the writes: feed children every few seconds, the worker of task 0 at a third.
        long started = System.nanoTime();
        int workerKills = 0;
        int childKills = 0;
        for (int round = 0; round < CHILD_KILLS; ++round) {
            TimeUnit.MILLISECONDS.sleep(1500 + random.nextInt(2000));
            if (round == CHILD_KILLS / 3) {
                assertTrue(System.nanoTime() - started < WRITING.toNanos() / 2, "the worker is killed while the writers run");
                KafkaCluster.Worker victim = workerOfTask0(first, second);
                KafkaCluster.Worker survivor = victim == first ? second : first;
                KafkaCluster.Killed killed = cluster.kill(victim);
                ++workerKills;
                assertTrue(killed.children() > 0, "the killed worker ran feed children");
                assertEquals(List.of(), killed.survivors(), "feed children outlived their killed worker");
                System.err.printf("worker killed: its %d feed children ended %d ms after it%n", killed.children(),
                                  killed.childrenGone().toMillis());
                awaitAllOn(survivor);
            }
            childKills += killAChild(random);
        }
        for (StoreWriter.Churn churn : churns) {
            writes.addAll(churn.join(WRITING.plusSeconds(60)));
        }

        Map<String, String> lastEnds = new HashMap<>();
        DeliveryCheck.Result result = awaitDelivery(writer, writes, lastEnds);
        System.err.printf("writes %d, records read %d, worker kills %d, child kills %d, duplicates %d, gaps %d"
                          + " (out of order %d, wrong states %d)%n", result.writes(), result.records(), workerKills,
                          childKills, result.duplicates(), result.gaps(), result.outOfOrder(), result.wrongState());
        assertEquals(1, workerKills);
        assertTrue(childKills >= CHILD_KILLS - 1, childKills + " feed children killed");
        assertTrue(result.writes() > 300, result.writes() + " writes");
        assertEquals(0, result.duplicates(), "duplicates: " + result.problems());
        assertEquals(0, result.gaps(), "gaps: " + result.problems());
        assertEquals(0, result.outOfOrder(), "out of order: " + result.problems());
        assertEquals(0, result.wrongState(), "wrong states: " + result.problems());
        assertOffsetsAreTheLastWindows(cluster.workers().get(0).rest(), lastEnds);
    }

    /**
     * Stopped, the connector's committed offsets are the ends of the last windows read; an offset of another
     * format is refused with the connector's reason; resumed, it runs again; deleted, it is gone.
     */
    private static void assertOffsetsAreTheLastWindows(ConnectRest rest, Map<String, String> lastEnds) throws Exception {
        rest.stop(CONNECTOR);
        long giveUp = System.nanoTime() + MOVE_BOUND.toNanos();
        while (!"STOPPED".equals(rest.status(CONNECTOR).path("connector").path("state").asText())) {
            assertTrue(System.nanoTime() - giveUp < 0, "waited " + MOVE_BOUND.toSeconds() + " s for the connector to stop");
            TimeUnit.MILLISECONDS.sleep(250);
        }
        Map<String, String> committed = new HashMap<>();
        for (JsonNode each : rest.offsets(CONNECTOR).path("offsets")) {
            committed.put(each.path("partition").path("database").asText(), each.path("offset").path("end").asText());
        }
        assertEquals(lastEnds, committed, "committed offsets against the last windows read");

        JsonNode wrong = new ObjectMapper().readTree("{\"offsets\": [{\"partition\": {\"server\": \"\", \"database\": \"a.tdb\"},"
                                                     + " \"offset\": {\"format\": 2, \"end\": \"\"}}]}");
        ConnectRest.RestException refused = assertThrows(ConnectRest.RestException.class, () -> rest.patchOffsets(CONNECTOR, wrong));
        assertTrue(refused.getMessage().contains("format is not 1"), refused.getMessage());
        rest.resume(CONNECTOR);
        rest.awaitRunning(CONNECTOR, 2, MOVE_BOUND);
        rest.delete(CONNECTOR);
        giveUp = System.nanoTime() + MOVE_BOUND.toNanos();
        while (true) {
            try {
                JsonNode status = rest.status(CONNECTOR);
                assertTrue(System.nanoTime() - giveUp < 0, "waited " + MOVE_BOUND.toSeconds() + " s for the deleted connector"
                           + " to be gone: " + status);
                TimeUnit.MILLISECONDS.sleep(250);
            } catch (ConnectRest.RestException gone) {
                assertEquals(404, gone.status(), gone.getMessage());
                return;
            }
        }
    }

    private KafkaCluster.Worker workerOfTask0(KafkaCluster.Worker first, KafkaCluster.Worker second) throws Exception {
        for (JsonNode task : first.rest().status(CONNECTOR).path("tasks")) {
            if (task.path("id").asInt() == 0) {
                return task.path("worker_id").asText().equals(second.id()) ? second : first;
            }
        }
        throw new AssertionError("no task 0 in " + first.rest().status(CONNECTOR));
    }

    /** Waits until the connector and both tasks run on the survivor. */
    private void awaitAllOn(KafkaCluster.Worker survivor) throws Exception {
        long giveUp = System.nanoTime() + MOVE_BOUND.toNanos();
        JsonNode status = survivor.rest().awaitRunning(CONNECTOR, 2, MOVE_BOUND);
        while (!allOn(status, survivor.id())) {
            assertTrue(System.nanoTime() - giveUp < 0, "waited " + MOVE_BOUND.toSeconds() + " s for the tasks to move to "
                       + survivor + "; status " + status);
            TimeUnit.MILLISECONDS.sleep(250);
            status = survivor.rest().awaitRunning(CONNECTOR, 2, MOVE_BOUND);
        }
    }

    private static boolean allOn(JsonNode status, String worker) {
        for (JsonNode task : status.path("tasks")) {
            if (!task.path("worker_id").asText().equals(worker)) {
                return false;
            }
        }
        return true;
    }

    /** SIGKILLs one feed child of a live worker, picked at random; 1 when there was one. */
    private int killAChild(Random random) throws Exception {
        List<ProcessHandle> children = new ArrayList<>();
        cluster.workers().forEach(worker -> children.addAll(worker.children()));
        if (children.isEmpty()) {
            return 0;
        }
        ProcessHandle child = children.get(random.nextInt(children.size()));
        child.destroyForcibly();
        child.onExit().get(10, TimeUnit.SECONDS);
        return 1;
    }

    /**
     * Reads the topics until no write is missing any more, or for at most two minutes; then checks them. The end
     * of each database's last window read goes into {@code lastEnds}.
     */
    private DeliveryCheck.Result awaitDelivery(StoreWriter writer, List<StoreWriter.Write> writes, Map<String, String> lastEnds)
            throws Exception {
        Map<String, Map<Long, StoreWriter.Listed>> listings = new HashMap<>();
        for (String database : DATABASES) {
            listings.put(database, writer.list(database));
        }
        long giveUp = System.nanoTime() + TimeUnit.MINUTES.toNanos(2);
        try (CommittedReader reader = new CommittedReader(cluster.bootstrapServers())) {
            while (true) {
                DeliveryCheck.Result result = DeliveryCheck.Result.none();
                for (String database : DATABASES) {
                    List<DeliveryCheck.Delivered> records = new ArrayList<>();
                    for (ConsumerRecord<byte[], byte[]> record : reader.readToEnd(List.of("shop." + database), Duration.ofSeconds(60))) {
                        records.add(DeliveryCheck.parse(record));
                    }
                    lastEnds.put(database, records.get(records.size() - 1).windowEnd());
                    result = result.plus(DeliveryCheck.check(database, writes.stream()
                        .filter(write -> write.database().equals(database)).toList(), records, listings.get(database)));
                }
                if (result.gaps() == 0 || System.nanoTime() - giveUp > 0) {
                    return result;
                }
                TimeUnit.SECONDS.sleep(1);
            }
        }
    }
}
