package com.kestrum.orlo.connector.feed;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.io.BufferedInputStream;
import java.io.BufferedOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.security.CodeSource;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.ScheduledThreadPoolExecutor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.Consumer;

/**
 * The store calls made in a child process: a JVM of its own started with {@link ChildMain}, one per feed,
 * a new one after each end. Requests go to the child's standard input; its answers come from descriptor
 * 3, which the start moves to the pipe of the child's standard output, while descriptor 1 (the native
 * library's trace) joins standard error, read line by line into the trace's destination. A call that
 * outlasts its deadline ends the child.
 */
final class ChildProcessCalls implements StoreCalls {
    /** The logger the child's trace lines go to under {@link Isolation.Trace#LOGGER}. */
    static final String TRACE_LOGGER = "com.kestrum.orlo.connector.feed.ChangeFeed.child";
    private static final System.Logger TRACE_LOG = System.getLogger(TRACE_LOGGER);
    private static final System.Logger LOG = System.getLogger(ChangeFeed.class.getName());
    // Moves the framing to descriptor 3 and the trace (descriptor 1) to standard error, then runs java.
    private static final String START = "exec \"$0\" \"$@\" 3>&1 1>&2";
    /**
     * The start of a child whose trace is kept: its standard output line-buffered where coreutils' stdbuf
     * is found, so each trace line reaches the pipe as it is written and a killed child loses none.
     */
    private static final String START_LINE_BUFFERED =
        "if command -v stdbuf >/dev/null 2>&1; then exec stdbuf -oL \"$0\" \"$@\" 3>&1 1>&2; fi; " + START;
    private static final int TAIL_BYTES = 8192;
    private static final int TAIL_LINES = 12;
    private static final long CLOSE_GRACE_MILLIS = 50;
    // How long a stop waits for a killed child to be gone.
    private static final long KILL_WAIT_MILLIS = 2000;
    // Ends the children whose calls outlast their deadlines.
    private static final ScheduledThreadPoolExecutor WATCHDOG = watchdog();

    private final Isolation isolation;
    private final String database;
    private final ChangeFeedOptions options;
    // Pauses before a new child after ends in a row; abort wakes them.
    private final Object restart = new Object();
    // Held by a call in flight; abort sends a close only when it can have it at once.
    private final ReentrantLock calling = new ReentrantLock();
    private volatile Child child;
    private volatile boolean aborted;
    private int endsInARow;           // guarded by the feed's call lock
    private long lastEndNanos;        // guarded by the feed's call lock

    ChildProcessCalls(String database, ChangeFeedOptions options) {
        this.isolation = options.isolation();
        this.database = database;
        this.options = options;
    }

    private static ScheduledThreadPoolExecutor watchdog() {
        ScheduledThreadPoolExecutor executor = new ScheduledThreadPoolExecutor(1, task -> {
            Thread thread = new Thread(task, "vrxchdet child watchdog");
            thread.setDaemon(true);
            return thread;
        });
        executor.setRemoveOnCancelPolicy(true);
        return executor;
    }

    @Override
    public void open(String server, String databaseFile, String password, long deadline) throws Exception {
        pauseBeforeRestart(deadline);
        Child started = start();
        child = started;
        boolean opened = false;
        try {
            if (aborted) {  // a close between the start and the line above has not seen this child
                throw new IllegalStateException("The change feed on " + database + " is closed");
            }
            started.call(deadline, () -> {
                started.hello();
                new ChildProtocol.Frame(ChildProtocol.OPEN).string(server == null ? "" : server).string(databaseFile)
                    .string(password).sendTo(started.requests);
                ChildProtocol.Received answer = ChildProtocol.read(started.answers);
                if (answer.type == ChildProtocol.FAILED) {
                    throw failure(answer);
                } else if (answer.type != ChildProtocol.OPENED) {
                    throw new IOException("an answer of type " + answer.type + " to an open");
                }
                return null;
            });
            opened = true;  // ends in a row are counted until a search succeeds: a child may die at each
        } finally {
            if (!opened) {
                started.stop(CLOSE_GRACE_MILLIS);
                child = null;
            }
        }
    }

    @Override
    public boolean isOpen() {
        return child != null;
    }

    @Override
    public void search(String since, StringBuilder endText, Consumer<String> entries, long deadline) throws Exception {
        Child running = child;
        if (running == null) {
            throw new IllegalStateException("No child process is open on " + database);
        }
        running.call(deadline, () -> {
            ChildProtocol.Frame request = new ChildProtocol.Frame(ChildProtocol.SEARCH).flag(since != null);
            if (since != null) {
                request.string(since);
            }
            request.sendTo(running.requests);
            while (true) {
                ChildProtocol.Received answer = ChildProtocol.read(running.answers);
                if (answer.type == ChildProtocol.ENTRIES) {
                    for (int count = answer.integer(); count > 0; --count) {
                        entries.accept(answer.string());
                    }
                } else if (answer.type == ChildProtocol.END) {
                    endText.append(answer.string());
                    return null;
                } else if (answer.type == ChildProtocol.FAILED) {
                    throw failure(answer);
                } else {
                    throw new IOException("an answer of type " + answer.type + " to a search");
                }
            }
        });
        endsInARow = 0;
    }

