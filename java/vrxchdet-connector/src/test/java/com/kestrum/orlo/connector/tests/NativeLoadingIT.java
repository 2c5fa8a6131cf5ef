package com.kestrum.orlo.connector.tests;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.io.IOException;
import java.lang.reflect.Constructor;
import java.lang.reflect.InvocationTargetException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.Vector;
import java.util.concurrent.TimeUnit;
import java.util.logging.ConsoleHandler;
import java.util.logging.Level;
import java.util.logging.Logger;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipFile;
import java.util.zip.ZipOutputStream;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestInstance;
import org.junit.jupiter.api.TestMethodOrder;

/**
 * How the connector class finds its native library, in one virtual machine started with the bridge's
 * folder on java.library.path and the temporary folder in the test's own folder: the application's class
 * loader takes the bridge from java.library.path, further class loaders load the connector class again.
 *
 * <p>Further virtual machines, started with the connector jar alone, show what a load from the jar does
 * with the temporary folder: which folders it refuses, the copies it leaves and sweeps, which store
 * library it loads; "NativeLoadingIT --child [--wait]" is such a machine.
 *
 * <p>The build names the connector jar (system property connector.jar) and a folder with a stranger's
 * libntesra.so that marks the file of VRXCHDET_PLANTED_MARKER when loaded (planted.library). The
 * temporary folder is the test's own, under target/native-loading/.
 */
