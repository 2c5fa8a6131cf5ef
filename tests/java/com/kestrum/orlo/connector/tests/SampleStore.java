package com.kestrum.orlo.connector.tests;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.stream.Stream;

/** A configuration, ID file and database made by tesra-admin in the folder of TESRA_INI. */
final class SampleStore {
    static final String PASSWORD = "open sesame";
    static final String DATABASE = "main.tdb";

    final Path admin;
    final Path ini;
    final Path folder;

    private SampleStore(Path admin, Path ini) {
        this.admin = admin;
        this.ini = ini;
        this.folder = ini.getParent();
    }

    /** TESRA_INI names the configuration the store library reads; the store is made right there. */
    static SampleStore create(Path admin, int records) throws IOException, InterruptedException {
        String iniPath = System.getenv("TESRA_INI");
        if (iniPath == null) {
            throw new IllegalStateException("TESRA_INI is not set");
        }
        SampleStore store = new SampleStore(admin, Path.of(iniPath).toAbsolutePath());
        if (Files.exists(store.folder)) {
            try (Stream<Path> paths = Files.walk(store.folder)) {
                for (Path path : paths.sorted(Comparator.reverseOrder()).toList()) {
                    Files.delete(path);
                }
            }
        }
        store.run(List.of("setup", store.folder.toString(), "--user", "Test User", "--password", PASSWORD,
                          "--database", DATABASE, "--iterations", "100000", "--records", Integer.toString(records)));
        return store;
    }

    String admin(String... arguments) throws IOException, InterruptedException {
        List<String> words = new ArrayList<>(List.of(arguments));
        words.add("--ini");
        words.add(ini.toString());
        return run(words);
    }

    Process start(List<String> arguments, Path output) throws IOException {
        List<String> command = new ArrayList<>();
        command.add(admin.toString());
        command.addAll(arguments);
        command.add("--ini");
        command.add(ini.toString());
        return new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(output.toFile()).start();
    }

    void rewriteIni(String content) throws IOException {
        Files.writeString(ini, content, StandardCharsets.UTF_8);
    }

    String iniContent() throws IOException {
        return Files.readString(ini, StandardCharsets.UTF_8);
    }

    private String run(List<String> arguments) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(admin.toString());
        command.addAll(arguments);
        Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
        String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (process.waitFor() != 0) {
            throw new IllegalStateException(String.join(" ", command) + " failed:\n" + output);
        }
        return output;
    }
}
