package com.kestrum.orlo.connector.kafka.cluster;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;
import org.apache.kafka.common.Uuid;

/**
 * A Kafka cluster of real servers on loopback, each a JVM of its own started from the jars Maven resolved: one
 * KRaft broker (broker and controller in one process) and any number of distributed Connect workers, which
 * install plugins from a plugin folder ({@code plugin.path}) alone. Each server logs to files in the
 * cluster's folder, kept after it ends.
 *
 * <p>{@link #close()} stops the workers, then the broker, and SIGKILLs whatever has not ended within a
 * bound; a JVM shutdown hook does the same should the caller never close it.
 */
public final class KafkaCluster implements AutoCloseable {
    /** How long a server may take to start: the broker to listen, a worker's REST API to answer. */
    public static final Duration START_BOUND = Duration.ofMinutes(2);
    /** How long a server may take to stop after SIGTERM before it is killed. */
    public static final Duration STOP_BOUND = Duration.ofSeconds(30);
    /** How long the feed children of a worker may outlive it: they watch their parent and end within a second. */
    public static final Duration ORPHAN_BOUND = Duration.ofSeconds(3);
    /** The Connect group of the cluster's workers. */
    public static final String GROUP_ID = "vrxchdet-connect";

    private final Path folder;
    private final Path pluginPath;
    private final String classPath;
    private final List<String> jvmOptions;
    private final int brokerPort;
    private final List<ServerProcess> servers = new CopyOnWriteArrayList<>();
    private final List<Worker> workers = new CopyOnWriteArrayList<>();
    private final Set<ProcessHandle> seen = ConcurrentHashMap.newKeySet();
    private final Thread hook = new Thread(this::killAll, "kafka-cluster-shutdown");
    private ServerProcess broker;
    private int workersStarted;

    private KafkaCluster(Path folder, Path pluginPath, String classPath, List<String> jvmOptions) throws IOException {
        this.folder = folder;
        this.pluginPath = pluginPath;
        this.classPath = classPath;
        this.jvmOptions = List.copyOf(jvmOptions);
        this.brokerPort = freePort();
    }

    /**
     * Formats the broker's storage and starts the broker, waiting until it listens.
     *
     * @param folder        where the servers keep their data, configurations and logs (made, emptied first)
     * @param pluginPath    the Connect plugin folder: one folder per plugin, with its jars
     * @param classPathFile the file the build wrote with Kafka's class path (Maven's build-classpath)
     * @return the cluster, with the broker running and no worker yet
     * @throws IOException          when a file cannot be written or a process started
     * @throws InterruptedException when interrupted
     * @throws IllegalStateException when the broker does not start within {@link #START_BOUND}
     */
    public static KafkaCluster start(Path folder, Path pluginPath, Path classPathFile) throws IOException, InterruptedException {
        return start(folder, pluginPath, classPathFile, ServerProcess.TEST_JVM_OPTIONS);
    }

    /**
     * Formats the broker's storage and starts the broker, waiting until it listens; the broker and every
     * worker run with {@code jvmOptions} rather than {@link ServerProcess#TEST_JVM_OPTIONS}.
     *
     * @param folder        where the servers keep their data, configurations and logs (made, emptied first)
     * @param pluginPath    the Connect plugin folder: one folder per plugin, with its jars
     * @param classPathFile the file the build wrote with Kafka's class path (Maven's build-classpath)
     * @param jvmOptions    the options of every server's JVM (heap, collector, compiler)
     * @return the cluster, with the broker running and no worker yet
     * @throws IOException          when a file cannot be written or a process started
     * @throws InterruptedException when interrupted
     * @throws IllegalStateException when the broker does not start within {@link #START_BOUND}
     */
    public static KafkaCluster start(Path folder, Path pluginPath, Path classPathFile, List<String> jvmOptions)
            throws IOException, InterruptedException {
        if (!Files.isDirectory(pluginPath)) {
            throw new IllegalStateException("No Connect plugin folder " + pluginPath
                                            + ": build it first (mvn -f java/pom.xml -pl vrxchdet-kafka-connect -am package)");
        }
        String classPath = Files.readString(classPathFile, StandardCharsets.UTF_8).strip();
        Files.createDirectories(folder);
        try (var old = Files.list(folder)) {
            for (Path path : old.toList()) {
                deleteTree(path);
            }
        }
        KafkaCluster cluster = new KafkaCluster(folder.toAbsolutePath(), pluginPath.toAbsolutePath(), classPath, jvmOptions);
        Runtime.getRuntime().addShutdownHook(cluster.hook);
        try {
            cluster.startBroker();
        } catch (IOException | InterruptedException | RuntimeException failure) {
            cluster.close();
            throw failure;
        }
        return cluster;
    }