    @Override
    public void close() {
        Child running = child;
        child = null;
        if (running != null) {
            running.stop(1000);
        }
    }

    @Override
    public void abort() {
        aborted = true;
        synchronized (restart) {
            restart.notifyAll();
        }
        Child running = child;
        if (running != null) {
            running.stop(CLOSE_GRACE_MILLIS);
        }
    }

    @Override
    public boolean isolated() {
        return true;
    }

    @Override
    public String tesraIni() {
        Map<String, String> environment = isolation.environment();
        return environment.containsKey("TESRA_INI") ? environment.get("TESRA_INI") : System.getenv("TESRA_INI");
    }

    @Override
    public long childPid() {
        Child running = child;
        return running == null ? -1 : running.process.pid();
    }

    /** After children ended in a row, waits a pause that doubles with each, within the deadline. */
    private void pauseBeforeRestart(long deadline) throws ChangeFeedException, InterruptedException {
        if (endsInARow == 0) {
            return;
        }
        long pause = options.backoffBefore(endsInARow).toNanos();
        long due = lastEndNanos + pause;
        if (due - deadline > 0) {
            throw new ChangeFeedException("The child process of " + database + " ended " + endsInARow + " times in a row; "
                                          + "the next one is due " + TimeUnit.NANOSECONDS.toMillis(pause)
                                          + " ms after the last end, past the poll timeout", null,
                                          ChangeFeedException.CHILD_PROCESS_FAILED, true, database);
        }
        synchronized (restart) {
            for (long left = due - System.nanoTime(); left > 0 && !aborted; left = due - System.nanoTime()) {
                TimeUnit.NANOSECONDS.timedWait(restart, left);
            }
        }
        if (aborted) {
            throw new IllegalStateException("The change feed on " + database + " is closed");
        }
    }

    private Exception failure(ChildProtocol.Received answer) throws IOException {
        byte kind = answer.octet();
        String message = answer.string();
        if (kind == ChildProtocol.STORE_FAILURE) {
            return new StoreFailure(message);
        } else if (kind == ChildProtocol.DYING) {
            return new LastWords(message);
        }
        return new ChangeFeedException("The child process of " + database + " failed: " + message, null,
                                       ChangeFeedException.CHILD_PROCESS_FAILED, false, database);
    }

    private Child start() throws ChangeFeedException {
        if (aborted) {
            throw new IllegalStateException("The change feed on " + database + " is closed");
        }
        String start = isolation.trace() == Isolation.Trace.DISCARD ? START : START_LINE_BUFFERED;
        List<String> command = new ArrayList<>(List.of("/bin/sh", "-c", start,
                                                       Path.of(System.getProperty("java.home"), "bin", "java").toString()));
        for (String property : List.of("java.library.path", "vrxchdet.library.path", "java.io.tmpdir")) {
            String value = System.getProperty(property);
            if (value != null) {
                command.add("-D" + property + "=" + value);
            }
        }
        command.addAll(isolation.javaOptions());
        command.addAll(List.of("-cp", classPath(), ChildMain.class.getName(), "/dev/fd/3"));
        ProcessBuilder builder = new ProcessBuilder(command);
        for (Map.Entry<String, String> variable : isolation.environment().entrySet()) {
            if (variable.getValue() == null) {
                builder.environment().remove(variable.getKey());
            } else {
                builder.environment().put(variable.getKey(), variable.getValue());
            }
        }
        Process process;
        try {
            process = builder.start();
        } catch (IOException failure) {
            throw new ChangeFeedException("Cannot start the child process of " + database + ": " + failure.getMessage(),
                                          failure, ChangeFeedException.CHILD_PROCESS_FAILED, false, database);
        }
        return new Child(process);
    }

    /** The folders or jars the feed and the connector classes came from. */
    private String classPath() throws ChangeFeedException {
        Set<String> parts = new LinkedHashSet<>();
        for (Class<?> type : List.of(ChangeFeed.class, VarnexChangeDetectionConnector.class)) {
            CodeSource source = type.getProtectionDomain().getCodeSource();
            try {
                if (source == null || source.getLocation() == null) {
                    throw new IllegalArgumentException("no code source");
                }
                parts.add(Path.of(source.getLocation().toURI()).toString());
            } catch (URISyntaxException | IllegalArgumentException | java.nio.file.FileSystemNotFoundException unknown) {
                throw new ChangeFeedException("Cannot start the child process of " + database + ": the class "
                                              + type.getName() + " does not come from a jar or folder a JVM can be "
                                              + "given (" + (source == null ? null : source.getLocation()) + ")",
                                              unknown, ChangeFeedException.CHILD_PROCESS_FAILED, false, database);
            }
        }
        return String.join(File.pathSeparator, parts);
    }

