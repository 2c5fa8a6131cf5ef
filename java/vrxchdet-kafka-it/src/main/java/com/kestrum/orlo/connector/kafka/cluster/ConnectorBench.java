package com.kestrum.orlo.connector.kafka.cluster;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.time.LocalDate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Properties;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.Consumer;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.apache.kafka.clients.admin.Admin;
import org.apache.kafka.clients.admin.AdminClientConfig;
import org.apache.kafka.clients.admin.NewTopic;
import org.apache.kafka.clients.consumer.CloseOptions;
import org.apache.kafka.clients.consumer.ConsumerRecord;
import org.apache.kafka.clients.consumer.ConsumerRecords;
import org.apache.kafka.clients.consumer.KafkaConsumer;
import org.apache.kafka.clients.producer.Callback;
import org.apache.kafka.clients.producer.KafkaProducer;
import org.apache.kafka.clients.producer.ProducerConfig;
import org.apache.kafka.clients.producer.ProducerRecord;
import org.apache.kafka.clients.producer.RecordMetadata;
import org.apache.kafka.common.TopicPartition;
import org.apache.kafka.common.errors.WakeupException;
import org.apache.kafka.common.header.Header;
import org.apache.kafka.common.header.internals.RecordHeaders;
import org.apache.kafka.common.serialization.ByteArraySerializer;
import org.apache.kafka.common.utils.AppInfoParser;

/**
 * The Kafka Connect source against a bare producer, and its lag behind the store's writes, on one broker and
 * one Connect worker with exactly-once source support (each a JVM of its own on loopback). Prints its figures
 * as {@code name=value} lines, and lines starting with {@code #} that say what was measured.
 *
 * <p>For each size N: a database of N records, the connector ({@code exactly.once.support=required}) listing it
 * from the beginning, timed from the connector's creation until a {@code read_committed} consumer has seen all N
 * records of its topic; then the same keys, values and headers (the connector's records read back, their bytes
 * as the worker's converter wrote them) sent by a bare {@link KafkaProducer} to a fresh topic, idempotent, and
 * again transactional in one transaction (as the connector writes a window), each timed from the first send
 * until the same consumer has seen all N. {@code connector_over_producer} is the connector's time over the
 * transactional producer's.
 *
 * <p>Then the lag: a writer makes a steady number of writes per second ({@code tesra-admin churn}, whose log
 * gives each write's store time); for each write, the time from that store time to the moment a
 * {@code read_committed} consumer receives the first record of its universal id whose window holds it (the
 * window's end after the write's time), as p50, p99 and max.
 *
 * <p>Arguments: {@code BUILD FOLDER PLUGIN_PATH CLASS_PATH_FILE [--sizes N,N...] [--warmup N] [--lag-rate R]
 * [--lag-seconds S] [--poll-interval-ms MS] [--connector-producer KEY=VALUE]...}: the last sets a setting of the
 * worker's producer for the connector ({@code producer.override.KEY}), for example
 * {@code max.in.flight.requests.per.connection=5}; {@code --server-jvm-option} adds an option to the broker's and the
 * worker's JVMs, for example {@code -XX:StartFlightRecording:filename=/tmp/rec-%p.jfr} to profile them.
 */
public final class ConnectorBench {
    private static final String PASSWORD = "bench";
    private static final String PREFIX = "bench";
    private static final String LAG_DATABASE = "lag.tdb";
    private static final int LAG_INITIAL_RECORDS = 100;
    private static final int ADD_BATCH = 100_000;
    private static final double GOAL = 1.5;
    /**
     * The transaction timeout of the worker's producers and of the transactional producer: a window of a million
     * records is one transaction, longer than the default minute on a busy machine.
     */
    private static final int TRANSACTION_TIMEOUT_MS = 600_000;
    private static final Duration TOPIC_BOUND = Duration.ofSeconds(30);
    private static final Duration LAG_COVER_BOUND = Duration.ofSeconds(60);
    /** The options of the broker's and the worker's JVMs: enough heap for a window of a million records. */
    private static final List<String> SERVER_JVM_OPTIONS = List.of("-Xms512m", "-Xmx3g", "-XX:+UseG1GC");
    private final List<String> serverJvmOptions = new ArrayList<>(SERVER_JVM_OPTIONS);
    private static final long FIRST_EPOCH_DAY = LocalDate.of(1, 1, 1).toEpochDay();
    private static final Pattern SPACES = Pattern.compile(" +");
    private static final Pattern RATE_REACHED = Pattern.compile("(\\d+) writes per second");

    private final Path admin;
    private final Path ini;
    private final Path folder;
    private final long pollIntervalMs;
    private final Map<String, String> producerOverrides;
    private KafkaCluster cluster;
    private KafkaCluster.Worker worker;
    private Admin kafkaAdmin;

    private ConnectorBench(Path admin, Path folder, long pollIntervalMs, Map<String, String> producerOverrides) {
        this.producerOverrides = Map.copyOf(producerOverrides);
        this.admin = admin;
        this.folder = folder;
        this.ini = folder.resolve("store").resolve("tesra.ini");
        this.pollIntervalMs = pollIntervalMs;
    }

