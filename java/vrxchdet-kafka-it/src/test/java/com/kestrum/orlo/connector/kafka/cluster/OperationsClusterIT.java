package com.kestrum.orlo.connector.kafka.cluster;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.fasterxml.jackson.databind.JsonNode;
import com.fasterxml.jackson.databind.ObjectMapper;
import com.fasterxml.jackson.databind.node.ArrayNode;
import com.fasterxml.jackson.databind.node.ObjectNode;
import com.kestrum.orlo.connector.tests.SampleStore;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.time.Duration;
import java.time.Instant;
import java.time.LocalDateTime;
import java.time.ZoneOffset;
import java.time.format.DateTimeFormatter;
import java.time.temporal.ChronoUnit;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeMap;
import java.util.TreeSet;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;
import java.util.stream.Collectors;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * What an operator does to a running source connector, on a cluster of real servers (a KRaft broker and one
 * distributed Connect worker with exactly-once source support, started once for the class): databases replaced
 * and purged under it (resync windows, and the view a consumer builds from the topic equal to the store's
 * listing), its offsets read, refused and reset through the REST API, and the errors it reports: the fields
 * of a configuration at fault, and a task whose database is gone while another connector keeps running.
 *
 * <p>Each test has connectors and databases of its own and deletes its connectors at the end. The servers'
 * logs stay in {@code target/kafka-logs/operations/}.
 */
class OperationsClusterIT {
    private static final String CONNECTOR_CLASS = "com.kestrum.orlo.connector.kafka.VrxchdetSourceConnector";
    private static final String PASSWORD = "operations secret";
    private static final String PREFIX = "ops";
    /** How long the records of a step may take to reach the topic, a connector to change state. */
    private static final Duration BOUND = Duration.ofMinutes(2);
    private static final DateTimeFormatter SECONDS = DateTimeFormatter.ofPattern("uuuu-MM-dd HH:mm:ss");
    private static final ObjectMapper JSON = new ObjectMapper();

    private static KafkaCluster cluster;
    private static ConnectRest rest;
    private static SampleStore store;
    private static StoreWriter writer;

    @BeforeAll
    static void startCluster() throws IOException, InterruptedException {
        Path target = Path.of(System.getenv("TESRA_INI")).toAbsolutePath().getParent().getParent();
        store = SampleStore.create(target.resolve("operations-store"), "swap.tdb", PASSWORD, 4);
        writer = new StoreWriter(store.admin, store.ini);
        cluster = KafkaCluster.start(Path.of(System.getProperty("vrxchdet.kafka.logs")).resolve("operations"),
                                     Path.of(System.getProperty("vrxchdet.kafka.plugin")),
                                     Path.of(System.getProperty("vrxchdet.kafka.classpath")));
        rest = cluster.startWorker().rest();
    }

    @AfterAll
    static void stopCluster() {
        if (cluster == null) {
            return;
        }
        List<String> unclean = cluster.stop();
        List<String> running = cluster.stillRunning();
        assertTrue(unclean.isEmpty(), "not stopped cleanly: " + unclean + "; logs in " + cluster.folder());
        assertTrue(running.isEmpty(), "still running after the cluster stopped: " + running);
    }