    /** How a child's exit status reads: a signal (128 + its number, as Process reports it), or a status. */
    static String describe(int exitValue) {
        if (exitValue > 128 && exitValue < 128 + 65) {
            int signal = exitValue - 128;
            String name = signal == 9 ? " (SIGKILL)" : signal == 11 ? " (SIGSEGV)" : signal == 6 ? " (SIGABRT)"
                : signal == 15 ? " (SIGTERM)" : signal == 7 ? " (SIGBUS)" : "";
            return " was killed by signal " + signal + name;
        }
        return " ended with exit status " + exitValue;
    }

    /** The store's failure in the child, whose message carries its status as the connector class gives it. */
    static final class StoreFailure extends Exception {
        private static final long serialVersionUID = 1L;

        StoreFailure(String message) {
            super(message);
        }
    }

    /** What a child said of the failure it ends with. */
    static final class LastWords extends IOException {
        private static final long serialVersionUID = 1L;

        LastWords(String message) {
            super(message);
        }
    }

    /** A call's exchange with the child. */
    private interface Exchange {
        Void run() throws Exception;
    }

    /** One child process: its pipes, and the thread that reads its standard error. */
    private final class Child {
        final Process process;
        final DataOutputStream requests;
        final DataInputStream answers;
        private final Thread traceReader;
        private final Tail tail = new Tail();
        private volatile boolean expired;

        Child(Process process) {
            this.process = process;
            this.requests = new DataOutputStream(new BufferedOutputStream(process.getOutputStream(), 1 << 12));
            this.answers = new DataInputStream(new BufferedInputStream(process.getInputStream(), 1 << 16));
            this.traceReader = new Thread(() -> pump(process.getErrorStream()),
                                          "vrxchdet child " + process.pid() + " trace of " + database);
            traceReader.setDaemon(true);
            traceReader.start();
        }

        /** Writes this side's magic number and version and reads the child's. */
        void hello() throws IOException, ChangeFeedException {
            ChildProtocol.hello(requests);
            String wrong = ChildProtocol.checkHello(answers);
            if (wrong != null) {
                throw new ChangeFeedException("The child process of " + database + " cannot be used: " + wrong, null,
                                              ChangeFeedException.CHILD_PROCESS_FAILED, false, database);
            }
        }

        /** Runs an exchange; a broken pipe or the deadline ends the child and fails the call. */
        void call(long deadline, Exchange exchange) throws Exception {
            calling.lock();
            ScheduledFuture<?> watch = WATCHDOG.schedule(this::expire, Math.max(0, deadline - System.nanoTime()),
                                                         TimeUnit.NANOSECONDS);
            try {
                exchange.run();
            } catch (IOException broken) {
                throw ended(broken);
            } finally {
                watch.cancel(false);
                calling.unlock();
            }
        }

        private void expire() {
            expired = true;
            process.destroyForcibly();
        }

        /** The child is gone or of no use: ends it, and tells how it ended. */
        private ChangeFeedException ended(IOException broken) throws InterruptedException {
            if (broken instanceof LastWords) {
                process.waitFor(1, TimeUnit.SECONDS);  // it halts right after its last words
            }
            process.destroyForcibly();
            boolean gone = process.waitFor(2, TimeUnit.SECONDS);
            traceReader.join(1000);
            if (child == this) {
                child = null;
            }
            ++endsInARow;
            lastEndNanos = System.nanoTime();
            if (aborted) {
                throw new IllegalStateException("The change feed on " + database + " is closed");
            }
            String how;
            if (expired) {
                how = " ran past the poll timeout of " + options.pollTimeout().toMillis() + " ms and was ended";
            } else if (!gone) {
                how = " broke off (" + broken + ") and was ended";
            } else {
                how = describe(process.exitValue());
            }
            List<String> lines = tail.lines();
            String message = "The child process " + process.pid() + " of " + database + how
                             + (broken instanceof LastWords ? " after it reported " + broken.getMessage() : "")
                             + (lines.isEmpty() ? "; it wrote nothing on its standard error"
                                                : "; its last lines on standard error:\n    " + String.join("\n    ", lines));
            LOG.log(System.Logger.Level.WARNING, message);
            return new ChangeFeedException(message, broken, ChangeFeedException.CHILD_PROCESS_FAILED, true, database);
        }

