package com.kestrum.orlo.connector.feed;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.TreeMap;

/**
 * Where a {@link ChangeFeed} makes its store calls: in this JVM (the default), or in a child process of
 * its own. An immutable value: start from {@link #inProcess()} or {@link #childProcess()}; each
 * {@code with} method returns a new value.
 *
 * <p>An isolated feed starts a JVM of its own (the same {@code java}, a class path made of the jars or
 * folders the feed and connector classes came from) that loads the native library, opens the one database
 * and answers the feed's polls through the child's own pipes. The calling JVM never loads the native
 * library. A crash of the native side ends the child, not the caller: the poll in flight fails with a
 * transient {@link ChangeFeedException} of status {@link ChangeFeedException#CHILD_PROCESS_FAILED}, and the
 * next poll starts a new child. Everything else stays in the caller: checkpoint, retries, resync,
 * logging, figures and MBean. Each isolated feed has its own child, so several of them, on different
 * databases and with different store configurations ({@link #withTesraIni(Path)}), can be open in one
 * JVM beside at most one feed in process.
 *
 * <p>The native library writes a trace of its calls to its standard output; in the child that joins the
 * child's standard error, which the feed reads line by line and keeps where {@link #trace()} says.
 */
public final class Isolation {
    /** Where the trace and standard error lines of an isolated feed's child go. */
    public enum Trace {
        /** Nowhere (the last lines are still kept, for the message of a failure). */
        DISCARD,
        /** Appended to the file {@link #traceFile()}, line by line. */
        FILE,
        /**
         * To the {@link System.Logger} named {@code com.kestrum.orlo.connector.feed.ChangeFeed.child} at
         * TRACE, one message per line, prefixed by the database and a colon.
         */
        LOGGER
    }

    private static final Isolation IN_PROCESS = new Isolation(false, Trace.DISCARD, null, Map.of(), List.of());

    private final boolean childProcess;
    private final Trace trace;
    private final Path traceFile;
    private final Map<String, String> environment;
    private final List<String> javaOptions;

    private Isolation(boolean childProcess, Trace trace, Path traceFile, Map<String, String> environment,
                      List<String> javaOptions) {
        this.childProcess = childProcess;
        this.trace = trace;
        this.traceFile = traceFile;
        this.environment = environment;
        this.javaOptions = javaOptions;
    }

    /**
     * Store calls in this JVM, through the connector class: the default.
     *
     * @return the value for a feed in process
     */
    public static Isolation inProcess() {
        return IN_PROCESS;
    }

    /**
     * Store calls in a child process of the feed's own, with its trace discarded and this JVM's environment.
     *
     * @return the value for an isolated feed
     */
    public static Isolation childProcess() {
        return new Isolation(true, Trace.DISCARD, null, Map.of(), List.of());
    }

    /**
     * This isolation with the child's trace and standard error appended to a file, line by line.
     *
     * @param file the file; made when missing, its folder must exist
     * @return the new value
     * @throws IllegalStateException for {@link #inProcess()}, whose trace goes to this JVM's standard output
     */
    public Isolation withTraceTo(Path file) {
        requireChild();
        return new Isolation(true, Trace.FILE, Objects.requireNonNull(file, "file"), environment, javaOptions);
    }

    /**
     * This isolation with the child's trace and standard error logged at TRACE, line by line.
     *
     * @return the new value
     * @throws IllegalStateException for {@link #inProcess()}
     */
    public Isolation withTraceToLogger() {
        requireChild();
        return new Isolation(true, Trace.LOGGER, null, environment, javaOptions);
    }

    /**
     * This isolation with the child's trace and standard error dropped (the default).
     *
     * @return the new value
     * @throws IllegalStateException for {@link #inProcess()}
     */
    public Isolation withTraceDiscarded() {
        requireChild();
        return new Isolation(true, Trace.DISCARD, null, environment, javaOptions);
    }

    /**
     * This isolation with a variable of the child's environment set, over this JVM's environment.
     *
     * @param name  the variable
     * @param value its value; null removes the variable from the child's environment
     * @return the new value
     * @throws IllegalStateException for {@link #inProcess()}
     */
    public Isolation withEnvironment(String name, String value) {
        requireChild();
        if (Objects.requireNonNull(name, "name").isEmpty() || name.indexOf('=') >= 0 || name.indexOf('\0') >= 0) {
            throw new IllegalArgumentException("Not an environment variable's name: " + name);
        }
        Map<String, String> changed = new TreeMap<>(environment);
        changed.put(name, value);
        return new Isolation(true, trace, traceFile, Collections.unmodifiableMap(changed), javaOptions);
    }

    /**
     * This isolation with the child reading the store's configuration from the given file
     * ({@code TESRA_INI} in its environment).
     *
     * @param file the store's configuration file
     * @return the new value
     * @throws IllegalStateException for {@link #inProcess()}
     */
    public Isolation withTesraIni(Path file) {
        return withEnvironment("TESRA_INI", file.toAbsolutePath().toString());
    }

    /**
     * This isolation with options for the child's JVM, before its class path (a heap size, {@code -Xcheck:jni}).
     *
     * @param options the options; they replace those given before
     * @return the new value
     * @throws IllegalStateException for {@link #inProcess()}
     */
    public Isolation withJavaOptions(String... options) {
        requireChild();
        List<String> copy = new ArrayList<>();
        for (String option : options) {
            copy.add(Objects.requireNonNull(option, "option"));
        }
        return new Isolation(true, trace, traceFile, environment, Collections.unmodifiableList(copy));
    }

    private void requireChild() {
        if (!childProcess) {
            throw new IllegalStateException("A feed in process has no child: start from Isolation.childProcess()");
        }
    }

    /**
     * Whether the store calls are made in a child process.
     *
     * @return true for {@link #childProcess()}
     */
    public boolean isChildProcess() {
        return childProcess;
    }

    /**
     * Where the child's trace goes.
     *
     * @return the trace's destination; {@link Trace#DISCARD} in process
     */
    public Trace trace() {
        return trace;
    }

    /**
     * The file the child's trace is appended to.
     *
     * @return the file under {@link Trace#FILE}, else null
     */
    public Path traceFile() {
        return traceFile;
    }

    /**
     * The variables set (or, with a null value, removed) in the child's environment over this JVM's.
     *
     * @return an unmodifiable map, sorted by name
     */
    public Map<String, String> environment() {
        return environment;
    }

    /**
     * The options of the child's JVM.
     *
     * @return an unmodifiable list
     */
    public List<String> javaOptions() {
        return javaOptions;
    }

    @Override
    public boolean equals(Object other) {
        if (!(other instanceof Isolation)) {
            return false;
        }
        Isolation that = (Isolation) other;
        return childProcess == that.childProcess && trace == that.trace && Objects.equals(traceFile, that.traceFile)
               && environment.equals(that.environment) && javaOptions.equals(that.javaOptions);
    }

    @Override
    public int hashCode() {
        return Objects.hash(childProcess, trace, traceFile, environment, javaOptions);
    }

    @Override
    public String toString() {
        if (!childProcess) {
            return "Isolation[in process]";
        }
        return "Isolation[child process, trace " + (trace == Trace.FILE ? "to " + traceFile : trace.name().toLowerCase(java.util.Locale.ROOT))
               + (environment.isEmpty() ? "" : ", environment " + environment)
               + (javaOptions.isEmpty() ? "" : ", java options " + javaOptions) + "]";
    }
}