    /**
     * Runs the benchmark.
     *
     * @param args {@code BUILD FOLDER PLUGIN_PATH CLASS_PATH_FILE} and options (see the class)
     * @throws Exception when a step fails: the message says which, and where the logs are
     */
    public static void main(String[] args) throws Exception {
        if (args.length < 4) {
            usage();
        }
        List<Long> sizes = List.of(100_000L, 1_000_000L);
        long warmup = 1_000;
        int lagRate = 1_000;
        int lagSeconds = 30;
        long pollIntervalMs = 100;
        Map<String, String> producerOverrides = new java.util.TreeMap<>();
        List<String> serverOptions = new ArrayList<>();
        for (int i = 4; i < args.length; i += 2) {
            if (i + 1 >= args.length) {
                usage();
            }
            String value = args[i + 1];
            switch (args[i]) {
                case "--sizes" -> sizes = Arrays.stream(value.split(",")).map(Long::parseLong).toList();
                case "--warmup" -> warmup = Long.parseLong(value);
                case "--lag-rate" -> lagRate = Integer.parseInt(value);
                case "--lag-seconds" -> lagSeconds = Integer.parseInt(value);
                case "--poll-interval-ms" -> pollIntervalMs = Long.parseLong(value);
                case "--server-jvm-option" -> serverOptions.add(value);
                case "--connector-producer" -> {
                    int equals = value.indexOf('=');
                    if (equals < 1) {
                        usage();
                    }
                    producerOverrides.put(value.substring(0, equals), value.substring(equals + 1));
                }
                default -> usage();
            }
        }
        Path admin = Path.of(args[0]).toAbsolutePath().resolve("localstore").resolve("tesra-admin");
        ConnectorBench bench = new ConnectorBench(admin, Path.of(args[1]).toAbsolutePath(), pollIntervalMs, producerOverrides);
        bench.serverJvmOptions.addAll(serverOptions);
        bench.run(Path.of(args[2]), Path.of(args[3]), sizes, warmup, lagRate, lagSeconds);
    }

    private static void usage() {
        System.err.println("usage: ConnectorBench BUILD FOLDER PLUGIN_PATH CLASS_PATH_FILE [--sizes N,N...] [--warmup N]"
                           + " [--lag-rate R] [--lag-seconds S] [--poll-interval-ms MS] [--connector-producer KEY=VALUE]... [--server-jvm-option OPTION]...");
        System.exit(2);
    }

    private void run(Path pluginPath, Path classPathFile, List<Long> sizes, long warmup, int lagRate, int lagSeconds)
            throws Exception {
        machine("before");
        figure("kafka_version", AppInfoParser.getVersion());
        figure("java_version", System.getProperty("java.version"));
        figure("server_jvm_options", String.join(" ", serverJvmOptions));
        figure("poll_interval_ms", pollIntervalMs);
        figure("connector_producer_overrides", producerOverrides.isEmpty() ? "none" : producerOverrides.toString());
        figure("connector_over_producer_goal_max", GOAL);
        comment("one broker and one Connect worker on loopback, exactly.once.source.support=enabled, connector "
                + "exactly.once.support=required, the worker's converters JsonConverter without schemas, "
                + "transaction.boundary=poll (a window is one transaction)");
        Files.createDirectories(folder);
        prepareStore();
        List<Long> filled = new ArrayList<>(sizes);
        if (warmup > 0) {
            filled.add(warmup);
        }
        for (long size : filled) {
            fill(size);
        }
        try (KafkaCluster started = KafkaCluster.start(folder.resolve("cluster"), pluginPath, classPathFile, serverJvmOptions)) {
            cluster = started;
            worker = cluster.startWorker(Map.of("producer." + ProducerConfig.TRANSACTION_TIMEOUT_CONFIG,
                                                Integer.toString(TRANSACTION_TIMEOUT_MS)));
            comment("broker at " + cluster.bootstrapServers() + ", worker at " + worker.rest().base() + "; logs in "
                    + cluster.folder());
            Properties adminProps = new Properties();
            adminProps.put(AdminClientConfig.BOOTSTRAP_SERVERS_CONFIG, cluster.bootstrapServers());
            try (Admin opened = Admin.create(adminProps)) {
                kafkaAdmin = opened;
                if (warmup > 0) {
                    comment("warm-up at " + warmup + " records, not counted");
                    compare(warmup, "warmup_");
                }
                for (long size : sizes) {
                    compare(size, "");
                }
                lag(lagRate, lagSeconds);
            }
            List<String> unclean = cluster.stop();
            if (!unclean.isEmpty()) {
                comment("not stopped cleanly: " + unclean);
            }
        }
        machine("after");
    }

    /** Makes the store once (kept between runs in FOLDER/store), and the lag database afresh. */
    private void prepareStore() throws IOException, InterruptedException {
        Path store = ini.getParent();
        if (!Files.exists(ini)) {
            runAdmin(List.of("setup", store.toString(), "--user", "Bench User", "--password-stdin"), PASSWORD + "\n",
                     Duration.ofMinutes(2));
        }
        Files.deleteIfExists(store.resolve("data").resolve(LAG_DATABASE));
        runAdmin(List.of("create-db", LAG_DATABASE, "--ini", ini.toString()), null, Duration.ofSeconds(60));
        runAdmin(List.of("add", LAG_DATABASE, "--count", Integer.toString(LAG_INITIAL_RECORDS), "--ini", ini.toString()), null,
                 Duration.ofSeconds(60));
        Files.writeString(folder.resolve("secrets.properties"), "password=" + PASSWORD + "\n", StandardCharsets.UTF_8);
    }

    /** A database of {@code size} records, made once and kept (a marker file says it is whole). */
    private void fill(long size) throws IOException, InterruptedException {
        String database = bulkDatabase(size);
        Path done = ini.getParent().resolve(database + ".filled");
        if (Files.exists(done)) {
            comment("database " + database + " of " + size + " records kept from an earlier run");
            return;
        }
        Files.deleteIfExists(ini.getParent().resolve("data").resolve(database));
        long start = System.nanoTime();
        runAdmin(List.of("create-db", database, "--ini", ini.toString()), null, Duration.ofSeconds(60));
        for (long added = 0; added < size; added += ADD_BATCH) {
            long count = Math.min(ADD_BATCH, size - added);
            runAdmin(List.of("add", database, "--count", Long.toString(count), "--ini", ini.toString()), null,
                     Duration.ofMinutes(10));
        }
        Files.writeString(done, size + "\n", StandardCharsets.UTF_8);
        comment(String.format(Locale.ROOT, "database %s of %d records made in %.1f s", database, size, seconds(System.nanoTime() - start)));
    }