    private void startBroker() throws IOException, InterruptedException {
        int controllerPort = freePort();
        Path data = folder.resolve("broker-data");
        Path config = folder.resolve("broker.properties");
        Map<String, String> props = new LinkedHashMap<>();
        props.put("process.roles", "broker,controller");
        props.put("node.id", "1");
        props.put("controller.quorum.voters", "1@127.0.0.1:" + controllerPort);
        props.put("listeners", "PLAINTEXT://127.0.0.1:" + brokerPort + ",CONTROLLER://127.0.0.1:" + controllerPort);
        props.put("advertised.listeners", "PLAINTEXT://127.0.0.1:" + brokerPort);
        props.put("controller.listener.names", "CONTROLLER");
        props.put("inter.broker.listener.name", "PLAINTEXT");
        props.put("listener.security.protocol.map", "PLAINTEXT:PLAINTEXT,CONTROLLER:PLAINTEXT");
        props.put("log.dirs", data.toString());
        props.put("num.partitions", "1");
        props.put("offsets.topic.replication.factor", "1");
        props.put("offsets.topic.num.partitions", "5");
        props.put("transaction.state.log.replication.factor", "1");
        props.put("transaction.state.log.min.isr", "1");
        props.put("transaction.state.log.num.partitions", "5");
        props.put("share.coordinator.state.topic.replication.factor", "1");
        props.put("share.coordinator.state.topic.min.isr", "1");
        props.put("group.initial.rebalance.delay.ms", "0");
        writeProperties(config, props);
        ServerProcess format = ServerProcess.launch(folder, "broker-format", classPath, jvmOptions, "kafka.tools.StorageTool",
            List.of("format", "--cluster-id", Uuid.randomUuid().toString(), "--config", config.toString()));
        format.await("the storage to be formatted", START_BOUND, () -> !format.isAlive());
        if (format.exitValue() != 0 || !Files.isDirectory(data)) {
            throw new IllegalStateException("The broker's storage was not formatted: see " + format.describe());
        }
        broker = ServerProcess.launch(folder, "broker", classPath, jvmOptions, "kafka.Kafka", List.of(config.toString()));
        servers.add(broker);
        broker.await("the broker to listen on 127.0.0.1:" + brokerPort, START_BOUND, () -> listening(brokerPort)
            && contains(broker.log(), "Kafka Server started"));
    }

    /**
     * The broker's address for clients.
     *
     * @return {@code 127.0.0.1:PORT}
     */
    public String bootstrapServers() {
        return "127.0.0.1:" + brokerPort;
    }

    /**
     * The cluster's folder: data, configurations and logs.
     *
     * @return the folder
     */
    public Path folder() {
        return folder;
    }

    /**
     * The broker.
     *
     * @return its process
     */
    public ServerProcess broker() {
        return broker;
    }

    /**
     * The workers started and not killed.
     *
     * @return the workers, in the order they started
     */
    public List<Worker> workers() {
        return List.copyOf(workers);
    }

    /**
     * Starts a worker with exactly-once source support enabled and waits until its REST API answers
     * {@code GET /health} with 200.
     *
     * @return the worker
     * @throws IOException          when its configuration cannot be written or its JVM started
     * @throws InterruptedException when interrupted
     */
    public Worker startWorker() throws IOException, InterruptedException {
        return startWorker(Map.of());
    }