        /**
         * Sends a close when no call is in flight, waits up to the grace for the end, then kills the child
         * and waits (at most {@link #KILL_WAIT_MILLIS}) until it is gone, so that no child outlives its feed.
         */
        void stop(long graceMillis) {
            try {
                // A call in flight is not waited for: the child is killed at once.
                if (calling.tryLock()) {
                    boolean sent = false;
                    try {
                        new ChildProtocol.Frame(ChildProtocol.CLOSE).sendTo(requests);
                        sent = true;
                    } catch (IOException alreadyGone) {
                        // Nothing to close.
                    } finally {
                        calling.unlock();
                    }
                    if (sent) {
                        process.waitFor(graceMillis, TimeUnit.MILLISECONDS);
                    }
                }
                process.destroyForcibly();
                if (!process.waitFor(KILL_WAIT_MILLIS, TimeUnit.MILLISECONDS)) {
                    LOG.log(System.Logger.Level.WARNING, "The child process " + process.pid() + " of " + database
                            + " was killed and has not ended after " + KILL_WAIT_MILLIS + " ms");
                }
            } catch (InterruptedException interrupted) {
                process.destroyForcibly();
                Thread.currentThread().interrupt();
            }
        }

        /** Reads the child's standard error to its end, keeping a tail and passing whole lines on. */
        private void pump(InputStream errors) {
            OutputStream file = null;
            if (isolation.trace() == Isolation.Trace.FILE) {
                try {
                    file = new FileOutputStream(isolation.traceFile().toFile(), true);
                } catch (IOException failure) {
                    LOG.log(System.Logger.Level.WARNING, "Cannot write the trace of " + database + " to "
                            + isolation.traceFile() + ": " + failure.getMessage());
                }
            }
            byte[] buffer = new byte[1 << 16];
            int kept = 0;
            try (InputStream in = errors) {
                for (int read; (read = in.read(buffer, kept, buffer.length - kept)) > 0; ) {
                    tail.add(buffer, kept, read);
                    int end = kept + read;
                    int cut = end;
                    while (cut > 0 && buffer[cut - 1] != '\n') {
                        --cut;
                    }
                    if (cut == 0 && end == buffer.length) {
                        cut = end;  // a line longer than the buffer goes out in parts
                    }
                    deliver(file, buffer, cut);
                    System.arraycopy(buffer, cut, buffer, 0, end - cut);
                    kept = end - cut;
                }
            } catch (IOException closed) {
                // The pipe is gone with the child.
            } finally {
                if (kept > 0) {
                    buffer[kept] = '\n';
                    deliver(file, buffer, kept + 1);
                }
                if (file != null) {
                    try {
                        file.close();
                    } catch (IOException failure) {
                        LOG.log(System.Logger.Level.WARNING, "Cannot close the trace file " + isolation.traceFile()
                                + ": " + failure.getMessage());
                    }
                }
            }
        }

        private void deliver(OutputStream file, byte[] lines, int length) {
            if (length == 0) {
                return;
            }
            if (file != null) {
                try {
                    file.write(lines, 0, length);
                } catch (IOException failure) {
                    LOG.log(System.Logger.Level.WARNING, "Cannot write the trace of " + database + ": " + failure.getMessage());
                }
            } else if (isolation.trace() == Isolation.Trace.LOGGER && TRACE_LOG.isLoggable(System.Logger.Level.TRACE)) {
                for (String line : new String(lines, 0, length, StandardCharsets.UTF_8).split("\n", -1)) {
                    if (!line.isEmpty()) {
                        TRACE_LOG.log(System.Logger.Level.TRACE, database + ": " + line);
                    }
                }
            }
        }
    }

    /** The last bytes a child wrote on its standard error, for the message of its end. */
    private static final class Tail {
        private final byte[] bytes = new byte[TAIL_BYTES];
        private long written;

        synchronized void add(byte[] from, int offset, int length) {
            int skip = Math.max(0, length - bytes.length);
            int start = offset + skip;
            int left = length - skip;
            while (left > 0) {
                int at = (int) (written % bytes.length);
                int part = Math.min(left, bytes.length - at);
                System.arraycopy(from, start, bytes, at, part);
                written += part;
                start += part;
                left -= part;
            }
        }

        synchronized List<String> lines() {
            int size = (int) Math.min(written, bytes.length);
            byte[] ordered = new byte[size];
            for (int i = 0; i < size; ++i) {
                ordered[i] = bytes[(int) ((written - size + i) % bytes.length)];
            }
            List<String> all = new ArrayList<>(Arrays.asList(new String(ordered, StandardCharsets.UTF_8).split("\n")));
            all.removeIf(String::isBlank);
            if (size == bytes.length && !all.isEmpty()) {
                all.remove(0);  // cut by the tail's start
            }
            List<String> last = new ArrayList<>();
            for (String line : all.subList(Math.max(0, all.size() - TAIL_LINES), all.size())) {
                last.add(line.length() > 300 ? line.substring(0, 300) + "..." : line);
            }
            return last;
        }
    }
}