    private static String bulkDatabase(long size) {
        return "bulk-" + size + ".tdb";
    }

    /** The connector, then the two producers, on {@code size} records. */
    private void compare(long size, String prefix) throws Exception {
        String database = bulkDatabase(size);
        String topic = PREFIX + "." + database;
        createTopic(topic);
        String connector = "bulk-" + size;
        double connectorSeconds;
        double firstSeconds;
        double[] connectorCpu;
        Duration bound = Duration.ofSeconds(120 + size / 1_000);
        try (Watcher watcher = Watcher.start(cluster.bootstrapServers(), topic, size, null)) {
            Map<String, String> config = connectorConfig(connector, database);
            double[] cpuBefore = cpu();
            long start = System.nanoTime();
            worker.rest().putConfig(connector, config);
            String what = "the connector " + connector + "'s " + size + " records in " + topic + " (logs in " + cluster.folder() + ")";
            long giveUp = System.nanoTime() + bound.toNanos();
            // Looks at the connector's status every 2 s, so that a failed task ends the wait at once.
            while (!watcher.awaitAll(Duration.ofSeconds(2))) {
                failedTask(connector, what);
                if (System.nanoTime() - giveUp > 0) {
                    throw new IllegalStateException("waited " + bound.toSeconds() + " s for " + what + "; saw " + watcher.count());
                }
            }
            connectorSeconds = seconds(watcher.doneAt() - start);
            connectorCpu = minus(cpu(), cpuBefore);
            firstSeconds = seconds(watcher.firstAt() - start);
        }
        worker.rest().delete(connector);
        awaitNoChildren();
        Recorded records = Recorded.read(cluster.bootstrapServers(), topic, size, bound);
        double converting = ConverterTiming.time(records, topic);

        double[] idempotentCpu = new double[3];
        double[] transactionalCpu = new double[3];
        double idempotent = produce(records, PREFIX + ".producer-idempotent-" + size, false, bound, idempotentCpu);
        double transactional = produce(records, PREFIX + ".producer-transactional-" + size, true, bound, transactionalCpu);
        System.out.printf(Locale.ROOT, "%srecords=%d cpu_s (worker and its feed child, broker, this JVM) connector=%.1f,%.1f,%.1f"
                          + " producer_idempotent=%.1f,%.1f,%.1f producer_transactional=%.1f,%.1f,%.1f%n", prefix, size,
                          connectorCpu[0], connectorCpu[1], connectorCpu[2], idempotentCpu[0], idempotentCpu[1],
                          idempotentCpu[2], transactionalCpu[0], transactionalCpu[1], transactionalCpu[2]);
        double ratio = connectorSeconds / transactional;
        comment(String.format(Locale.ROOT, "%d records: connector %.3f s (first record after %.3f s), producer idempotent "
                              + "%.3f s, transactional (one transaction) %.3f s; bytes per record %.0f; the worker's converters "
                              + "alone on the same records (Structs made, key and value through JsonConverter, headers "
                              + "through SimpleHeaderConverter), in this JVM: %.3f s", size, connectorSeconds,
                              firstSeconds, idempotent, transactional, records.bytesPerRecord(), converting));
        System.out.printf(Locale.ROOT, "%srecords=%d connector_s=%.3f connector_first_record_s=%.3f connector_entries_per_s=%.0f"
                          + " producer_idempotent_entries_per_s=%.0f producer_transactional_entries_per_s=%.0f"
                          + " converters_entries_per_s=%.0f connector_over_idempotent_producer=%.3f connector_over_producer=%.3f"
                          + " goal_met=%s%n", prefix, size, connectorSeconds, firstSeconds, size / connectorSeconds,
                          size / idempotent, size / transactional, size / converting, connectorSeconds / idempotent, ratio,
                          ratio <= GOAL ? "yes" : "no");
        System.out.flush();
    }

    /** Throws when the connector or its task failed, with its trace. */
    private void failedTask(String connector, String what) throws IOException, InterruptedException {
        try {
            com.fasterxml.jackson.databind.JsonNode status = worker.rest().status(connector);
            if (status.toString().contains("\"FAILED\"")) {
                throw new IllegalStateException("The connector failed while waiting for " + what + ": " + status);
            }
        } catch (ConnectRest.RestException notYet) {
            if (notYet.status() != 404) {
                throw notYet;
            }
        }
    }

    private Map<String, String> connectorConfig(String name, String database) {
        Map<String, String> config = new HashMap<>();
        config.put("name", name);
        config.put("connector.class", "com.kestrum.orlo.connector.kafka.VrxchdetSourceConnector");
        config.put("tasks.max", "1");
        config.put("exactly.once.support", "required");
        config.put("databases", database);
        config.put("tesra.ini", ini.toString());
        config.put("password", "${file:" + folder.resolve("secrets.properties") + ":password}");
        config.put("topic.prefix", PREFIX);
        config.put("poll.interval.ms", Long.toString(pollIntervalMs));
        producerOverrides.forEach((key, value) -> config.put("producer.override." + key, value));
        return config;
    }