@SuppressWarnings("JdkObsolete") // the connector's methods, fixed, take a StringBuffer
@TestInstance(TestInstance.Lifecycle.PER_CLASS)
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class NativeLoadingIT {
    private static final String CONNECTOR = VarnexChangeDetectionConnector.class.getName();

    private static final String USER_FOLDER = "vrxchdet-" + System.getProperty("user.name");
    private static final long CHILD_SECONDS = 60;

    private Checks checks = new Checks();

    /** How many virtual machines are killed to leave copies behind. */
    private static final int KILLS = 30;
    private final Path planted = Path.of(System.getProperty("planted.library"));
    private final Path connectorJar = Path.of(System.getProperty("connector.jar"));
    private Path temporary;
    private Path work;

    /** "NativeLoadingIT --child [--wait]": a virtual machine that loads the connector from the jar alone. */
    public static void main(String[] args) throws Exception {
        child(args.length > 1 && args[1].equals("--wait"));
    }

    @BeforeAll
    void createStoreAndTemporaryFolder() throws Exception {
        SampleStore store = SampleStore.create(3);
        work = store.folder.resolveSibling("native-loading");
        temporary = work.resolve("tmp");
        remove(temporary); // what a killed run left
        remove(work.resolve("children"));
        Files.createDirectories(temporary);
        // Read by the connector class of each further class loader, when it extracts its copy.
        System.setProperty("java.io.tmpdir", temporary.toString());
    }

    @AfterEach
    void verify() {
        Checks these = checks;
        checks = new Checks();
        these.verify();
    }

    @Test
    @Order(1)
    void secondClassLoaderLoadsAPrivateCopyFromTheJar() throws Exception {
        secondClassLoaderLoadsAPrivateCopyFromTheJar(connectorJar);
    }

    @Test
    @Order(2)
    void secondClassLoaderWithoutNativesIsToldWhatToDo() throws Exception {
        secondClassLoaderWithoutNativesIsToldWhatToDo(classesAlone());
    }

    @Test
    @Order(3)
    void failedLoadThrowsTheSameMessageAtEveryConstruction() throws Exception {
        failedLoadThrowsTheSameMessageAtEveryConstruction(connectorJar, work.toString());
    }

    @Test
    @Order(4)
    void jarBridgeTakesTheJarsStoreLibraryWhateverLdLibraryPathHolds() throws Exception {
        jarBridgeTakesTheJarsStoreLibraryWhateverLdLibraryPathHolds(planted);
    }

    @Test
    @Order(5)
    void killedMachinesLeaveAtMostOneCopyAndNoCopyInUseIsSwept() throws Exception {
        killedMachinesLeaveAtMostOneCopyAndNoCopyInUseIsSwept(KILLS);
    }

    @Test
    @Order(6)
    void sharedFolderWithoutStickyBitIsRefusedAndNeverTakenOver() throws Exception {
        Path takeOver = Path.of(NativeLoadingIT.class.getResource("/natives-tests/take_over.sh").toURI());
        sharedFolderWithoutStickyBitIsRefusedAndNeverTakenOver(planted, takeOver, 20);
    }

    @Test
    @Order(7)
    void temporaryFolderWithoutExecutionGetsAdviceThatFits() throws Exception {
        checkTemporaryFolderWithoutExecution();
    }

    /** The connector jar without its natives. */
    private Path classesAlone() throws IOException {
        Path jar = work.resolve("classes-alone.jar");
        try (ZipFile full = new ZipFile(connectorJar.toFile());
             ZipOutputStream out = new ZipOutputStream(Files.newOutputStream(jar))) {
            for (ZipEntry entry : java.util.Collections.list(full.entries())) {
                if (!entry.getName().startsWith("META-INF/native/")) {
                    out.putNextEntry(new ZipEntry(entry.getName()));
                    full.getInputStream(entry).transferTo(out);
                    out.closeEntry();
                }
            }
        }
        return jar;
    }

    private void secondClassLoaderLoadsAPrivateCopyFromTheJar(Path connectorJar) throws Exception {
        VarnexChangeDetectionConnector first = new VarnexChangeDetectionConnector();
        checks.equal("java.library.path served the first class loader: nothing extracted", List.of(), extracted());

        Object second = construct(load(connectorJar));
        List<Path> copies = extracted();
        checks.equal("the second class loader extracted one copy", 1, copies.size());
        if (copies.size() == 1) {
            Path folder = copies.get(0);
            checks.equal("only its owner reads the user's folder and the copy's", "rwx------ rwx------",
                         PosixFilePermissions.toString(Files.getPosixFilePermissions(folder.getParent())) + " "
                             + PosixFilePermissions.toString(Files.getPosixFilePermissions(folder)));
            checks.isTrue("the bridge and the store library side by side",
                          Files.isRegularFile(folder.resolve("libvrxchdet.so"))
                              && Files.isRegularFile(folder.resolve("libntesra.so")));
        }
        Class<?> type = second.getClass();
        type.getMethod("initTesra", String.class, String.class, String.class)
            .invoke(second, null, SampleStore.DATABASE, SampleStore.PASSWORD);
        Object entries = type.getMethod("getModifiedTesra", String.class, StringBuffer.class)
            .invoke(second, null, new StringBuffer());
        type.getMethod("termTesra").invoke(second);
        checks.equal("the second class loader's copy polls", 3, ((Vector<?>) entries).size());

        first.initTesra(null, SampleStore.DATABASE, SampleStore.PASSWORD);
        checks.equal("the first class loader's library still polls", 3, first.getModifiedTesra(null, new StringBuffer()).size());
        first.termTesra();
    }

    private void secondClassLoaderWithoutNativesIsToldWhatToDo(Path classesJar) throws Exception {
        String message = constructionFailure(load(classesJar));
        checks.isTrue("names the other class loader and the way out: " + message,
                      message.contains("already loaded in another classloader")
                          && message.contains("Another class loader of this virtual machine holds that library")
                          && message.contains("no META-INF/native/linux-x86_64/libvrxchdet.so"));
    }

    private void failedLoadThrowsTheSameMessageAtEveryConstruction(Path connectorJar, String work) throws Exception {
        String nowhere = work + "/nowhere";
        System.setProperty("vrxchdet.library.path", nowhere);
        try {
            Class<?> type = load(connectorJar);
            String firstMessage = constructionFailure(type);
            checks.isTrue("names the property's folder and nothing else: " + firstMessage,
                          firstMessage.contains("vrxchdet.library.path=" + nowhere + ": no file " + nowhere
                                                + "/libvrxchdet.so")
                              && !firstMessage.contains("java.library.path ("));
            checks.equal("the same message at the next construction", firstMessage, constructionFailure(type));
        } finally {
            System.clearProperty("vrxchdet.library.path");
        }
    }

    /** The connector class of a class loader of its own, over the given jar alone. */
    private static Class<?> load(Path jar) throws Exception {
        URLClassLoader loader = new URLClassLoader(new URL[] {jar.toUri().toURL()},
                                                   ClassLoader.getPlatformClassLoader());
        return Class.forName(CONNECTOR, true, loader);
    }

    private static Object construct(Class<?> type) throws Exception {
        Constructor<?> constructor = type.getConstructor();
        return constructor.newInstance();
    }

    private String constructionFailure(Class<?> type) throws Exception {
        try {
            construct(type);
            checks.check("construction fails", false, "a connector was made");
            return "";
        } catch (InvocationTargetException e) {
            checks.equal("fails with", UnsatisfiedLinkError.class, e.getCause().getClass());
            return e.getCause().getMessage();
        }
    }

    /**
     * The bridge from the jar with a stranger's libntesra.so on LD_LIBRARY_PATH, which the dynamic linker
     * searches before a run path: the jar's own store library is the one mapped, the stranger's never
     * runs. The control: the build tree's bridge, from java.library.path, does take it.
     */
    private void jarBridgeTakesTheJarsStoreLibraryWhateverLdLibraryPathHolds(Path planted) throws Exception {
        Path folder = fresh("ld-library-path");
        Path marker = folder.resolve("marker");
        Map<String, String> environment = Map.of("LD_LIBRARY_PATH", planted.toString(),
                                                  "VRXCHDET_PLANTED_MARKER", marker.toString());
        String output = run(child(folder, environment, List.of(), false), "a load with LD_LIBRARY_PATH set");
        Path copies = folder.resolve(USER_FOLDER).toRealPath();
        checks.isTrue("loads from the jar: " + output, output.contains("\nloaded\n"));
        List<String> stores = output.lines().filter(l -> l.startsWith("mapped: ") && l.endsWith("/libntesra.so"))
            .map(l -> l.substring("mapped: ".length())).distinct().toList();
        boolean jarsAlone = stores.size() == 1 && stores.get(0).startsWith(copies + "/");
        checks.isTrue("maps the jar's libntesra.so alone: " + stores, jarsAlone);
        checks.isTrue("the stranger's library never ran", !Files.exists(marker));
        checks.isTrue("logs where each library was loaded from: " + output,
                      jarsAlone && output.contains("FINE: loaded " + stores.get(0) + " from the connector jar's")
                          && output.lines().anyMatch(l -> l.startsWith("FINE: loaded " + copies + "/")
                                                              && l.contains("/libvrxchdet.so from")));

        List<String> control = List.of("-Djava.library.path=" + System.getProperty("java.library.path"));
        run(child(folder, environment, control, false), "the control load from java.library.path");
        checks.isTrue("control: the build tree's bridge takes LD_LIBRARY_PATH's library", Files.exists(marker));
    }

    /**
     * Virtual machines killed with SIGKILL while their copies are in use leave them all; the next load
     * sweeps them but never a copy that a live machine holds, and a normal exit removes its own.
     */
    private void killedMachinesLeaveAtMostOneCopyAndNoCopyInUseIsSwept(int kills) throws Exception {
        Path folder = fresh("sweep");
        Path copies = folder.resolve(USER_FOLDER);
        List<Process> killed = new ArrayList<>();
        try {
            for (int i = 0; i < kills; i++) {
                killed.add(child(folder, Map.of(), List.of(), true));
            }
            for (Process machine : killed) {
                awaitLoaded(machine);
            }
        } finally {
            for (Process machine : killed) {
                machine.destroyForcibly();
                machine.waitFor(CHILD_SECONDS, TimeUnit.SECONDS);
            }
        }
        checks.equal("each of " + kills + " killed machines left its copy", kills, list(copies).size());

        Process holder = child(folder, Map.of(), List.of(), true);
        try {
            awaitLoaded(holder);
            checks.equal("the next load swept them all: only its own copy is left",
                         List.of(holder.pid() + "-"), list(copies).stream().map(NativeLoadingIT::owner).toList());
            String output = run(child(folder, Map.of(), List.of(), false), "a load beside a live machine");
            checks.isTrue("a load beside a live machine works: " + output, output.contains("\nloaded\n"));
            checks.equal("it kept the live machine's copy and removed its own at exit",
                         List.of(holder.pid() + "-"), list(copies).stream().map(NativeLoadingIT::owner).toList());
        } finally {
            holder.destroyForcibly();
            holder.waitFor(CHILD_SECONDS, TimeUnit.SECONDS);
        }
        run(child(folder, Map.of(), List.of(), false), "a load after the last machine was killed");
        checks.isTrue("after the kills and a normal run at most one copy is left", list(copies).size() <= 1);
    }

    /**
     * A temporary folder that others may write, without the sticky bit, is refused with a message that
     * names it, says what is wrong and names the way out; nothing is copied into it. As root, another
     * user (nobody) races to swap what appears in it: their library runs in none of the tries, and
     * none either once the folder is sticky, where the loads work.
     */
    private void sharedFolderWithoutStickyBitIsRefusedAndNeverTakenOver(Path planted, Path takeOver, int tries)
        throws Exception {
        Path shared = fresh("shared");
        Files.setPosixFilePermissions(shared, PosixFilePermissions.fromString("rwxrwxrwx"));
        String refused = run(child(shared, Map.of(), List.of(), false), "a load with a shared temporary folder");
        checks.isTrue("names the folder, what is wrong and the way out: " + refused,
                      refused.contains("folder " + shared.toRealPath() + " is writable by other users and has no sticky bit")
                          && refused.contains("-Dvrxchdet.library.path") && refused.contains("-Djava.io.tmpdir"));
        try (Stream<Path> entries = Files.list(shared)) {
            checks.equal("copies nothing into a refused folder", List.of(), entries.toList());
        }
        if (!((Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid")).equals(0)) {
            System.out.println("skipped: the race against another user needs root, to run it as nobody"
                               + " (setpriv --reuid=nobody)");
            return;
        }
        // The race runs under /tmp, which the other user can reach wherever the build is (a home folder of
        // root's is not); the arena is root's and not writable by others, /tmp is sticky.
        Path arena = Files.createTempDirectory(Path.of("/tmp"), "vrxchdet-race-");
        Files.setPosixFilePermissions(arena, PosixFilePermissions.fromString("rwxr-xr-x"));
        shared = Files.createDirectory(arena.resolve("shared"));
        Files.setPosixFilePermissions(shared, PosixFilePermissions.fromString("rwxrwxrwx"));
        Path attacker = Files.createDirectory(arena.resolve("attacker"));
        Path library = Files.copy(planted.resolve("libntesra.so"), attacker.resolve("planted.so"));
        Path script = Files.copy(takeOver, attacker.resolve("take_over.sh"));
        Path log = Files.createFile(attacker.resolve("swaps.log"));
        for (Path readable : List.of(library, script)) {
            Files.setPosixFilePermissions(readable, PosixFilePermissions.fromString("rw-r--r--"));
        }
        Files.setPosixFilePermissions(log, PosixFilePermissions.fromString("rw-rw-rw-"));
        Path marker = fresh("takeover-marker").resolve("marker");
        Process other = new ProcessBuilder("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                           "timeout", "600", "sh", script.toString(), shared.toString(),
                                           library.toString(), log.toString())
            .redirectErrorStream(true).redirectOutput(attacker.resolve("output").toFile()).start();
        try {
            Path decoy = Files.createDirectory(shared.resolve("decoy"));
            awaitFile(log, "swapped " + decoy, "the other user to swap a decoy folder of root's");
            checks.equal("refused in every try", tries,
                         racedLoads(shared, marker, tries, "is writable by other users and has no sticky bit"));
            checks.isTrue("the other user's library ran in no try", !Files.exists(marker));

            chmod("1777", shared);
            checks.equal("a sticky shared folder serves every try", tries, racedLoads(shared, marker, tries, "\nloaded\n"));
            checks.isTrue("the other user's library ran in no try of the sticky folder", !Files.exists(marker));
        } finally {
            // timeout passes the signal on to the racer's shell, as destroyForcibly's SIGKILL would not.
            other.destroy();
            checks.isTrue("the other user's racer stopped", other.waitFor(CHILD_SECONDS, TimeUnit.SECONDS));
            remove(arena);
        }
    }

    /** How many of the loads from the raced temporary folder printed the text. */
    private int racedLoads(Path shared, Path marker, int tries, String text) throws Exception {
        int seen = 0;
        for (int i = 0; i < tries; i++) {
            String output = run(child(shared, Map.of("VRXCHDET_PLANTED_MARKER", marker.toString()), List.of(), false),
                                "a load racing the other user");
            seen += output.contains(text) ? 1 : 0;
        }
        return seen;
    }

    /** As root, a temporary folder mounted noexec: the copy is made but cannot be mapped; the advice fits. */
    private void checkTemporaryFolderWithoutExecution() throws Exception {
        Path mountPoint = fresh("noexec");
        Process mount = new ProcessBuilder("mount", "-t", "tmpfs", "-o", "noexec,size=16m", "tmpfs",
                                           mountPoint.toString()).redirectErrorStream(true).start();
        String mountOutput = new String(mount.getInputStream().readAllBytes(), java.nio.charset.StandardCharsets.UTF_8);
        if (!mount.waitFor(CHILD_SECONDS, TimeUnit.SECONDS) || mount.exitValue() != 0) {
            System.out.println("skipped: a noexec temporary folder needs mount -t tmpfs (root): " + mountOutput.strip());
            return;
        }
        try {
            String output = run(child(mountPoint, Map.of(), List.of(), false), "a load from a noexec folder");
            checks.isTrue("says the folder does not allow execution and what to set: " + output,
                          output.contains(mountPoint + " does not let a library be mapped executable")
                              && output.contains("Set -Djava.io.tmpdir to a folder that allows execution")
                              && output.contains("-Dvrxchdet.library.path")
                              && !output.contains("Use the connector jar that carries the natives"));
        } finally {
            Process umount = new ProcessBuilder("umount", mountPoint.toString()).inheritIO().start();
            checks.isTrue("unmounted " + mountPoint, umount.waitFor(CHILD_SECONDS, TimeUnit.SECONDS)
                                                         && umount.exitValue() == 0);
        }
    }

    /** A virtual machine that loads the connector class from the jar alone, and says how it went. */
    private static void child(boolean waitToBeKilled) throws Exception {
        Logger logger = Logger.getLogger("com.kestrum.orlo.connector");
        ConsoleHandler handler = new ConsoleHandler();
        handler.setLevel(Level.FINE);
        logger.addHandler(handler);
        logger.setLevel(Level.FINE);
        try {
            new VarnexChangeDetectionConnector();
            System.out.println("\nloaded");
        } catch (UnsatisfiedLinkError e) {
            System.out.println("refused: " + e.getMessage());
        }
        for (String line : Files.readAllLines(Path.of("/proc/self/maps"))) {
            if (line.endsWith("/libntesra.so") || line.endsWith("/libvrxchdet.so")) {
                System.out.println("mapped: " + line.substring(line.indexOf('/')));
            }
        }
        System.out.flush();
        if (waitToBeKilled) {
            System.in.read();
        }
    }

    private Process child(Path temporaryFolder, Map<String, String> environment, List<String> options, boolean wait)
        throws IOException {
        List<String> command = new ArrayList<>(List.of(
            Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-Xmx32m", "-XX:TieredStopAtLevel=1",
            "-Djava.io.tmpdir=" + temporaryFolder, "-Djava.library.path=" + work.resolve("no-libraries")));
        command.addAll(options);
        String tests = Path.of(NativeLoadingIT.class.getProtectionDomain().getCodeSource().getLocation().getPath())
            .toString();
        command.addAll(List.of("-cp", connectorJar + ":" + tests, NativeLoadingIT.class.getName(), "--child"));
        if (wait) {
            command.add("--wait");
        }
        Path output = Files.createTempFile(Files.createDirectories(work.resolve("children")), "child-", ".out");
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true)
            .redirectOutput(output.toFile());
        builder.environment().putAll(environment);
        Process process = builder.start();
        outputs.put(process, output);
        return process;
    }

    private final Map<Process, Path> outputs = new java.util.HashMap<>();

    /** Waits for a child to finish and returns what it printed. */
    private String run(Process process, String what) throws Exception {
        if (!process.waitFor(CHILD_SECONDS, TimeUnit.SECONDS)) {
            process.destroyForcibly().waitFor();
            checks.check(what, false, "did not finish within " + CHILD_SECONDS + " s");
        }
        return Files.readString(outputs.get(process));
    }

    private void awaitLoaded(Process process) throws Exception {
        awaitFile(outputs.get(process), "\nloaded\n", "a child virtual machine to load the library");
    }

    private static void awaitFile(Path file, String text, String what) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(CHILD_SECONDS);
        while (!Files.readString(file).contains(text)) {
            if (System.nanoTime() > deadline) {
                throw new AssertionError("waited " + CHILD_SECONDS + " s for " + what + "; " + file + " has:\n"
                                         + Files.readString(file));
            }
            Thread.sleep(20);
        }
    }

    private static void chmod(String mode, Path path) throws Exception {
        Process chmod = new ProcessBuilder("chmod", mode, path.toString()).inheritIO().start();
        if (!chmod.waitFor(CHILD_SECONDS, TimeUnit.SECONDS) || chmod.exitValue() != 0) {
            throw new AssertionError("chmod " + mode + " " + path + " failed");
        }
    }

    /** The start of a copy's folder name: the id of the process that made it, and a dash. */
    private static String owner(Path copy) {
        String name = copy.getFileName().toString();
        return name.substring(0, name.indexOf('-') + 1);
    }

    /** An empty folder of the test's own. */
    private Path fresh(String name) throws IOException {
        Path folder = work.resolve(name);
        remove(folder);
        return Files.createDirectories(folder);
    }

    private static void remove(Path folder) throws IOException {
        if (!Files.exists(folder, LinkOption.NOFOLLOW_LINKS)) {
            return;
        }
        try (Stream<Path> files = Files.walk(folder)) {
            for (Path file : files.sorted(Comparator.reverseOrder()).toList()) {
                Files.delete(file);
            }
        }
    }

    private static List<Path> list(Path folder) throws IOException {
        if (!Files.isDirectory(folder)) {
            return List.of();
        }
        try (Stream<Path> entries = Files.list(folder)) {
            return entries.filter(p -> Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS)).sorted().toList();
        }
    }

    /** The copies extracted into this virtual machine's own temporary folder. */
    private List<Path> extracted() throws Exception {
        return list(temporary.resolve(USER_FOLDER));
    }
}