    /**
     * A database replaced twice under a running task (by one with other records, then by an empty one) and
     * another purged while its connector was stopped, then reset through the REST API to an end before the purge:
     * each gets resync windows, and the view built from the topic (emptied at the first record of each resync
     * window) equals the store's listing.
     */
    @Test
    void replacedAndPurgedDatabasesAreListedAgainAsResyncWindows() throws Exception {
        String connector = "resync";
        store.admin("create-db", "purge.tdb");
        writer.write("add", "purge.tdb", "--count", "6");
        String swapTopic = topic("swap.tdb");
        String purgeTopic = topic("purge.tdb");
        try {
            rest.putConfig(connector, config(connector, "swap.tdb,purge.tdb"));
            rest.awaitRunning(connector, 1, BOUND);
            List<DeliveryCheck.Delivered> swap = awaitView(swapTopic, "swap.tdb", 0);
            List<DeliveryCheck.Delivered> purge = awaitView(purgeTopic, "purge.tdb", 0);
            Set<String> swapFirst = view(swap);
            assertEquals(4, swapFirst.size(), "the first listing of swap.tdb");
            Set<String> purgeFirst = view(purge);
            String purgeFirstEnd = purge.get(purge.size() - 1).windowEnd();
            assertEquals(6, purgeFirst.size(), "the first listing of purge.tdb");

            // Replaced by a database with other records, renamed over it while the task follows it.
            store.admin("create-db", "swap-next.tdb");
            store.admin("add", "swap-next.tdb", "--count", "3");
            Set<String> next = present(writer.list("swap-next.tdb"));
            Files.move(data("swap-next.tdb"), data("swap.tdb"), StandardCopyOption.REPLACE_EXISTING,
                       StandardCopyOption.ATOMIC_MOVE);
            swap = awaitView(swapTopic, "swap.tdb", 1);
            assertEquals(next, view(swap), "the view of swap.tdb after it was replaced");
            List<DeliveryCheck.Delivered> window = lastResyncWindow(swap);
            assertEquals(next, window.stream().map(DeliveryCheck.Delivered::universalId).collect(Collectors.toSet()),
                         "the resync window of the replacement: " + window);
            assertTrue(window.stream().noneMatch(DeliveryCheck.Delivered::deleted), "a deletion in " + window);

            // Replaced by an empty database: one record of no universal id and no value, still a resync.
            store.admin("create-db", "swap-empty.tdb");
            Files.move(data("swap-empty.tdb"), data("swap.tdb"), StandardCopyOption.REPLACE_EXISTING,
                       StandardCopyOption.ATOMIC_MOVE);
            swap = awaitView(swapTopic, "swap.tdb", 2);
            window = lastResyncWindow(swap);
            assertEquals(1, window.size(), "the resync window of the empty replacement: " + window);
            assertEquals("", window.get(0).universalId(), "its record's universal id");
            assertTrue(window.get(0).tombstone(), "its record has a value: " + window.get(0));
            assertEquals(Set.of(), view(swap), "the view of the empty swap.tdb");

            // One deletion read by the running connector, two more made while it is stopped; then every
            // deletion record is purged, so the store no longer knows of the last two.
            List<String> ids = recordIds(writer.list("purge.tdb"));
            writer.write("delete", "purge.tdb", ids.get(0));
            purge = awaitView(purgeTopic, "purge.tdb", 0);
            String readUpTo = purge.get(purge.size() - 1).windowEnd();
            stopAndAwait(connector);
            List<StoreWriter.Write> unseen = writer.write("delete", "purge.tdb", ids.get(1), ids.get(2));
            Set<String> gone = universalIds(writer, unseen);
            String before = nextSecondAfter(unseen.get(unseen.size() - 1).modified());
            awaitStoreClockPast(before);
            JsonNode purged = JSON.readTree(store.admin("purge", "purge.tdb", "--before", before, "--json").strip());
            assertEquals(3, purged.path("removed").asInt(), "deletion records purged: " + purged);
            assertTrue(readUpTo.compareTo(before) < 0, "the committed end " + readUpTo + " is before the purge at " + before);
            rest.resume(connector);
            rest.awaitRunning(connector, 1, BOUND);
            purge = awaitView(purgeTopic, "purge.tdb", 1);
            Set<String> listed = present(writer.list("purge.tdb"));
            assertEquals(3, listed.size(), "records left in purge.tdb");
            window = lastResyncWindow(purge);
            assertEquals(listed, window.stream().map(DeliveryCheck.Delivered::universalId).collect(Collectors.toSet()),
                         "the resync window after the purge: " + window);
            assertTrue(purgeFirst.containsAll(gone), "the records deleted while stopped were in the first listing");
            assertTrue(gone.stream().noneMatch(view(purge)::contains), "the view still holds " + gone);

            // The same through the REST API: the offset reset to the end of the first listing, before the purge.
            stopAndAwait(connector);
            rest.patchOffsets(connector, offsets("purge.tdb", purgeFirstEnd));
            rest.resume(connector);
            rest.awaitRunning(connector, 1, BOUND);
            purge = awaitView(purgeTopic, "purge.tdb", 2);
            window = lastResyncWindow(purge);
            assertEquals(listed, window.stream().map(DeliveryCheck.Delivered::universalId).collect(Collectors.toSet()),
                         "the resync window after the offset was reset to " + purgeFirstEnd + ": " + window);
            System.out.printf("resync: swap.tdb %d records, %d resync windows; purge.tdb %d records, %d resync windows,"
                              + " %d deletion records purged before %s%n", swap.size(), resyncWindows(swap), purge.size(),
                              resyncWindows(purge), purged.path("removed").asInt(), before);
        } finally {
            deleteQuietly(connector);
        }
    }

