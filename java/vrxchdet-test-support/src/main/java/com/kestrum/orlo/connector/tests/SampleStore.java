package com.kestrum.orlo.connector.tests;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.LocalDate;
import java.time.LocalDateTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.stream.Stream;

/** A configuration, ID file and database made by tesra-admin in the folder of TESRA_INI. */
public final class SampleStore {
    public static final String PASSWORD = "open sesame";
    public static final String DATABASE = "main.tdb";
    /** tesra-admin, as the build names it in the system property tesra.admin. */
    public static final Path ADMIN = Path.of(System.getProperty("tesra.admin", "tesra-admin"));
    private static final long TICKS_PER_DAY = 8_640_000L;
    private static final long FIRST_EPOCH_DAY = LocalDate.of(1, 1, 1).toEpochDay();
    private static final DateTimeFormatter END_TEXT = DateTimeFormatter.ofPattern("uuuu-MM-dd HH:mm:ss");

    /** One committed write, as a writer (tesra-admin churn --log) logged it; its stamp in store time. */
    public record Write(String operation, long recordId, long stamp) {}

    public final Path admin;
    public final Path ini;
    public final Path folder;

    private SampleStore(Path admin, Path ini) {
        this.admin = admin;
        this.ini = ini;
        this.folder = ini.getParent();
    }

    /** {@link #create(Path, int)} with the build's tesra-admin. */
    public static SampleStore create(int records) throws IOException, InterruptedException {
        return create(ADMIN, records);
    }

    /** TESRA_INI names the configuration the store library reads; the store is made right there. */
    public static SampleStore create(Path admin, int records) throws IOException, InterruptedException {
        String iniPath = System.getenv("TESRA_INI");
        if (iniPath == null) {
            throw new IllegalStateException("TESRA_INI is not set");
        }
        return create(admin, Path.of(iniPath).toAbsolutePath().getParent(), DATABASE, PASSWORD, records);
    }

    /**
     * A store of its own in {@code folder} (emptied first), with its own tesra.ini, ID file, password and
     * database: for several stores in one test, each read by a process whose TESRA_INI names its ini.
     */
    public static SampleStore create(Path folder, String database, String password, int records)
            throws IOException, InterruptedException {
        return create(ADMIN, folder.toAbsolutePath(), database, password, records);
    }

    private static SampleStore create(Path admin, Path folder, String database, String password, int records)
            throws IOException, InterruptedException {
        SampleStore store = new SampleStore(admin, folder.resolve("tesra.ini"));
        if (Files.exists(store.folder)) {
            try (Stream<Path> paths = Files.walk(store.folder)) {
                for (Path path : paths.sorted(Comparator.reverseOrder()).toList()) {
                    Files.delete(path);
                }
            }
        }
        store.run(List.of("setup", store.folder.toString(), "--user", "Test User", "--password-stdin",
                          "--database", database, "--iterations", "100000", "--records", Integer.toString(records)),
                  password + "\n");
        return store;
    }

    /** The universal ids of the records present in the database, as tesra-admin list prints them. */
    public Set<String> listing(String database) throws IOException, InterruptedException {
        Set<String> ids = new HashSet<>();
        for (String line : admin("list", database).split("\n")) {
            if (!line.isBlank()) {
                ids.add(line.split(" ", -1)[1]);
            }
        }
        return ids;
    }

    public String admin(String... arguments) throws IOException, InterruptedException {
        List<String> words = new ArrayList<>(List.of(arguments));
        words.add("--ini");
        words.add(ini.toString());
        return run(words, "");
    }

    public Process start(List<String> arguments, Path output) throws IOException {
        List<String> command = new ArrayList<>();
        command.add(admin.toString());
        command.addAll(arguments);
        command.add("--ini");
        command.add(ini.toString());
        return new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(output.toFile()).start();
    }

    public void rewriteIni(String content) throws IOException {
        Files.writeString(ini, content, StandardCharsets.UTF_8);
    }

    public String iniContent() throws IOException {
        return Files.readString(ini, StandardCharsets.UTF_8);
    }

    /** "YYYY-MM-DD HH:MM:SS.hh0" as day number * hundredths per day + hundredths of the day. */
    public static long storeTime(String text) {
        LocalDateTime time = LocalDateTime.parse(text.substring(0, text.length() - 4), END_TEXT);
        long hundredths = Long.parseLong(text.substring(text.length() - 3, text.length() - 1));
        long day = time.toLocalDate().toEpochDay() - FIRST_EPOCH_DAY + 1;
        return day * TICKS_PER_DAY + time.toLocalTime().toSecondOfDay() * 100L + hundredths;
    }

    /** A writer's log: lines "OPERATION RECORDID_HEX DATE TIME DAY TICKS". */
    public static List<Write> writesIn(Path log) throws IOException {
        List<Write> writes = new ArrayList<>();
        for (String line : Files.readAllLines(log)) {
            String[] words = line.trim().split("\\s+", -1);
            if (words.length != 6) {
                throw new IllegalStateException("unexpected writer log line: " + line);
            }
            long stamp = Long.parseLong(words[4]) * TICKS_PER_DAY + Long.parseLong(words[5]);
            writes.add(new Write(words[0], Long.parseLong(words[1], 16), stamp));
        }
        return writes;
    }

    /** Runs the admin command with {@code input} on its standard input. */
    private String run(List<String> arguments, String input) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(admin.toString());
        command.addAll(arguments);
        Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
        try (var stdin = process.getOutputStream()) {
            stdin.write(input.getBytes(StandardCharsets.UTF_8));
        }
        String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (process.waitFor() != 0) {
            throw new IllegalStateException(String.join(" ", command) + " failed:\n" + output);
        }
        return output;
    }
}
