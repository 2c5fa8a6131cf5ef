package com.kestrum.orlo.connector.tests;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.stream.Collectors;

import org.junit.jupiter.api.extension.AfterAllCallback;
import org.junit.jupiter.api.extension.ExtensionContext;

/**
 * Fails a test class after which the JVM's log holds a warning of -Xcheck:jni (a JNI call that can fail
 * left unchecked, local references beyond capacity). The build starts every test JVM with -Xcheck:jni
 * and its own output in the log the system property vrxchdet.jvm.log names ("%p" stands for "pid" and the process id, as the JVM writes it);
 * registered for every test class through the extension auto-detection the build turns on.
 */
public final class JniChecks implements AfterAllCallback {
    private static final List<String> WARNINGS = List.of("WARNING in native method", "exceeds capacity");
    /** How far the log was read: each warning fails the one class that ran when it was written. */
    private static long read;

    @Override
    public void afterAll(ExtensionContext context) throws IOException {
        String pattern = System.getProperty("vrxchdet.jvm.log");
        if (pattern == null) {
            return; // not started by the build: nothing to read
        }
        Path log = Path.of(pattern.replace("%p", "pid" + ProcessHandle.current().pid()));
        if (!Files.exists(log)) {
            throw new AssertionError("no JVM log " + log + ": start the JVM with -XX:+LogVMOutput -XX:LogFile=" + pattern);
        }
        byte[] all = Files.readAllBytes(log);
        String fresh = new String(all, (int) Math.min(read, all.length), all.length - (int) Math.min(read, all.length),
                                  StandardCharsets.UTF_8);
        read = all.length;
        String warnings = fresh.lines().filter(line -> WARNINGS.stream().anyMatch(line::contains))
            .collect(Collectors.joining("\n"));
        if (!warnings.isEmpty()) {
            throw new AssertionError("-Xcheck:jni warned in " + context.getDisplayName() + " (" + log + "):\n" + warnings);
        }
    }
}
