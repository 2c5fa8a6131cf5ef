package com.kestrum.orlo.connector.kafka.cluster;

import com.fasterxml.jackson.databind.JsonNode;
import com.fasterxml.jackson.databind.ObjectMapper;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.TimeUnit;

/**
 * Writes to a store's databases through {@code tesra-admin add}, {@code change} and {@code delete} with
 * {@code --json}, which prints each write's record id and the time it was stamped with; and lists them with
 * {@code tesra-admin list --deleted --json}.
 */
public final class StoreWriter {
    /** Hundredths of a second in a day: a store time is day * this + hundredths of the day. */
    public static final long HUNDREDTHS_PER_DAY = 8_640_000L;

    private final Path admin;
    private final Path ini;
    private final ObjectMapper json = new ObjectMapper();

    /**
     * A writer of the store whose configuration is {@code ini}.
     *
     * @param admin {@code tesra-admin}
     * @param ini   the store's {@code tesra.ini}
     */
    public StoreWriter(Path admin, Path ini) {
        this.admin = admin;
        this.ini = ini;
    }

    /**
     * One write, as {@code tesra-admin --json} printed it.
     *
     * @param database  the database
     * @param operation {@code add}, {@code change} or {@code delete}
     * @param recordId  the record's id
     * @param stamp     the time it was stamped with, in hundredths of a second since the store's first day
     * @param modified  that time as text
     */
    public record Write(String database, String operation, long recordId, long stamp, String modified) {
    }

    /**
     * A record of a database's listing.
     *
     * @param recordId    the record's id
     * @param universalId its universal id
     * @param deleted     whether only its deletion record is left
     */
    public record Listed(long recordId, String universalId, boolean deleted) {
    }

    /**
     * Runs one writing command of {@code tesra-admin} on a database.
     *
     * @param command   {@code add}, {@code change} or {@code delete}
     * @param database  the database
     * @param arguments the command's further arguments ({@code --count 3}, {@code --random 1}, ...)
     * @return the writes it made
     * @throws IOException          when it fails
     * @throws InterruptedException when interrupted
     */
    public List<Write> write(String command, String database, String... arguments) throws IOException, InterruptedException {
        List<String> words = new ArrayList<>(List.of(command, database));
        words.addAll(List.of(arguments));
        List<Write> writes = new ArrayList<>();
        for (JsonNode line : run(words)) {
            writes.add(new Write(database, line.path("operation").asText(), Long.parseLong(line.path("record_id").asText(), 16),
                                 line.path("day").asLong() * HUNDREDTHS_PER_DAY + line.path("hundredths").asLong(),
                                 line.path("modified").asText()));
        }
        return writes;
    }

    /**
     * Every record of a database, deletion records included.
     *
     * @param database the database
     * @return the records by record id
     * @throws IOException          when the listing fails
     * @throws InterruptedException when interrupted
     */
    public Map<Long, Listed> list(String database) throws IOException, InterruptedException {
        Map<Long, Listed> records = new HashMap<>();
        for (JsonNode line : run(List.of("list", database, "--deleted"))) {
            long id = Long.parseLong(line.path("record_id").asText(), 16);
            records.put(id, new Listed(id, line.path("universal_id").asText(), line.path("deleted").asBoolean()));
        }
        return records;
    }

    /**
     * Starts a thread that adds, changes and deletes records of a database, one command every 20 to 120 ms,
     * for {@code duration}, keeping at least a few records present.
     *
     * @param database the database
     * @param duration how long it writes
     * @param seed     the seed of its choices
     * @return the running writer
     * @throws IOException          when the database cannot be listed
     * @throws InterruptedException when interrupted
     */
    public Churn churn(String database, Duration duration, long seed) throws IOException, InterruptedException {
        int present = (int) list(database).values().stream().filter(record -> !record.deleted()).count();
        Churn churn = new Churn(database, duration, new Random(seed), present);
        churn.thread.start();
        return churn;
    }

    /** A writer thread started by {@link #churn}. */
    public final class Churn {
        private final Thread thread;
        private final List<Write> writes = new ArrayList<>();
        private volatile Exception failure;

        private Churn(String database, Duration duration, Random random, int initiallyPresent) {
            thread = new Thread(() -> {
                long end = System.nanoTime() + duration.toNanos();
                int present = initiallyPresent;
                try {
                    while (System.nanoTime() - end < 0) {
                        int choice = random.nextInt(10);
                        List<Write> made;
                        if (choice < 4 || present < 5) {
                            made = write("add", database, "--count", Integer.toString(1 + random.nextInt(3)));
                            present += made.size();
                        } else if (choice < 8) {
                            made = write("change", database, "--random", Integer.toString(1 + random.nextInt(2)),
                                         "--seed", Long.toString(random.nextLong() & Long.MAX_VALUE));
                        } else {
                            made = write("delete", database, "--random", "1", "--seed", Long.toString(random.nextLong() & Long.MAX_VALUE));
                            present -= made.size();
                        }
                        synchronized (writes) {
                            writes.addAll(made);
                        }
                        TimeUnit.MILLISECONDS.sleep(20 + random.nextInt(100));
                    }
                } catch (IOException | InterruptedException | RuntimeException failed) {
                    failure = failed;
                }
            }, "writer-" + database);
        }

        /**
         * Waits for the writer to end.
         *
         * @param bound how long to wait at most
         * @return every write it made
         * @throws InterruptedException when interrupted
         * @throws IllegalStateException when it did not end within the bound, or a write failed
         */
        public List<Write> join(Duration bound) throws InterruptedException {
            thread.join(bound.toMillis());
            if (thread.isAlive()) {
                thread.interrupt();
                throw new IllegalStateException("waited " + bound.toSeconds() + " s for the writer " + thread.getName() + " to end");
            }
            if (failure != null) {
                throw new IllegalStateException("The writer " + thread.getName() + " failed: " + failure.getMessage(), failure);
            }
            synchronized (writes) {
                return List.copyOf(writes);
            }
        }

        /**
         * Stops the writer at once, for a test that gives up.
         */
        public void interrupt() {
            thread.interrupt();
        }
    }

    private List<JsonNode> run(List<String> arguments) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(admin.toString());
        command.addAll(arguments);
        command.addAll(List.of("--json", "--ini", ini.toString()));
        Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
        String output;
        try {
            output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            if (!process.waitFor(60, TimeUnit.SECONDS)) {
                throw new IOException("waited 60 s for " + String.join(" ", command));
            }
        } finally {
            process.destroyForcibly();
        }
        if (process.exitValue() != 0) {
            throw new IOException(String.join(" ", command) + " ended with status " + process.exitValue() + ": " + output);
        }
        List<JsonNode> lines = new ArrayList<>();
        for (String line : output.split("\n", -1)) {
            if (line.startsWith("{")) {
                lines.add(json.readTree(line));
            }
        }
        return lines;
    }
}
