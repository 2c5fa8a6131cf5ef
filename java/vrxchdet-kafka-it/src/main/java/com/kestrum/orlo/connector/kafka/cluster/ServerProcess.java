package com.kestrum.orlo.connector.kafka.cluster;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;

/**
 * A server of the test cluster: a JVM of its own on Kafka's class path, logging through log4j2 to
 * {@code NAME.log} in the cluster's folder, its standard output and error in {@code NAME.out}.
 */
public final class ServerProcess {
    /**
     * The JVM options of a test cluster's servers: a small heap and C1 alone, which start quickly and leave
     * room for other work; a benchmark gives its own.
     */
    public static final List<String> TEST_JVM_OPTIONS = List.of("-Xmx512m", "-XX:+UseSerialGC", "-XX:TieredStopAtLevel=1");

    private final String name;
    private final Process process;
    private final Path log;
    private final Path output;

    ServerProcess(String name, Process process, Path log, Path output) {
        this.name = name;
        this.process = process;
        this.log = log;
        this.output = output;
    }

    /**
     * Starts a JVM.
     *
     * @param folder     the cluster's folder, for the logs and the log4j2 configuration
     * @param name       the server's name: {@code broker}, {@code worker-1}, ...
     * @param classPath  Kafka's class path
     * @param jvmOptions the JVM's options (heap, collector, compiler)
     * @param mainClass  the main class
     * @param arguments  its arguments
     * @return the started process
     * @throws IOException when it cannot be started
     */
    static ServerProcess launch(Path folder, String name, String classPath, List<String> jvmOptions, String mainClass,
                                List<String> arguments) throws IOException {
        Path log = folder.resolve(name + ".log");
        Path output = folder.resolve(name + ".out");
        Path config = folder.resolve(name + "-log4j2.properties");
        Files.writeString(config, String.join("\n",
            "status = warn",
            "appender.file.type = File",
            "appender.file.name = file",
            "appender.file.fileName = " + log,
            "appender.file.layout.type = PatternLayout",
            "appender.file.layout.pattern = [%d] %p [%t] %m (%c)%n",
            "rootLogger.level = INFO",
            "rootLogger.appenderRef.file.ref = file",
            ""), StandardCharsets.UTF_8);
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        command.addAll(jvmOptions);
        command.addAll(List.of("-Djava.awt.headless=true", "-Dlog4j2.configurationFile=" + config,
            "-Dkafka.logs.dir=" + folder, "-cp", classPath, mainClass));
        command.addAll(arguments);
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true)
            .redirectOutput(ProcessBuilder.Redirect.appendTo(output.toFile()));
        Map<String, String> environment = builder.environment();
        environment.remove("KAFKA_OPTS");
        return new ServerProcess(name, builder.start(), log, output);
    }

    /**
     * The server's name.
     *
     * @return the name
     */
    public String name() {
        return name;
    }

    /**
     * The server's JVM.
     *
     * @return its process handle
     */
    public ProcessHandle handle() {
        return process.toHandle();
    }

    /**
     * Its log4j2 log.
     *
     * @return the file
     */
    public Path log() {
        return log;
    }

    /**
     * Its standard output and error.
     *
     * @return the file
     */
    public Path output() {
        return output;
    }

    /**
     * Whether the JVM still runs.
     *
     * @return true while it runs
     */
    public boolean isAlive() {
        return process.isAlive();
    }

    /**
     * The JVM's exit status, once it ended.
     *
     * @return the status
     */
    int exitValue() {
        return process.exitValue();
    }

    /**
     * Where to look when something of this server went wrong.
     *
     * @return its name, pid and log files
     */
    public String describe() {
        return name + " (pid " + process.pid() + ", logs " + log + " and " + output + ")";
    }

    /**
     * Waits until {@code ready} holds, failing early when the JVM ends.
     *
     * @param what  what is waited for, for the message
     * @param bound how long to wait at most
     * @param ready the condition, asked every 200 ms
     * @throws IllegalStateException when the JVM ended or the bound passed, naming what was waited for
     * @throws InterruptedException  when interrupted
     */
    void await(String what, Duration bound, BooleanSupplier ready) throws InterruptedException {
        long giveUp = System.nanoTime() + bound.toNanos();
        while (!ready.getAsBoolean()) {
            if (!process.isAlive()) {
                throw new IllegalStateException(describe() + " ended with status " + process.exitValue() + " while waiting for "
                                                + what);
            }
            if (System.nanoTime() - giveUp > 0) {
                throw new IllegalStateException("waited " + bound.toSeconds() + " s for " + what + " of " + describe());
            }
            TimeUnit.MILLISECONDS.sleep(200);
        }
    }

    /**
     * Ends the JVM: SIGTERM, then SIGKILL when it has not ended within {@code bound}.
     *
     * @param bound how long a graceful stop may take
     * @return true when it ended by itself, false when it had to be killed
     * @throws InterruptedException when interrupted
     */
    boolean stop(Duration bound) throws InterruptedException {
        terminate();
        return awaitEnd(bound);
    }

    /** Sends SIGTERM. */
    void terminate() {
        process.destroy();
    }

    /**
     * Waits for the JVM to end, and SIGKILLs it when it has not within {@code bound}.
     *
     * @param bound how long to wait
     * @return true when it ended by itself, false when it had to be killed
     * @throws InterruptedException when interrupted
     */
    boolean awaitEnd(Duration bound) throws InterruptedException {
        if (process.waitFor(bound.toMillis(), TimeUnit.MILLISECONDS)) {
            return true;
        }
        kill();
        return false;
    }

    /**
     * SIGKILL, then waits up to 10 s for the JVM to be gone.
     *
     * @throws InterruptedException when interrupted
     * @throws IllegalStateException when it is still there after 10 s
     */
    void kill() throws InterruptedException {
        process.destroyForcibly();
        if (!process.waitFor(10, TimeUnit.SECONDS)) {
            throw new IllegalStateException("waited 10 s for " + describe() + " to end after SIGKILL");
        }
    }
}