    /**
     * The offsets of a stopped connector through the REST API: read in the connector's form, a malformed one
     * refused with the connector's message (and nothing changed), an earlier end taken; after the resume, the
     * records after that end come again, and only they.
     */
    @Test
    void offsetsAreReadRefusedAndResetThroughTheRestApi() throws Exception {
        String connector = "reset";
        String database = "reset.tdb";
        String topic = topic(database);
        store.admin("create-db", database);
        writer.write("add", database, "--count", "5");
        try {
            rest.putConfig(connector, config(connector, database));
            rest.awaitRunning(connector, 1, BOUND);
            List<DeliveryCheck.Delivered> first = awaitView(topic, database, 0);
            String listingEnd = first.get(first.size() - 1).windowEnd();
            Set<String> added = universalIds(writer, writer.write("add", database, "--count", "3"));
            List<DeliveryCheck.Delivered> all = awaitView(topic, database, 0);
            String lastEnd = all.get(all.size() - 1).windowEnd();
            assertTrue(listingEnd.compareTo(lastEnd) < 0, "the adds came in a later window than the listing");

            stopAndAwait(connector);
            assertEquals(offsets(database, lastEnd), rest.offsets(connector),
                         "the offsets of the stopped connector: its partition and the end of its last record");
            Map<String, String> refusals = new LinkedHashMap<>();
            refusals.put("its format is not 1", "{\"format\": 2, \"end\": \"" + listingEnd + "\"}");
            refusals.put("its end is not of the form YYYY-MM-DD HH:MM:SS.mmm", "{\"format\": 1, \"end\": \"yesterday\"}");
            List<Integer> statuses = new ArrayList<>();
            for (Map.Entry<String, String> refusal : refusals.entrySet()) {
                ObjectNode body = offsets(database, null);
                ((ObjectNode) body.withArray("offsets").get(0)).set("offset", JSON.readTree(refusal.getValue()));
                ConnectRest.RestException refused = assertThrows(ConnectRest.RestException.class,
                    () -> rest.patchOffsets(connector, body), "the offset " + refusal.getValue() + " was taken");
                statuses.add(refused.status());
                assertTrue(refused.status() >= 400 && refused.getMessage().contains(refusal.getKey())
                           && refused.getMessage().contains(database), "the answer to " + refusal.getValue() + ": "
                           + refused.getMessage());
            }
            assertEquals(offsets(database, lastEnd), rest.offsets(connector), "the offsets after the refusals");
            rest.patchOffsets(connector, offsets(database, listingEnd));
            assertEquals(offsets(database, listingEnd), rest.offsets(connector), "the offsets after the reset");

            rest.resume(connector);
            rest.awaitRunning(connector, 1, BOUND);
            List<DeliveryCheck.Delivered> again = await(topic, "the records after " + listingEnd + " to come again", records -> {
                Set<String> ids = after(records, lastEnd).stream().map(DeliveryCheck.Delivered::universalId)
                    .collect(Collectors.toSet());
                return ids.containsAll(added);
            });
            List<DeliveryCheck.Delivered> repeated = after(again, lastEnd);
            assertEquals(added.size(), repeated.size(), "records after the resume: " + repeated);
            assertEquals(added, repeated.stream().map(DeliveryCheck.Delivered::universalId).collect(Collectors.toSet()),
                         "the records after the resume");
            assertTrue(repeated.stream().noneMatch(DeliveryCheck.Delivered::resync), "a resync after the reset: " + repeated);
            assertEquals(present(writer.list(database)), view(again), "the view of " + database);
            System.out.printf("offsets: %d records read, %d offsets refused (HTTP %s), %d records again after the reset to %s%n",
                              again.size(), refusals.size(), statuses, repeated.size(), listingEnd);
        } finally {
            deleteQuietly(connector);
        }
    }

