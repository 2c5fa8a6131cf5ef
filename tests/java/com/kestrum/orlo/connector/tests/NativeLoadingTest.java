package com.kestrum.orlo.connector.tests;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import com.kestrum.orlo.connector.feed.ChangeBatch;
import com.kestrum.orlo.connector.feed.ChangeFeed;

import java.lang.reflect.Constructor;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Comparator;
import java.util.List;
import java.util.Vector;
import java.util.stream.Stream;

/**
 * How the connector class finds its native library, in one virtual machine started with the bridge's
 * folder on java.library.path and the temporary folder in the test's own folder: the application's class
 * loader takes the bridge from java.library.path, further class loaders load the connector class again.
 *
 * <p>Arguments: TESRA_ADMIN WORK CONNECTOR_JAR (with natives) CLASSES_JAR (without) CHANGE_FEED_JAR.
 */
public final class NativeLoadingTest {
    private static final String CONNECTOR = VarnexChangeDetectionConnector.class.getName();

    private final Checks checks = new Checks();
    private final Path temporary = Path.of(System.getProperty("java.io.tmpdir"));

    public static void main(String[] args) throws Exception {
        SampleStore store = SampleStore.create(Path.of(args[0]), 3);
        NativeLoadingTest test = new NativeLoadingTest();
        Files.createDirectories(test.temporary);
        for (Path left : test.extracted()) { // by a run that was killed
            try (Stream<Path> files = Files.walk(left)) {
                for (Path file : files.sorted(Comparator.reverseOrder()).toList()) {
                    Files.delete(file);
                }
            }
        }
        test.secondClassLoaderLoadsAPrivateCopyFromTheJar(Path.of(args[2]));
        test.secondClassLoaderWithoutNativesIsToldWhatToDo(Path.of(args[3]));
        test.failedLoadThrowsTheSameMessageAtEveryConstruction(Path.of(args[2]), args[1]);
        test.twoClassLoadersEachPollTheirOwnFeedAndClosingOneLeavesTheOther(store, Path.of(args[2]),
                                                                            Path.of(args[4]));
        System.exit(test.checks.finish());
    }

    private void secondClassLoaderLoadsAPrivateCopyFromTheJar(Path connectorJar) throws Exception {
        VarnexChangeDetectionConnector first = new VarnexChangeDetectionConnector();
        checks.equal("java.library.path served the first class loader: nothing extracted", List.of(), extracted());

        Object second = construct(load(connectorJar));
        List<Path> copies = extracted();
        checks.equal("the second class loader extracted one copy", 1, copies.size());
        if (copies.size() == 1) {
            Path folder = copies.get(0);
            checks.equal("only its owner reads the folder", "rwx------",
                         PosixFilePermissions.toString(Files.getPosixFilePermissions(folder)));
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

    /**
     * Two plugins: this class loader and one of its own (the connector jar with natives, and the change
     * feed) each open a feed on their own database. They share the process's one store library: closing
     * the first leaves the second polling, and after the last close a feed opens again.
     */
    private void twoClassLoadersEachPollTheirOwnFeedAndClosingOneLeavesTheOther(SampleStore store, Path connectorJar,
                                                                               Path changeFeedJar) throws Exception {
        store.admin("create-db", "plugin.tdb");
        store.admin("add", "plugin.tdb", "--count", "2");
        ClassLoader plugin = new URLClassLoader(new URL[] {connectorJar.toUri().toURL(), changeFeedJar.toUri().toURL()},
                                                ClassLoader.getPlatformClassLoader());
        Class<?> pluginFeedType = Class.forName(ChangeFeed.class.getName(), true, plugin);
        checks.isTrue("the plugin has a change feed class of its own", pluginFeedType != ChangeFeed.class);
        Method open = pluginFeedType.getMethod("open", String.class, String.class, String.class, Path.class);
        AutoCloseable second;
        try (ChangeFeed first = ChangeFeed.open(null, SampleStore.DATABASE, SampleStore.PASSWORD,
                                                store.folder.resolve("first.checkpoint"))) {
            second = (AutoCloseable) open.invoke(null, null, "plugin.tdb", SampleStore.PASSWORD,
                                                 store.folder.resolve("plugin.checkpoint"));
            ChangeBatch firstBatch = first.poll();
            first.commit(firstBatch);
            checks.equal("the first feed lists its database", 3, firstBatch.changes().size());
            checks.equal("the plugin's feed lists its own", 2, pollAndCommit(second));
        }
        store.admin("add", "plugin.tdb", "--count", "1");
        checks.equal("the plugin's feed polls after the first closed", 1, pollAndCommit(second));
        second.close();
        second = (AutoCloseable) open.invoke(null, null, "plugin.tdb", SampleStore.PASSWORD,
                                             store.folder.resolve("plugin.checkpoint"));
        try (AutoCloseable again = second) {
            store.admin("add", "plugin.tdb", "--count", "1");
            checks.equal("the plugin opens its feed again after the last close", 1, pollAndCommit(again));
        }
    }

    /** Polls a feed of another class loader, commits the batch and returns the number of its changes. */
    private static int pollAndCommit(Object feed) throws Exception {
        Object batch = feed.getClass().getMethod("poll").invoke(feed);
        feed.getClass().getMethod("commit", batch.getClass()).invoke(feed, batch);
        return ((List<?>) batch.getClass().getMethod("changes").invoke(batch)).size();
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

    private List<Path> extracted() throws Exception {
        try (Stream<Path> entries = Files.list(temporary)) {
            return entries.filter(p -> p.getFileName().toString().startsWith("vrxchdet-")).toList();
        }
    }
}