    /**
     * Sends the records to a fresh topic and times it from the first send until the consumer has seen them all.
     *
     * @return seconds
     */
    private double produce(Recorded records, String topic, boolean transactional, Duration bound, double[] cpuUsed)
            throws Exception {
        createTopic(topic);
        Properties props = new Properties();
        props.put(ProducerConfig.BOOTSTRAP_SERVERS_CONFIG, cluster.bootstrapServers());
        props.put(ProducerConfig.KEY_SERIALIZER_CLASS_CONFIG, ByteArraySerializer.class.getName());
        props.put(ProducerConfig.VALUE_SERIALIZER_CLASS_CONFIG, ByteArraySerializer.class.getName());
        props.put(ProducerConfig.ENABLE_IDEMPOTENCE_CONFIG, "true");
        props.put(ProducerConfig.ACKS_CONFIG, "all");
        if (transactional) {
            props.put(ProducerConfig.TRANSACTIONAL_ID_CONFIG, topic);
            props.put(ProducerConfig.TRANSACTION_TIMEOUT_CONFIG, Integer.toString(TRANSACTION_TIMEOUT_MS));
        }
        AtomicReference<Exception> failure = new AtomicReference<>();
        Callback callback = (metadata, exception) -> {
            if (exception != null) {
                failure.compareAndSet(null, exception);
            }
        };
        int size = records.size();
        try (Watcher watcher = Watcher.start(cluster.bootstrapServers(), topic, size, null);
             KafkaProducer<byte[], byte[]> producer = new KafkaProducer<>(props)) {
            if (transactional) {
                producer.initTransactions();
            }
            producer.partitionsFor(topic);
            double[] cpuBefore = cpu();
            long start = System.nanoTime();
            if (transactional) {
                producer.beginTransaction();
            }
            Future<RecordMetadata> last = null;
            for (int i = 0; i < size; ++i) {
                last = producer.send(new ProducerRecord<>(topic, null, records.keys[i], records.values[i],
                                                          new RecordHeaders(records.headers[i])), callback);
            }
            if (transactional) {
                producer.commitTransaction();
            } else {
                producer.flush();
            }
            if (last != null) {
                last.get(bound.toSeconds(), TimeUnit.SECONDS);
            }
            if (failure.get() != null) {
                throw new IllegalStateException("A send to " + topic + " failed", failure.get());
            }
            watcher.awaitAll(bound, "the producer's " + size + " records in " + topic);
            double elapsed = seconds(watcher.doneAt() - start);
            double[] used = minus(cpu(), cpuBefore);
            System.arraycopy(used, 0, cpuUsed, 0, used.length);
            return elapsed;
        }
    }

    /** CPU seconds so far of the worker with its descendants (the feed children), of the broker and of this JVM. */
    private double[] cpu() {
        double workerCpu = cpuSeconds(worker.process().handle());
        for (ProcessHandle child : worker.process().handle().descendants().toList()) {
            workerCpu += cpuSeconds(child);
        }
        return new double[] {workerCpu, cpuSeconds(cluster.broker().handle()), cpuSeconds(ProcessHandle.current())};
    }

    private static double cpuSeconds(ProcessHandle process) {
        return process.info().totalCpuDuration().map(duration -> duration.toNanos() / 1e9).orElse(0.0);
    }

    private static double[] minus(double[] after, double[] before) {
        double[] difference = new double[after.length];
        for (int i = 0; i < after.length; ++i) {
            difference[i] = after[i] - before[i];
        }
        return difference;
    }

    /** Lag behind a steady writer. */
    private void lag(int rate, int seconds) throws Exception {
        String topic = PREFIX + "." + LAG_DATABASE;
        createTopic(topic);
        Map<String, List<Arrival>> arrivals = new HashMap<>();
        Consumer<ConsumerRecord<byte[], byte[]>> sink = record -> {
            DeliveryCheck.Delivered delivered = DeliveryCheck.parse(record);
            long now = System.currentTimeMillis();
            synchronized (arrivals) {
                arrivals.computeIfAbsent(delivered.universalId(), id -> new ArrayList<>()).add(new Arrival(delivered.end(), now));
            }
        };
        Path log = folder.resolve("churn.log");
        Files.deleteIfExists(log);
        try (Watcher watcher = Watcher.start(cluster.bootstrapServers(), topic, Long.MAX_VALUE, sink);
             LogTail tail = LogTail.start(log)) {
            worker.rest().putConfig("lag", connectorConfig("lag", LAG_DATABASE));
            watcher.awaitCount(LAG_INITIAL_RECORDS, Duration.ofMinutes(2), "the lag connector's first " + LAG_INITIAL_RECORDS
                               + " records in " + topic);
            comment("lag: tesra-admin churn " + LAG_DATABASE + " --rate " + rate + " --seconds " + seconds + ", connector "
                    + "poll.interval.ms=" + pollIntervalMs);
            String churned = runAdmin(List.of("churn", LAG_DATABASE, "--rate", Integer.toString(rate), "--seconds",
                                              Integer.toString(seconds), "--seed", "1", "--log", log.toString(), "--ini",
                                              ini.toString()), null, Duration.ofSeconds(seconds + 60L));
            List<String> lines = Files.readAllLines(log, StandardCharsets.UTF_8);
            Map<Long, StoreWriter.Listed> listing = new StoreWriter(admin, ini).list(LAG_DATABASE);
            List<long[]> writes = new ArrayList<>(lines.size());
            for (String line : lines) {
                writes.add(logLine(line));
            }
            long[] logged = tail.finish(lines.size(), Duration.ofSeconds(10));
            long giveUp = System.nanoTime() + LAG_COVER_BOUND.toNanos();
            long[] lags = new long[writes.size()];
            long[] fromLog = new long[writes.size()];
            long ahead = Long.MIN_VALUE;
            for (int i = 0; i < writes.size(); ++i) {
                ahead = Math.max(ahead, epochMillis(writes.get(i)[1]) - logged[i]);
            }
            while (true) {
                int uncovered = 0;
                synchronized (arrivals) {
                    for (int i = 0; i < writes.size(); ++i) {
                        long[] write = writes.get(i);
                        StoreWriter.Listed listed = listing.get(write[0]);
                        Long received = listed == null ? null : covering(arrivals.get(listed.universalId()), write[1]);
                        if (received == null) {
                            ++uncovered;
                        } else {
                            lags[i] = received - epochMillis(write[1]);
                            fromLog[i] = received - logged[i];
                        }
                    }
                }
                if (uncovered == 0) {
                    Arrays.sort(lags);
                    Arrays.sort(fromLog);
                    break;
                }
                if (System.nanoTime() - giveUp > 0) {
                    throw new IllegalStateException("waited " + LAG_COVER_BOUND.toSeconds() + " s for the records of "
                                                    + uncovered + " of " + writes.size() + " writes in " + topic
                                                    + " (logs in " + cluster.folder() + ")");
                }
                TimeUnit.MILLISECONDS.sleep(500);
            }
            Matcher reached = RATE_REACHED.matcher(churned);
            String rateReached = reached.find() ? reached.group(1) : "unknown";
            comment("churn: " + churned.strip().replace('\n', ' '));
            comment("lag_*: from each write's store time; lag_from_log_*: from the moment its line appeared in the writer's "
                    + "log (after its commit), read every 2 ms; store_stamp_ahead_max_ms: how far a store time was at most "
                    + "after that moment (the store stamps a write at or after the last poll's end, which may lie ahead of "
                    + "its clock)");
            System.out.printf(Locale.ROOT, "lag_writes=%d lag_rate_asked=%d lag_rate_reached=%s lag_seconds=%d poll_interval_ms=%d"
                              + " lag_p50_ms=%d lag_p99_ms=%d lag_max_ms=%d lag_min_ms=%d lag_from_log_p50_ms=%d"
                              + " lag_from_log_p99_ms=%d lag_from_log_max_ms=%d lag_from_log_min_ms=%d store_stamp_ahead_max_ms=%d%n",
                              lags.length, rate, rateReached, seconds, pollIntervalMs, rank(lags, 0.50), rank(lags, 0.99),
                              lags[lags.length - 1], lags[0], rank(fromLog, 0.50), rank(fromLog, 0.99),
                              fromLog[fromLog.length - 1], fromLog[0], ahead);
            System.out.flush();
        }
        worker.rest().delete("lag");
        awaitNoChildren();
    }