    /**
     * Errors: the validation puts each error on the field at fault; a task whose database is removed, or
     * replaced by a file that is no database, fails with the store's status and message in its trace; one whose
     * database keeps failing with a transient status is retried and fails past {@code store.retry.timeout.ms};
     * a connector on a healthy database keeps running and delivering.
     */
    @Test
    void errorsAreReportedOnTheirFieldsAndFailOnlyTheirTask() throws Exception {
        store.admin("create-db", "healthy.tdb");
        store.admin("add", "healthy.tdb", "--count", "2");
        store.admin("create-db", "gone.tdb");
        store.admin("add", "gone.tdb", "--count", "2");
        store.admin("create-db", "garbled.tdb");
        store.admin("add", "garbled.tdb", "--count", "2");
        store.admin("create-db", "stuck.tdb");
        store.admin("add", "stuck.tdb", "--count", "2");

        // The validation of the configuration's values, and of the store behind them.
        JsonNode valid = rest.validate(CONNECTOR_CLASS, config("check", "healthy.tdb"));
        assertEquals(Map.of(), errors(valid), "the errors of a valid configuration");
        Map<String, String> badValues = config("check", "healthy.tdb");
        badValues.put("topic.prefix", "two words");
        badValues.put("poll.interval.ms", "0");
        Map<String, List<String>> found = errors(rest.validate(CONNECTOR_CLASS, badValues));
        assertEquals(Set.of("topic.prefix", "poll.interval.ms"), found.keySet(), "fields at fault: " + found);
        assertTrue(found.get("topic.prefix").toString().contains("not ' '"), "topic.prefix: " + found);
        assertTrue(found.get("poll.interval.ms").toString().contains("at least 10"), "poll.interval.ms: " + found);

        Map<String, String> wrongPassword = config("check", "healthy.tdb");
        wrongPassword.put("password", "not the password");
        Map<String, String> missing = config("check", "healthy.tdb,missing.tdb");
        Path brokenIni = store.folder.resolve("broken-id.ini");
        Path brokenId = store.folder.resolve("broken.id");
        Files.writeString(brokenId, "not an ID file\n", StandardCharsets.UTF_8);
        Files.writeString(brokenIni, store.iniContent().replaceAll("(?m)^KeyFilename=.*$", "KeyFilename=" + brokenId),
                          StandardCharsets.UTF_8);
        Map<String, String> unreadableId = config("check", "healthy.tdb");
        unreadableId.put("tesra.ini", brokenIni.toString());
        Map<String, Map<String, String>> storeCases = new LinkedHashMap<>();
        storeCases.put("password", wrongPassword);
        storeCases.put("databases", missing);
        storeCases.put("tesra.ini", unreadableId);
        Map<String, String> storeMessages = Map.of("password", "0x0112", "databases", "missing.tdb", "tesra.ini", "0x0111");
        for (Map.Entry<String, Map<String, String>> each : storeCases.entrySet()) {
            found = errors(rest.validate(CONNECTOR_CLASS, each.getValue()));
            assertEquals(Set.of(each.getKey()), found.keySet(), "fields at fault: " + found);
            assertTrue(found.get(each.getKey()).toString().contains(storeMessages.get(each.getKey())),
                       each.getKey() + ": " + found);
        }

        // Three databases taken away from running tasks, a fourth left alone.
        List<String> connectors = List.of("gone", "garbled", "stuck", "healthy");
        try {
            for (String connector : connectors) {
                Map<String, String> config = config(connector, connector + ".tdb");
                config.put("store.retry.timeout.ms", "3000");
                rest.putConfig(connector, config);
            }
            for (String connector : connectors) {
                rest.awaitRunning(connector, 1, BOUND);
                awaitView(topic(connector + ".tdb"), connector + ".tdb", 0);
            }
            Files.delete(data("gone.tdb"));
            Path garbage = data("garbage.tdb");
            Files.writeString(garbage, "no database at all\n".repeat(300), StandardCharsets.UTF_8);
            Files.move(garbage, data("garbled.tdb"), StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
            // Written over in place, as by a copy that never ends: the store answers that it is being written, which
            // a later poll may find whole again.
            Files.writeString(data("stuck.tdb"), "no database at all\n".repeat(300), StandardCharsets.UTF_8);
            String goneTrace = awaitFailedTask("gone");
            String garbledTrace = awaitFailedTask("garbled");
            for (String expected : List.of("gone.tdb", "0x0124", "The database file does not exist")) {
                assertTrue(goneTrace.contains(expected), "the trace of gone lacks '" + expected + "': " + goneTrace);
            }
            for (String expected : List.of("garbled.tdb", "0x0125", "The file is not a database of this store")) {
                assertTrue(garbledTrace.contains(expected), "the trace of garbled lacks '" + expected + "': " + garbledTrace);
            }
            Set<String> added = universalIds(writer, writer.write("add", "healthy.tdb", "--count", "2"));
            List<DeliveryCheck.Delivered> healthy = awaitView(topic("healthy.tdb"), "healthy.tdb", 0);
            assertTrue(view(healthy).containsAll(added), "the records added to healthy.tdb after the failures");
            String stuck = awaitFailedTask("stuck");
            for (String expected : List.of("stuck.tdb", "0x0151", "store.retry.timeout.ms")) {
                assertTrue(stuck.contains(expected), "the trace of stuck lacks '" + expected + "': " + stuck);
            }
            JsonNode status = rest.awaitRunning("healthy", 1, Duration.ofSeconds(1));
            System.out.printf("errors: healthy.tdb %d records, still %s beside 3 failed tasks:%n"
                              + "  %s%n  %s%n  stuck.tdb: %s%n", healthy.size(),
                              status.path("tasks").get(0).path("state").asText(),
                              goneTrace.lines().findFirst().orElse(""),
                              garbledTrace.lines().findFirst().orElse(""), stuck.lines().findFirst().orElse(""));
        } finally {
            for (String connector : connectors) {
                deleteQuietly(connector);
            }
        }
    }

    // --- the connector and its topics ---

    private static Map<String, String> config(String name, String databases) {
        Map<String, String> config = new HashMap<>();
        config.put("name", name);
        config.put("connector.class", CONNECTOR_CLASS);
        config.put("tasks.max", "1");
        config.put("exactly.once.support", "required");
        config.put("databases", databases);
        config.put("tesra.ini", store.ini.toString());
        config.put("password", PASSWORD);
        config.put("topic.prefix", PREFIX);
        config.put("poll.interval.ms", "200");
        config.put("heartbeat.interval.ms", "0");
        config.put("start", "beginning");
        return config;
    }

    private static String topic(String database) {
        return PREFIX + "." + database;
    }

    private static Path data(String database) {
        return store.folder.resolve("data").resolve(database);
    }

    private static void stopAndAwait(String connector) throws IOException, InterruptedException {
        rest.stop(connector);
        awaitStatus(connector, "to be STOPPED with no tasks",
                    status -> "STOPPED".equals(status.path("connector").path("state").asText())
                              && status.path("tasks").isEmpty());
    }

    /** Waits for the connector's only task to fail; its trace. */
    private static String awaitFailedTask(String connector) throws IOException, InterruptedException {
        awaitStatus(connector, "its task to be FAILED", status -> status.path("tasks").size() == 1
                    && "FAILED".equals(status.path("tasks").get(0).path("state").asText()));
        String trace = rest.taskTrace(connector, 0);
        assertNotNull(trace, "no trace of the failed task of " + connector);
        return trace;
    }

    private static JsonNode awaitStatus(String connector, String what, Predicate<JsonNode> done)
            throws IOException, InterruptedException {
        long giveUp = System.nanoTime() + BOUND.toNanos();
        while (true) {
            JsonNode status = rest.status(connector);
            if (done.test(status)) {
                return status;
            }
            if (System.nanoTime() - giveUp > 0) {
                fail("waited " + BOUND.toSeconds() + " s for " + connector + " " + what + "; last status " + status
                     + "; logs in " + cluster.folder());
            }
            TimeUnit.MILLISECONDS.sleep(250);
        }
    }

    private static void deleteQuietly(String connector) {
        try {
            rest.delete(connector);
        } catch (IOException | InterruptedException | RuntimeException failure) {
            System.out.println("could not delete " + connector + ": " + failure);
            if (failure instanceof InterruptedException) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /** {@code {"offsets": [{"partition": {"server": "", "database": DATABASE}, "offset": {"format": 1, "end": END}}]}}. */
    private static ObjectNode offsets(String database, String end) {
        ObjectNode body = JSON.createObjectNode();
        ArrayNode list = body.putArray("offsets");
        ObjectNode entry = list.addObject();
        entry.putObject("partition").put("server", "").put("database", database);
        entry.putObject("offset").put("format", 1).put("end", end);
        return body;
    }

    private static Map<String, List<String>> errors(JsonNode validation) {
        Map<String, List<String>> errors = new TreeMap<>();
        for (JsonNode config : validation.path("configs")) {
            List<String> messages = new ArrayList<>();
            config.path("value").path("errors").forEach(message -> messages.add(message.asText()));
            if (!messages.isEmpty()) {
                errors.put(config.path("value").path("name").asText(), messages);
            }
        }
        assertEquals(errors.values().stream().mapToInt(List::size).sum(), validation.path("error_count").asInt(),
                     "error_count of " + validation);
        return errors;
    }

    // --- what a consumer reads ---

    /** Waits until the view built from the topic equals the database's listing, with at least that many resync windows. */
    private static List<DeliveryCheck.Delivered> awaitView(String topic, String database, int resyncWindows)
            throws IOException, InterruptedException {
        long giveUp = System.nanoTime() + BOUND.toNanos();
        while (true) {
            Set<String> listing = present(writer.list(database));
            List<DeliveryCheck.Delivered> records = read(topic);
            if (resyncWindows(records) >= resyncWindows && view(records).equals(listing)) {
                return records;
            }
            if (System.nanoTime() - giveUp > 0) {
                fail("waited " + BOUND.toSeconds() + " s for the view of " + topic + " to equal the listing of " + database
                     + " " + listing + " with " + resyncWindows + " resync windows; it is " + view(records) + " after "
                     + resyncWindows(records) + " resync windows in " + records + "; logs in " + cluster.folder());
            }
            TimeUnit.MILLISECONDS.sleep(500);
        }
    }

    private static List<DeliveryCheck.Delivered> await(String topic, String what, Predicate<List<DeliveryCheck.Delivered>> done)
            throws InterruptedException {
        long giveUp = System.nanoTime() + BOUND.toNanos();
        while (true) {
            List<DeliveryCheck.Delivered> records = read(topic);
            if (done.test(records)) {
                return records;
            }
            if (System.nanoTime() - giveUp > 0) {
                fail("waited " + BOUND.toSeconds() + " s for " + what + " in " + topic + "; read " + records + "; logs in "
                     + cluster.folder());
            }
            TimeUnit.MILLISECONDS.sleep(500);
        }
    }

    /** Every committed record of the topic. */
    private static List<DeliveryCheck.Delivered> read(String topic) throws InterruptedException {
        try (CommittedReader reader = new CommittedReader(cluster.bootstrapServers())) {
            return reader.readToEnd(List.of(topic), BOUND).stream().map(DeliveryCheck::parse).toList();
        }
    }

    /** Whether a record is the first of a resync window: a resync record of another window than the one before it. */
    private static boolean startsResync(List<DeliveryCheck.Delivered> records, int i) {
        DeliveryCheck.Delivered record = records.get(i);
        return record.resync() && (i == 0 || !records.get(i - 1).windowEnd().equals(record.windowEnd()));
    }

    private static int resyncWindows(List<DeliveryCheck.Delivered> records) {
        int windows = 0;
        for (int i = 0; i < records.size(); ++i) {
            windows += startsResync(records, i) ? 1 : 0;
        }
        return windows;
    }

    /** The records of the last resync window, tombstones left out. */
    private static List<DeliveryCheck.Delivered> lastResyncWindow(List<DeliveryCheck.Delivered> records) {
        int start = -1;
        for (int i = 0; i < records.size(); ++i) {
            if (startsResync(records, i)) {
                start = i;
            }
        }
        assertTrue(start >= 0, "no resync window in " + records);
        String end = records.get(start).windowEnd();
        List<DeliveryCheck.Delivered> window = new ArrayList<>();
        for (DeliveryCheck.Delivered record : records.subList(start, records.size())) {
            if (record.windowEnd().equals(end) && (!record.tombstone() || record.universalId().isEmpty())) {
                assertTrue(record.resync(), "a record of a resync window without the resync header: " + record);
                window.add(record);
            }
        }
        return window;
    }

    /**
     * The universal ids a consumer holds after applying the records in order: a present record adds its id, a
     * deletion removes it, and the first record of a resync window empties the view first (a record without
     * universal id says only that).
     */
    private static Set<String> view(List<DeliveryCheck.Delivered> records) {
        Set<String> view = new TreeSet<>();
        for (int i = 0; i < records.size(); ++i) {
            DeliveryCheck.Delivered record = records.get(i);
            if (startsResync(records, i)) {
                view.clear();
            }
            if (record.universalId().isEmpty() || record.tombstone()) {
                continue;
            }
            if (record.deleted()) {
                view.remove(record.universalId());
            } else {
                view.add(record.universalId());
            }
        }
        return view;
    }

    /** The records of windows ending after {@code end}, tombstones left out. */
    private static List<DeliveryCheck.Delivered> after(List<DeliveryCheck.Delivered> records, String end) {
        return records.stream().filter(record -> record.windowEnd().compareTo(end) > 0 && !record.tombstone()).toList();
    }

    // --- the store ---

    private static Set<String> present(Map<Long, StoreWriter.Listed> listing) {
        return listing.values().stream().filter(record -> !record.deleted()).map(StoreWriter.Listed::universalId)
            .collect(Collectors.toCollection(TreeSet::new));
    }

    private static List<String> recordIds(Map<Long, StoreWriter.Listed> listing) {
        return listing.values().stream().filter(record -> !record.deleted()).map(record -> Long.toHexString(record.recordId()))
            .sorted().toList();
    }

    private static Set<String> universalIds(StoreWriter writer, List<StoreWriter.Write> writes)
            throws IOException, InterruptedException {
        Map<Long, StoreWriter.Listed> listing = writer.list(writes.get(0).database());
        Set<String> ids = new HashSet<>();
        for (StoreWriter.Write write : writes) {
            ids.add(listing.get(write.recordId()).universalId());
        }
        return ids;
    }

    /** The whole second after a write's time ({@code YYYY-MM-DD HH:MM:SS.hh}), as purge takes it. */
    private static String nextSecondAfter(String modified) {
        return LocalDateTime.parse(modified.substring(0, 19), SECONDS).plusSeconds(1).format(SECONDS);
    }

    /** Waits until the store's clock (UTC) has passed a time, as purge refuses a cut-off after it. */
    private static void awaitStoreClockPast(String time) throws InterruptedException {
        Instant at = LocalDateTime.parse(time, SECONDS).toInstant(ZoneOffset.UTC).plus(50, ChronoUnit.MILLIS);
        long millis = Duration.between(Instant.now(), at).toMillis();
        assertFalse(millis > 5_000, "the store's clock is " + millis + " ms before " + time);
        if (millis > 0) {
            TimeUnit.MILLISECONDS.sleep(millis);
        }
    }
}