    /**
     * Starts a worker whose configuration is the cluster's with {@code overrides} over it (for example
     * {@code exactly.once.source.support=disabled}), and waits until its REST API answers {@code GET /health}.
     *
     * @param overrides worker settings that replace or add to the defaults
     * @return the worker
     * @throws IOException          when its configuration cannot be written or its JVM started
     * @throws InterruptedException when interrupted
     */
    public Worker startWorker(Map<String, String> overrides) throws IOException, InterruptedException {
        String name = "worker-" + ++workersStarted;
        int port = freePort();
        Map<String, String> props = new LinkedHashMap<>();
        props.put("bootstrap.servers", bootstrapServers());
        props.put("group.id", GROUP_ID);
        props.put("key.converter", "org.apache.kafka.connect.json.JsonConverter");
        props.put("value.converter", "org.apache.kafka.connect.json.JsonConverter");
        props.put("key.converter.schemas.enable", "false");
        props.put("value.converter.schemas.enable", "false");
        props.put("config.storage.topic", "connect-configs");
        props.put("offset.storage.topic", "connect-offsets");
        props.put("status.storage.topic", "connect-status");
        props.put("config.storage.replication.factor", "1");
        props.put("offset.storage.replication.factor", "1");
        props.put("status.storage.replication.factor", "1");
        props.put("offset.storage.partitions", "5");
        props.put("status.storage.partitions", "1");
        props.put("offset.flush.interval.ms", "1000");
        props.put("listeners", "http://127.0.0.1:" + port);
        props.put("rest.advertised.host.name", "127.0.0.1");
        props.put("rest.advertised.port", Integer.toString(port));
        props.put("plugin.path", pluginPath.toString());
        props.put("exactly.once.source.support", "enabled");
        props.put("config.providers", "file");
        props.put("config.providers.file.class", "org.apache.kafka.common.config.provider.FileConfigProvider");
        // The tasks of a worker that left move to the others after this delay (5 minutes by default).
        props.put("scheduled.rebalance.max.delay.ms", "3000");
        props.put("session.timeout.ms", "6000");
        props.put("heartbeat.interval.ms", "1000");
        props.putAll(overrides);
        Path config = folder.resolve(name + ".properties");
        writeProperties(config, props);
        ServerProcess process = ServerProcess.launch(folder, name, classPath, jvmOptions,
            "org.apache.kafka.connect.cli.ConnectDistributed", List.of(config.toString()));
        servers.add(process);
        Worker worker = new Worker(process, new ConnectRest(URI.create("http://127.0.0.1:" + port)));
        process.await("its REST API to answer GET /health", START_BOUND, worker.rest()::healthy);
        workers.add(worker);
        return worker;
    }

    /**
     * SIGKILLs a worker, as a crash would, then waits up to {@link #ORPHAN_BOUND} for the feed children it had
     * to end by themselves; any still there after that are killed and reported.
     *
     * @param worker the worker
     * @return how many children it had and those that outlived it
     * @throws InterruptedException when interrupted
     */
    public Killed kill(Worker worker) throws InterruptedException {
        List<ProcessHandle> children = worker.process().handle().descendants().toList();
        seen.addAll(children);
        worker.process().kill();
        long killed = System.nanoTime();
        workers.remove(worker);
        List<String> survivors = waitForEnd(children, ORPHAN_BOUND);
        return new Killed(children.size(), survivors, Duration.ofNanos(System.nanoTime() - killed));
    }

    /**
     * What {@link #kill(Worker)} found.
     *
     * @param children   how many descendants the worker had when it was killed
     * @param survivors  those still alive {@link #ORPHAN_BOUND} later (then killed): pid and command line
     * @param childrenGone how long after the worker's end its last child was gone (the bound when one survived)
     */
    public record Killed(int children, List<String> survivors, Duration childrenGone) {
    }

    /**
     * Stops the workers (SIGTERM, which stops their tasks and so their feed children), then the broker; SIGKILLs
     * whatever has not ended within {@link #STOP_BOUND}, and any descendant of a worker still there
     * {@link #ORPHAN_BOUND} after it.
     *
     * @return what had to be killed, or did not end at all: empty when everything ended by itself
     */
    public List<String> stop() {
        List<String> unclean = new ArrayList<>();
        try {
            for (ServerProcess server : servers) {
                if (server != broker) {
                    seen.addAll(server.handle().descendants().toList());
                    server.terminate();
                }
            }
            for (ServerProcess server : servers) {
                if (server != broker && !server.awaitEnd(STOP_BOUND)) {
                    unclean.add(server.describe() + " did not stop within " + STOP_BOUND.toSeconds() + " s");
                }
            }
            unclean.addAll(waitForEnd(List.copyOf(seen), ORPHAN_BOUND));
            if (broker != null && broker.isAlive() && !broker.stop(STOP_BOUND)) {
                unclean.add(broker.describe() + " did not stop within " + STOP_BOUND.toSeconds() + " s");
            }
        } catch (InterruptedException interrupted) {
            Thread.currentThread().interrupt();
            killAll();
            unclean.add("interrupted while stopping: everything killed");
        }
        workers.clear();
        try {
            Runtime.getRuntime().removeShutdownHook(hook);
        } catch (IllegalStateException exiting) {
            // The JVM is exiting: the hook runs anyway.
        }
        return unclean;
    }