    /** A record received: its window's end (store time) and when it came, in milliseconds since 1970. */
    record Arrival(long end, long receivedMillis) {
    }

    /**
     * A line of the writer's log: {@code add 0000002A 2025-03-15 13:05:09.27 739325 4710927}, the operation, the
     * record id, the store time as text, its day and its hundredths of the day.
     *
     * @return the record id and the store time (hundredths since the store's first day)
     * @throws IllegalArgumentException when the line is not of that form
     */
    static long[] logLine(String line) {
        String[] words = SPACES.split(line.trim(), -1);
        if (words.length != 6) {
            throw new IllegalArgumentException("A line of the writer's log not of the form 'add 0000002A 2025-03-15 13:05:09.27 "
                                               + "739325 4710927': " + line);
        }
        return new long[] {Long.parseLong(words[1], 16),
            Long.parseLong(words[4]) * StoreWriter.HUNDREDTHS_PER_DAY + Long.parseLong(words[5])};
    }

    /** When the first record of the universal id whose window holds the write's time came, or null. */
    static Long covering(List<Arrival> arrivals, long stamp) {
        if (arrivals != null) {
            for (Arrival arrival : arrivals) {
                // A window holds the writes stamped below its end.
                if (arrival.end() > stamp) {
                    return arrival.receivedMillis();
                }
            }
        }
        return null;
    }

    /** Milliseconds since 1970 of a store time (hundredths since the store's first day, 0001-01-01, UTC). */
    static long epochMillis(long storeTime) {
        long day = storeTime / StoreWriter.HUNDREDTHS_PER_DAY;
        long hundredths = storeTime % StoreWriter.HUNDREDTHS_PER_DAY;
        return (day - 1 + FIRST_EPOCH_DAY) * 86_400_000L + hundredths * 10;
    }

    /** The nearest-rank percentile of sorted values. */
    static long rank(long[] sorted, double fraction) {
        int index = (int) Math.ceil(fraction * sorted.length) - 1;
        return sorted[Math.max(0, Math.min(sorted.length - 1, index))];
    }

    private void createTopic(String topic) throws InterruptedException, ExecutionException, TimeoutException {
        kafkaAdmin.createTopics(List.of(new NewTopic(topic, 1, (short) 1))).all()
            .get(TOPIC_BOUND.toSeconds(), TimeUnit.SECONDS);
    }

    /** Waits until the worker's feed children have ended, so that they take no CPU from what follows. */
    private void awaitNoChildren() throws InterruptedException {
        long giveUp = System.nanoTime() + Duration.ofSeconds(30).toNanos();
        while (!worker.children().isEmpty()) {
            if (System.nanoTime() - giveUp > 0) {
                throw new IllegalStateException("waited 30 s for the feed children of a deleted connector to end: "
                                                + worker.children());
            }
            TimeUnit.MILLISECONDS.sleep(100);
        }
    }

