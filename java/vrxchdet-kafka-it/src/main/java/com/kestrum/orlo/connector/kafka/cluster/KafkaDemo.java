package com.kestrum.orlo.connector.kafka.cluster;

import com.fasterxml.jackson.databind.JsonNode;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * The Kafka demo: a broker and a Connect worker on loopback, the source connector on the demo's database while
 * a writer adds, changes and deletes records for 15 seconds; prints what a {@code read_committed} consumer
 * reads, a line per record, then stops everything. Exits with 0 only when the consumer saw every write once.
 *
 * <p>Arguments: {@code BUILD FOLDER PLUGIN_PATH CLASS_PATH_FILE}: the CMake build folder (its
 * {@code localstore/tesra-admin}), the folder the demo works in (emptied first), the Connect plugin folder and
 * the file with Kafka's class path.
 */
public final class KafkaDemo {
    private static final String CONNECTOR = "sample";
    private static final String DATABASE = "sample.tdb";
    private static final String TOPIC = "demo." + DATABASE;
    private static final String PASSWORD = "demo";
    private static final Duration WRITING = Duration.ofSeconds(15);
    private static final Duration DELIVERY_BOUND = Duration.ofSeconds(90);

    private KafkaDemo() {
    }

    /**
     * Runs the demo.
     *
     * @param args {@code BUILD FOLDER PLUGIN_PATH CLASS_PATH_FILE}
     * @throws Exception when a step fails: the message says which, and where the logs are
     */
    public static void main(String[] args) throws Exception {
        if (args.length != 4) {
            System.err.println("usage: KafkaDemo BUILD FOLDER PLUGIN_PATH CLASS_PATH_FILE");
            System.exit(2);
        }
        Path admin = Path.of(args[0]).toAbsolutePath().resolve("localstore").resolve("tesra-admin");
        Path demo = Path.of(args[1]).toAbsolutePath();
        Path store = demo.resolve("store");
        deleteTree(store);
        Files.createDirectories(demo);
        Process setup = new ProcessBuilder(admin.toString(), "setup", store.toString(), "--user", "Demo User", "--password-stdin",
                                           "--database", DATABASE).redirectErrorStream(true)
            .redirectOutput(demo.resolve("setup.out").toFile()).start();
        setup.getOutputStream().write((PASSWORD + "\n").getBytes(StandardCharsets.UTF_8));
        setup.getOutputStream().close();
        if (!setup.waitFor(60, TimeUnit.SECONDS) || setup.exitValue() != 0) {
            throw new IllegalStateException("tesra-admin setup failed: see " + demo.resolve("setup.out"));
        }
        StoreWriter writer = new StoreWriter(admin, store.resolve("tesra.ini"));
        List<StoreWriter.Write> writes = new ArrayList<>(writer.write("add", DATABASE, "--count", "5"));
        Path secrets = demo.resolve("secrets.properties");
        Files.writeString(secrets, "password=" + PASSWORD + "\n", StandardCharsets.UTF_8);

        int status;
        try (KafkaCluster cluster = KafkaCluster.start(demo.resolve("cluster"), Path.of(args[2]), Path.of(args[3]))) {
            System.out.println("== A KRaft broker at " + cluster.bootstrapServers() + "; logs in " + cluster.folder());
            KafkaCluster.Worker worker = cluster.startWorker();
            System.out.println("== A Connect worker at " + worker.rest().base() + ", exactly-once source support enabled");
            Map<String, String> config = new HashMap<>();
            config.put("name", CONNECTOR);
            config.put("connector.class", "com.kestrum.orlo.connector.kafka.VrxchdetSourceConnector");
            config.put("tasks.max", "1");
            config.put("exactly.once.support", "required");
            config.put("databases", DATABASE);
            config.put("tesra.ini", store.resolve("tesra.ini").toString());
            config.put("password", "${file:" + secrets + ":password}");
            config.put("topic.prefix", "demo");
            config.put("poll.interval.ms", "200");
            JsonNode validation = worker.rest().validate(config.get("connector.class"), config);
            System.out.println("== The connector's configuration: " + validation.path("error_count").asInt() + " errors");
            worker.rest().putConfig(CONNECTOR, config);
            worker.rest().awaitRunning(CONNECTOR, 1, Duration.ofSeconds(60));
            System.out.println("== The connector runs; a writer adds, changes and deletes records for " + WRITING.toSeconds() + " s");
            StoreWriter.Churn churn = writer.churn(DATABASE, WRITING, 7);
            writes.addAll(churn.join(WRITING.plusSeconds(60)));
            System.out.println("== " + writes.size() + " writes; what a read_committed consumer reads from " + TOPIC + ":");
            status = report(cluster, writer, writes);
            System.out.println("== Stopping the worker and the broker");
            List<String> unclean = cluster.stop();
            if (!unclean.isEmpty()) {
                System.out.println("   not stopped cleanly: " + unclean);
                status = 1;
            }
        }
        System.exit(status);
    }

    /** Reads the topic until every write is in it (or the bound passes), prints it and the check's result. */
    private static int report(KafkaCluster cluster, StoreWriter writer, List<StoreWriter.Write> writes)
            throws IOException, InterruptedException {
        Map<Long, StoreWriter.Listed> listing = writer.list(DATABASE);
        long giveUp = System.nanoTime() + DELIVERY_BOUND.toNanos();
        try (CommittedReader reader = new CommittedReader(cluster.bootstrapServers())) {
            while (true) {
                List<DeliveryCheck.Delivered> records = new ArrayList<>();
                reader.readToEnd(List.of(TOPIC), DELIVERY_BOUND).forEach(record -> records.add(DeliveryCheck.parse(record)));
                DeliveryCheck.Result result = DeliveryCheck.check(DATABASE, writes, records, listing);
                boolean late = System.nanoTime() - giveUp > 0;
                if (result.gaps() == 0 || late) {
                    for (DeliveryCheck.Delivered record : records) {
                        System.out.printf("    %s %-9s window end %s%s%n", record.universalId(),
                                          record.tombstone() ? "tombstone" : record.deleted() ? "deleted" : "present",
                                          record.windowEnd(), record.resync() ? " resync" : "");
                    }
                    System.out.printf("== %d writes, %d records: %d duplicates, %d gaps, %d out of order, %d wrong states%n",
                                      result.writes(), result.records(), result.duplicates(), result.gaps(), result.outOfOrder(),
                                      result.wrongState());
                    result.problems().forEach(problem -> System.out.println("   " + problem));
                    boolean clean = result.duplicates() + result.gaps() + result.outOfOrder() + result.wrongState() == 0;
                    System.out.println(clean ? "== The consumer saw every write, each once"
                                       : "== The consumer did not see every write once: logs in " + cluster.folder());
                    return clean ? 0 : 1;
                }
                TimeUnit.MILLISECONDS.sleep(500);
            }
        }
    }

    private static void deleteTree(Path path) throws IOException {
        if (!Files.exists(path)) {
            return;
        }
        if (Files.isDirectory(path)) {
            try (var children = Files.list(path)) {
                for (Path child : children.toList()) {
                    deleteTree(child);
                }
            }
        }
        Files.delete(path);
    }
}