    /**
     * {@link #stop()}, ignoring what it reports.
     */
    @Override
    public void close() {
        stop();
    }

    /**
     * The processes of the cluster still alive: its servers and every descendant of a worker seen.
     *
     * @return pid and command line of each
     */
    public List<String> stillRunning() {
        Set<ProcessHandle> all = new LinkedHashSet<>(seen);
        for (ServerProcess server : servers) {
            all.add(server.handle());
            all.addAll(server.handle().descendants().toList());
        }
        return all.stream().filter(ProcessHandle::isAlive).map(KafkaCluster::describe).toList();
    }

    private void killAll() {
        for (ServerProcess server : servers) {
            server.handle().descendants().forEach(ProcessHandle::destroyForcibly);
            server.handle().destroyForcibly();
        }
        seen.forEach(ProcessHandle::destroyForcibly);
    }

    /** Waits for processes to end; those that do not are killed and returned, described. */
    private static List<String> waitForEnd(List<ProcessHandle> processes, Duration bound) throws InterruptedException {
        long giveUp = System.nanoTime() + bound.toNanos();
        while (processes.stream().anyMatch(ProcessHandle::isAlive) && System.nanoTime() - giveUp < 0) {
            TimeUnit.MILLISECONDS.sleep(20);
        }
        List<String> survivors = processes.stream().filter(ProcessHandle::isAlive).map(KafkaCluster::describe)
            .map(process -> process + " outlived its worker by " + bound.toSeconds() + " s").toList();
        processes.forEach(ProcessHandle::destroyForcibly);
        return survivors;
    }

    private static String describe(ProcessHandle process) {
        return "pid " + process.pid() + " " + process.info().commandLine().orElse("");
    }

    private static boolean listening(int port) {
        try (Socket socket = new Socket()) {
            socket.connect(new InetSocketAddress(InetAddress.getLoopbackAddress(), port), 500);
            return true;
        } catch (IOException refused) {
            return false;
        }
    }

    private static boolean contains(Path file, String text) {
        try {
            return Files.exists(file) && Files.readString(file, StandardCharsets.UTF_8).contains(text);
        } catch (IOException unreadable) {
            throw new UncheckedIOException(unreadable);
        }
    }

    private static int freePort() throws IOException {
        try (ServerSocket socket = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            return socket.getLocalPort();
        }
    }

    private static void writeProperties(Path file, Map<String, String> props) throws IOException {
        Files.writeString(file, props.entrySet().stream().map(e -> e.getKey() + "=" + e.getValue())
            .collect(Collectors.joining("\n", "", "\n")), StandardCharsets.UTF_8);
    }

    private static void deleteTree(Path path) throws IOException {
        if (Files.isDirectory(path, LinkOption.NOFOLLOW_LINKS)) {
            try (var children = Files.list(path)) {
                for (Path child : children.toList()) {
                    deleteTree(child);
                }
            }
        }
        Files.delete(path);
    }

    /** A Connect worker of the cluster: its JVM and its REST API. */
    public static final class Worker {
        private final ServerProcess process;
        private final ConnectRest rest;

        Worker(ServerProcess process, ConnectRest rest) {
            this.process = process;
            this.rest = rest;
        }

        /**
         * The worker's JVM.
         *
         * @return its process
         */
        public ServerProcess process() {
            return process;
        }

        /**
         * The worker's REST API.
         *
         * @return a client of it
         */
        public ConnectRest rest() {
            return rest;
        }

        /**
         * The worker's id in task statuses ({@code worker_id}).
         *
         * @return {@code 127.0.0.1:PORT}
         */
        public String id() {
            return rest.base().getHost() + ":" + rest.base().getPort();
        }

        /**
         * The live descendants of the worker's JVM: the feed children of its tasks.
         *
         * @return their handles
         */
        public List<ProcessHandle> children() {
            return process.handle().descendants().filter(ProcessHandle::isAlive).toList();
        }

        @Override
        public String toString() {
            return process.describe();
        }
    }
}