    /** Runs tesra-admin; returns its output, or throws with it when it fails or outlasts the bound. */
    private String runAdmin(List<String> arguments, String input, Duration bound) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(admin.toString());
        command.addAll(arguments);
        Path output = Files.createTempFile(folder, "tesra-admin", ".out");
        try {
            Process process = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(output.toFile()).start();
            try {
                if (input != null) {
                    process.getOutputStream().write(input.getBytes(StandardCharsets.UTF_8));
                }
                process.getOutputStream().close();
                if (!process.waitFor(bound.toMillis(), TimeUnit.MILLISECONDS)) {
                    throw new IOException("waited " + bound.toSeconds() + " s for " + String.join(" ", command));
                }
            } finally {
                process.destroyForcibly();
            }
            String text = Files.readString(output, StandardCharsets.UTF_8);
            if (process.exitValue() != 0) {
                throw new IOException(String.join(" ", command) + " ended with status " + process.exitValue() + ": " + text);
            }
            return text;
        } finally {
            Files.deleteIfExists(output);
        }
    }

    private static void machine(String when) throws IOException, InterruptedException {
        if (when.equals("before")) {
            figure("machine_cores", Runtime.getRuntime().availableProcessors());
            String cpu = Files.readAllLines(Path.of("/proc/cpuinfo")).stream().filter(line -> line.startsWith("model name"))
                .map(line -> line.substring(line.indexOf(':') + 1).strip()).findFirst().orElse("unknown");
            figure("machine_cpu", cpu);
            String memory = Files.readAllLines(Path.of("/proc/meminfo")).stream().filter(line -> line.startsWith("MemTotal:"))
                .map(line -> line.replaceAll("[^0-9]", "")).findFirst().orElse("0");
            figure("machine_memory_gib", String.format(Locale.ROOT, "%.1f", Long.parseLong(memory) / 1024.0 / 1024.0));
        }
        String[] load = SPACES.split(Files.readString(Path.of("/proc/loadavg")).trim(), -1);
        figure("load_" + when, load[0] + " " + load[1] + " " + load[2]);
        figure("time_" + when, java.time.Instant.now().toString());
    }

    private static void figure(String name, Object value) {
        System.out.println(name + "=" + value);
        System.out.flush();
    }

    private static void comment(String text) {
        System.out.println("# " + text);
        System.out.flush();
    }

    private static double seconds(long nanos) {
        return nanos / 1e9;
    }

    /**
     * Follows a file a writer appends lines to, in a thread of its own, and notes when each whole line was first
     * seen (milliseconds since 1970), reading every 2 ms.
     */
    private static final class LogTail implements AutoCloseable {
        private final Path file;
        private final List<Long> seen = new ArrayList<>();
        private final Thread thread;
        private volatile boolean closing;
        private volatile Exception failure;

        private LogTail(Path file) {
            this.file = file;
            this.thread = new Thread(this::follow, "tail-" + file.getFileName());
        }

        static LogTail start(Path file) {
            LogTail tail = new LogTail(file);
            tail.thread.start();
            return tail;
        }

        private void follow() {
            byte[] buffer = new byte[1 << 16];
            long position = 0;
            try {
                while (!closing) {
                    if (Files.exists(file)) {
                        try (var channel = java.nio.channels.FileChannel.open(file)) {
                            channel.position(position);
                            int read;
                            while ((read = channel.read(java.nio.ByteBuffer.wrap(buffer))) > 0) {
                                long now = System.currentTimeMillis();
                                int whole = 0;
                                for (int i = 0; i < read; ++i) {
                                    if (buffer[i] == '\n') {
                                        whole = i + 1;
                                        synchronized (seen) {
                                            seen.add(now);
                                        }
                                    }
                                }
                                // A line not yet whole is read again with its end.
                                position += whole;
                                channel.position(position);
                                if (whole == 0) {
                                    break;
                                }
                            }
                        }
                    }
                    TimeUnit.MILLISECONDS.sleep(2);
                }
            } catch (IOException | InterruptedException failed) {
                failure = failed;
            }
        }

        /** Waits until {@code lines} lines were seen and returns when each was. */
        long[] finish(int lines, Duration bound) throws InterruptedException {
            long giveUp = System.nanoTime() + bound.toNanos();
            while (true) {
                if (failure != null) {
                    throw new IllegalStateException("Following " + file + " failed: " + failure, failure);
                }
                synchronized (seen) {
                    if (seen.size() >= lines) {
                        return seen.stream().mapToLong(Long::longValue).limit(lines).toArray();
                    }
                    if (System.nanoTime() - giveUp > 0) {
                        throw new IllegalStateException("waited " + bound.toSeconds() + " s to see " + lines + " lines of " + file
                                                        + "; saw " + seen.size());
                    }
                }
                TimeUnit.MILLISECONDS.sleep(10);
            }
        }

        @Override
        public void close() {
            closing = true;
            try {
                thread.join(TimeUnit.SECONDS.toMillis(10));
            } catch (InterruptedException interrupted) {
                Thread.currentThread().interrupt();
            }
            if (thread.isAlive()) {
                throw new IllegalStateException("waited 10 s for the thread following " + file + " to end");
            }
        }
    }

    /**
     * Times what the worker does to each record of the connector with its converters: the key and value Structs
     * made as the connector makes them, written by JsonConverter (without schemas, as the worker's), and the two
     * headers by SimpleHeaderConverter. One untimed pass first warms the code; the converted bytes must be those
     * the connector's records carried.
     */
    private static final class ConverterTiming {
        private static final org.apache.kafka.connect.data.Schema KEY = org.apache.kafka.connect.data.SchemaBuilder.struct()
            .name("com.kestrum.orlo.vrxchdet.Key").version(1)
            .field("server", org.apache.kafka.connect.data.Schema.STRING_SCHEMA)
            .field("database", org.apache.kafka.connect.data.Schema.STRING_SCHEMA)
            .field("universal_id", org.apache.kafka.connect.data.Schema.STRING_SCHEMA)
            .build();
        private static final org.apache.kafka.connect.data.Schema VALUE = org.apache.kafka.connect.data.SchemaBuilder.struct()
            .name("com.kestrum.orlo.vrxchdet.Change").version(1)
            .field("universal_id", org.apache.kafka.connect.data.Schema.STRING_SCHEMA)
            .field("record_id", org.apache.kafka.connect.data.Schema.INT64_SCHEMA)
            .field("deleted", org.apache.kafka.connect.data.Schema.BOOLEAN_SCHEMA)
            .field("window_end", org.apache.kafka.connect.data.Schema.STRING_SCHEMA)
            .optional()
            .build();

        private ConverterTiming() {
        }

        static double time(Recorded records, String topic) throws IOException {
            int size = records.size();
            com.fasterxml.jackson.databind.ObjectMapper json = new com.fasterxml.jackson.databind.ObjectMapper();
            String[] servers = new String[size];
            String[] databases = new String[size];
            String[] ids = new String[size];
            long[] recordIds = new long[size];
            boolean[] deleted = new boolean[size];
            String[] ends = new String[size];
            Map<String, String> shared = new HashMap<>();
            for (int i = 0; i < size; ++i) {
                com.fasterxml.jackson.databind.JsonNode key = json.readTree(records.keys[i]);
                com.fasterxml.jackson.databind.JsonNode value = json.readTree(records.values[i]);
                servers[i] = shared.computeIfAbsent(key.path("server").asText(), k -> k);
                databases[i] = shared.computeIfAbsent(key.path("database").asText(), k -> k);
                ids[i] = key.path("universal_id").asText();
                recordIds[i] = value.path("record_id").asLong();
                deleted[i] = value.path("deleted").asBoolean();
                ends[i] = shared.computeIfAbsent(value.path("window_end").asText(), k -> k);
            }
            org.apache.kafka.connect.json.JsonConverter keys = new org.apache.kafka.connect.json.JsonConverter();
            keys.configure(Map.of("schemas.enable", "false"), true);
            org.apache.kafka.connect.json.JsonConverter values = new org.apache.kafka.connect.json.JsonConverter();
            values.configure(Map.of("schemas.enable", "false"), false);
            org.apache.kafka.connect.storage.SimpleHeaderConverter headers = new org.apache.kafka.connect.storage.SimpleHeaderConverter();
            headers.configure(Map.of());
            long bytes = 0;
            long start = 0;
            for (int pass = 0; pass < 2; ++pass) {
                start = System.nanoTime();
                for (int i = 0; i < size; ++i) {
                    org.apache.kafka.connect.data.Struct key = new org.apache.kafka.connect.data.Struct(KEY)
                        .put("server", servers[i]).put("database", databases[i]).put("universal_id", ids[i]);
                    org.apache.kafka.connect.data.Struct value = new org.apache.kafka.connect.data.Struct(VALUE)
                        .put("universal_id", ids[i]).put("record_id", recordIds[i]).put("deleted", deleted[i])
                        .put("window_end", ends[i]);
                    byte[] keyBytes = keys.fromConnectData(topic, KEY, key);
                    byte[] valueBytes = values.fromConnectData(topic, VALUE, value);
                    byte[] end = headers.fromConnectHeader(topic, DeliveryCheck.END_HEADER,
                        org.apache.kafka.connect.data.Schema.STRING_SCHEMA, ends[i]);
                    byte[] resync = headers.fromConnectHeader(topic, DeliveryCheck.RESYNC_HEADER,
                        org.apache.kafka.connect.data.Schema.BOOLEAN_SCHEMA, false);
                    bytes += keyBytes.length + valueBytes.length + end.length + resync.length;
                    if (pass == 0 && i == 0 && (!Arrays.equals(keyBytes, records.keys[0]) || !Arrays.equals(valueBytes, records.values[0]))) {
                        throw new IllegalStateException("The converters do not write what the connector's records hold: "
                                                        + new String(keyBytes, StandardCharsets.UTF_8) + " "
                                                        + new String(valueBytes, StandardCharsets.UTF_8) + " against "
                                                        + new String(records.keys[0], StandardCharsets.UTF_8) + " "
                                                        + new String(records.values[0], StandardCharsets.UTF_8));
                    }
                }
            }
            long elapsed = System.nanoTime() - start;
            if (bytes == 0) {
                throw new IllegalStateException("nothing converted");
            }
            keys.close();
            values.close();
            headers.close();
            return ConnectorBench.seconds(elapsed);
        }
    }

    /** The records of a topic as bytes, to be sent again by a producer. */
    private static final class Recorded {
        final byte[][] keys;
        final byte[][] values;
        final Header[][] headers;
        private int count;
        private long bytes;

        private Recorded(int size) {
            keys = new byte[size][];
            values = new byte[size][];
            headers = new Header[size][];
        }

        int size() {
            return count;
        }

        double bytesPerRecord() {
            return (double) bytes / count;
        }

        /** Reads {@code size} committed records of the topic; records with the same headers share them. */
        static Recorded read(String bootstrapServers, String topic, long size, Duration bound) {
            Recorded recorded = new Recorded(Math.toIntExact(size));
            Map<List<String>, Header[]> shared = new HashMap<>();
            TopicPartition partition = new TopicPartition(topic, 0);
            long giveUp = System.nanoTime() + bound.toNanos();
            try (KafkaConsumer<byte[], byte[]> consumer = new KafkaConsumer<>(CommittedReader.consumerProperties(bootstrapServers))) {
                consumer.assign(List.of(partition));
                consumer.seekToBeginning(List.of(partition));
                while (recorded.count < size) {
                    if (System.nanoTime() - giveUp > 0) {
                        throw new IllegalStateException("waited " + bound.toSeconds() + " s to read " + size + " records of "
                                                        + topic + " back; read " + recorded.count);
                    }
                    for (ConsumerRecord<byte[], byte[]> record : consumer.poll(Duration.ofMillis(200))) {
                        if (recorded.count == size) {
                            throw new IllegalStateException(topic + " holds more than " + size + " records");
                        }
                        List<String> key = new ArrayList<>();
                        for (Header header : record.headers()) {
                            key.add(header.key());
                            key.add(header.value() == null ? null : new String(header.value(), StandardCharsets.UTF_8));
                        }
                        recorded.headers[recorded.count] = shared.computeIfAbsent(key, k -> record.headers().toArray());
                        recorded.keys[recorded.count] = record.key();
                        recorded.values[recorded.count] = record.value();
                        recorded.bytes += record.serializedKeySize() + Math.max(0, record.serializedValueSize());
                        ++recorded.count;
                    }
                }
            }
            return recorded;
        }
    }

    /**
     * A {@code read_committed} consumer of a topic's one partition, from its beginning, in a thread of its own:
     * counts the records it receives and notes when the first came and when the count reached its target.
     */
    private static final class Watcher implements AutoCloseable {
        private final String topic;
        private final long target;
        private final Consumer<ConsumerRecord<byte[], byte[]>> sink;
        private final KafkaConsumer<byte[], byte[]> consumer;
        private final CountDownLatch ready = new CountDownLatch(1);
        private final CountDownLatch done = new CountDownLatch(1);
        private final Thread thread;
        private volatile long count;
        private volatile long firstAt;
        private volatile long doneAt;
        private volatile boolean closing;
        private volatile Throwable failure;

        private Watcher(String bootstrapServers, String topic, long target, Consumer<ConsumerRecord<byte[], byte[]>> sink) {
            this.topic = topic;
            this.target = target;
            this.sink = sink;
            this.consumer = new KafkaConsumer<>(CommittedReader.consumerProperties(bootstrapServers));
            this.thread = new Thread(this::consume, "watcher-" + topic);
        }

        /** Starts a watcher and waits until it is at the topic's beginning, polling. */
        static Watcher start(String bootstrapServers, String topic, long target, Consumer<ConsumerRecord<byte[], byte[]>> sink)
                throws InterruptedException {
            Watcher watcher = new Watcher(bootstrapServers, topic, target, sink);
            watcher.thread.start();
            if (!watcher.ready.await(TOPIC_BOUND.toSeconds(), TimeUnit.SECONDS)) {
                watcher.close();
                throw new IllegalStateException("waited " + TOPIC_BOUND.toSeconds() + " s for a consumer of " + topic
                                                + " to be at its beginning");
            }
            watcher.check();
            return watcher;
        }

        private void consume() {
            try {
                TopicPartition partition = new TopicPartition(topic, 0);
                consumer.assign(List.of(partition));
                consumer.seekToBeginning(List.of(partition));
                consumer.position(partition, TOPIC_BOUND);
                consumer.poll(Duration.ZERO);
                ready.countDown();
                long seen = 0;
                while (!closing) {
                    ConsumerRecords<byte[], byte[]> records = consumer.poll(Duration.ofMillis(100));
                    if (records.isEmpty()) {
                        continue;
                    }
                    long now = System.nanoTime();
                    if (seen == 0) {
                        firstAt = now;
                    }
                    if (sink != null) {
                        records.forEach(sink);
                    }
                    seen += records.count();
                    count = seen;
                    if (seen >= target && doneAt == 0) {
                        doneAt = now;
                        done.countDown();
                    }
                }
            } catch (WakeupException woken) {
                // closing
            } catch (RuntimeException failed) {
                failure = failed;
            } finally {
                ready.countDown();
                done.countDown();
                consumer.close(CloseOptions.timeout(Duration.ofSeconds(10)));
            }
        }

        private void check() {
            if (failure != null) {
                throw new IllegalStateException("The consumer of " + topic + " failed: " + failure, failure);
            }
        }

        /** Waits until the count reached the target. */
        void awaitAll(Duration bound, String what) throws InterruptedException {
            if (!done.await(bound.toMillis(), TimeUnit.MILLISECONDS)) {
                throw new IllegalStateException("waited " + bound.toSeconds() + " s for " + what + "; saw " + count);
            }
            check();
            if (count != target) {
                throw new IllegalStateException("expected " + target + " records in " + topic + ", saw " + count);
            }
        }

        /**
         * Waits up to {@code slice} for the count to reach the target.
         *
         * @return whether it did
         */
        boolean awaitAll(Duration slice) throws InterruptedException {
            boolean reached = done.await(slice.toMillis(), TimeUnit.MILLISECONDS);
            check();
            if (reached && count != target) {
                throw new IllegalStateException("expected " + target + " records in " + topic + ", saw " + count);
            }
            return reached;
        }

        long count() {
            return count;
        }

        /** Waits until at least {@code least} records came. */
        void awaitCount(long least, Duration bound, String what) throws InterruptedException {
            long giveUp = System.nanoTime() + bound.toNanos();
            while (count < least) {
                check();
                if (System.nanoTime() - giveUp > 0) {
                    throw new IllegalStateException("waited " + bound.toSeconds() + " s for " + what + "; saw " + count);
                }
                TimeUnit.MILLISECONDS.sleep(50);
            }
        }

        long firstAt() {
            return firstAt;
        }

        long doneAt() {
            return doneAt;
        }

        @Override
        public void close() {
            closing = true;
            consumer.wakeup();
            try {
                thread.join(TimeUnit.SECONDS.toMillis(20));
            } catch (InterruptedException interrupted) {
                Thread.currentThread().interrupt();
            }
            if (thread.isAlive()) {
                throw new IllegalStateException("waited 20 s for the consumer of " + topic + " to close");
            }
        }
    }
}
