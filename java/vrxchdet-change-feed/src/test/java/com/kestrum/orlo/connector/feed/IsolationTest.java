package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.EOFException;
import java.io.IOException;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;

import org.junit.jupiter.api.Test;

/** The isolation as a value of the options, and the framing between a feed and its child. */
class IsolationTest {
    @Test
    void isolationIsAValueOfTheOptionsAndInProcessTheDefault() {
        assertEquals(Isolation.inProcess(), ChangeFeedOptions.defaults().isolation());
        assertFalse(Isolation.inProcess().isChildProcess());
        assertThrows(IllegalStateException.class, () -> Isolation.inProcess().withTraceToLogger());
        assertThrows(IllegalStateException.class, () -> Isolation.inProcess().withTesraIni(Path.of("x.ini")));

        Isolation child = Isolation.childProcess().withTesraIni(Path.of("/a/tesra.ini")).withEnvironment("TESRA_FAULTS", null)
            .withTraceTo(Path.of("/a/trace.log")).withJavaOptions("-Xmx64m");
        assertEquals(Isolation.Trace.FILE, child.trace());
        assertEquals(Path.of("/a/trace.log"), child.traceFile());
        assertEquals("/a/tesra.ini", child.environment().get("TESRA_INI"));
        assertTrue(child.environment().containsKey("TESRA_FAULTS"));
        assertEquals(List.of("-Xmx64m"), child.javaOptions());
        Isolation logged = child.withTraceToLogger();
        assertNull(logged.traceFile());
        assertEquals(child.environment(), logged.environment());
        assertThrows(UnsupportedOperationException.class, () -> child.environment().put("X", "y"));
        assertThrows(IllegalArgumentException.class, () -> Isolation.childProcess().withEnvironment("A=B", "c"));
        assertThrows(IllegalArgumentException.class, () -> Isolation.childProcess().withEnvironment("", "c"));

        ChangeFeedOptions options = ChangeFeedOptions.defaults().withIsolation(child);
        assertEquals(options, ChangeFeedOptions.defaults().withIsolation(Isolation.childProcess().withTesraIni(Path.of("/a/tesra.ini"))
            .withEnvironment("TESRA_FAULTS", null).withTraceTo(Path.of("/a/trace.log")).withJavaOptions("-Xmx64m")));
        assertNotEquals(options, options.withIsolation(logged));
        assertNotEquals(options.hashCode(), ChangeFeedOptions.defaults().hashCode());
        assertTrue(options.withPollTimeout(java.time.Duration.ofSeconds(3)).isolation().equals(child), "kept by other withs");
        assertTrue(options.toString().contains("child process, trace to /a/trace.log"), options.toString());
    }

    @Test
    void framesGoAcrossWholeAndAnotherFramingOrABrokenFrameIsRefused() throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(bytes);
        ChildProtocol.hello(out);
        new ChildProtocol.Frame(ChildProtocol.ENTRIES).integer(2).string("UNID:1:NOR").string("é\u0000\uD83D\uDE00")
            .sendTo(out);
        new ChildProtocol.Frame(ChildProtocol.FAILED).octet(ChildProtocol.STORE_FAILURE).string("").sendTo(out);
        DataInputStream in = new DataInputStream(new ByteArrayInputStream(bytes.toByteArray()));
        assertNull(ChildProtocol.checkHello(in));
        ChildProtocol.Received entries = ChildProtocol.read(in);
        assertEquals(ChildProtocol.ENTRIES, entries.type);
        assertEquals(2, entries.integer());
        assertEquals("UNID:1:NOR", entries.string());
        assertEquals("é\u0000\uD83D\uDE00", entries.string());
        ChildProtocol.Received failed = ChildProtocol.read(in);
        assertEquals(ChildProtocol.STORE_FAILURE, failed.octet());
        assertEquals("", failed.string());
        assertThrows(EOFException.class, () -> ChildProtocol.read(in));

        for (Map.Entry<byte[], String> wrong : Map.of(new byte[] {'V', 'X', 'C', 'D', 0, 2}, "version 2",
                                                      new byte[] {'H', 'T', 'T', 'P', 0, 1}, "0x48545450").entrySet()) {
            String problem = ChildProtocol.checkHello(new DataInputStream(new ByteArrayInputStream(wrong.getKey())));
            assertTrue(problem != null && problem.contains(wrong.getValue()), problem);
        }
        for (byte[] broken : List.of(new byte[] {0, 0, 0, 0}, new byte[] {(byte) 0xFF, 0, 0, 0},
                                     new byte[] {0x01, 0, 0, 1, 12}, new byte[] {0, 0, 0, 9, 12, 0, 0, 0, 9, 'a'})) {
            DataInputStream frame = new DataInputStream(new ByteArrayInputStream(broken));
            assertThrows(IOException.class, () -> {
                ChildProtocol.Received received = ChildProtocol.read(frame);
                received.integer();
                received.string();
            });
        }
    }

    @Test
    void anExitStatusReadsAsASignalOrAStatus() {
        assertEquals(" was killed by signal 9 (SIGKILL)", ChildProcessCalls.describe(137));
        assertEquals(" was killed by signal 6 (SIGABRT)", ChildProcessCalls.describe(134));
        assertEquals(" ended with exit status 1", ChildProcessCalls.describe(1));
        assertEquals(" ended with exit status 128", ChildProcessCalls.describe(128));
        assertEquals(" ended with exit status 255", ChildProcessCalls.describe(255));
    }
}
