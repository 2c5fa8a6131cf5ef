package com.kestrum.orlo.connector.tests;

import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;

/** What a test of isolated feeds checks after closing them: their children ended, the bridge stayed out. */
public final class IsolatedChildren {
    private IsolatedChildren() {
    }

    /**
     * Waits up to 5 seconds for every child process of this JVM to end, then checks that this JVM never
     * mapped the native library (isolated feeds load it in their children alone).
     *
     * @param whose what the children belonged to, for the failure message
     */
    public static void assertEndedAndBridgeNeverLoaded(String whose) throws InterruptedException, IOException {
        long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        while (ProcessHandle.current().children().anyMatch(ProcessHandle::isAlive)) {
            assertTrue(System.nanoTime() < giveUp, "waited 5 s for the children of " + whose + " to end: "
                       + ProcessHandle.current().children().map(child -> child.pid() + " " + child.info().commandLine().orElse(""))
                           .toList());
            Thread.sleep(10);
        }
        assertFalse(Files.readString(Path.of("/proc/self/maps")).contains(System.mapLibraryName("vrxchdet")),
                    "this JVM mapped the native library");
    }
}
