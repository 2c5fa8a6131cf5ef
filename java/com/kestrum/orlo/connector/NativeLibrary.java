package com.kestrum.orlo.connector;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Set;

/**
 * Loads the native library "vrxchdet" for the connector class, from the first of these places that
 * holds it:
 * <ol>
 * <li>the folder named by the system property {@code vrxchdet.library.path}, when it is set, and no
 * other place: whoever sets it means exactly that library;</li>
 * <li>a folder of {@code java.library.path}: the deployment the platform knows, which keeps working as
 * it did before the jar carried natives;</li>
 * <li>the connector jar itself, under {@code META-INF/native/PLATFORM/}: the bridge and the store
 * library beside it are copied into a new private folder and loaded from there.</li>
 * </ol>
 * A Java 8 class: the connector jar runs on every virtual machine from Java 8 on.
 */
final class NativeLibrary {
    static final String PATH_PROPERTY = "vrxchdet.library.path";
    private static final String NAME = "vrxchdet";
    /** The local store's library, which the bridge finds in its own folder (run path $ORIGIN). */
    private static final String STORE_NAME = "ntesra";
    private static final String NATIVES = "META-INF/native/";
    private static final String FOLDER_PREFIX = "vrxchdet-";
    private static final Set<PosixFilePermission> OWNER_ONLY = PosixFilePermissions.fromString("rwx------");

    private NativeLibrary() {
    }

    /**
     * Loads the library.
     *
     * @return null once it is loaded; otherwise the message of the failure, naming every place tried
     */
    static String load() {
        List<String> tried = new ArrayList<>();
        String file = System.mapLibraryName(NAME);
        String folder = System.getProperty(PATH_PROPERTY);
        if (folder != null) {
            boolean loaded = tryLoad(Paths.get(folder).resolve(file), PATH_PROPERTY + "=" + folder, tried);
            return loaded ? null : failure(tried);
        }
        String libraryPath = System.getProperty("java.library.path", "");
        if (onLibraryPath(libraryPath, file)) {
            try {
                System.loadLibrary(NAME);
                return null;
            } catch (UnsatisfiedLinkError | SecurityException e) {
                tried.add("java.library.path (" + libraryPath + "): " + e.getMessage());
            }
        } else {
            tried.add("java.library.path (" + libraryPath + "): no " + file + " in any of its folders");
        }
        String platform = platform();
        String resource = NATIVES + platform + "/" + file;
        try (InputStream bridge = NativeLibrary.class.getResourceAsStream("/" + resource)) {
            if (bridge == null) {
                tried.add("the connector jar: no " + resource + " (no natives for " + platform + " in this jar)");
            } else {
                if (tryLoad(extract(bridge, file, platform), "the connector jar's " + resource, tried)) {
                    return null;
                }
            }
        } catch (IOException | SecurityException e) {
            tried.add("the connector jar's " + resource + ": could not be copied out: " + e);
        }
        return failure(tried);
    }

    private static boolean tryLoad(Path library, String place, List<String> tried) {
        if (!Files.isRegularFile(library)) {
            tried.add(place + ": no file " + library);
            return false;
        }
        try {
            System.load(library.toAbsolutePath().toString());
            return true;
        } catch (UnsatisfiedLinkError | SecurityException e) {
            tried.add(place + ": " + e.getMessage());
            return false;
        }
    }

    private static boolean onLibraryPath(String libraryPath, String file) {
        for (String folder : libraryPath.split(File.pathSeparator)) {
            if (!folder.isEmpty() && new File(folder, file).isFile()) {
                return true;
            }
        }
        return false;
    }

    /**
     * Copies the bridge, and the store library when the jar has one, into a new folder that only this
     * user can read, removed at exit where the platform lets a loaded library be removed. A folder of
     * its own per load: the virtual machine lets one file serve one class loader only, so a connector
     * class loaded again by another class loader gets its own copy.
     */
    private static Path extract(InputStream bridge, String file, String platform) throws IOException {
        Path folder = FileSystems.getDefault().supportedFileAttributeViews().contains("posix")
            ? Files.createTempDirectory(FOLDER_PREFIX, PosixFilePermissions.asFileAttribute(OWNER_ONLY))
            : Files.createTempDirectory(FOLDER_PREFIX);
        // Deleted in the reverse order of registration: the files first, then their folder.
        folder.toFile().deleteOnExit();
        String storeFile = System.mapLibraryName(STORE_NAME);
        try (InputStream store = NativeLibrary.class.getResourceAsStream("/" + NATIVES + platform + "/" + storeFile)) {
            if (store != null) {
                copy(store, folder.resolve(storeFile));
            }
        }
        return copy(bridge, folder.resolve(file));
    }

    private static Path copy(InputStream from, Path to) throws IOException {
        to.toFile().deleteOnExit();
        Files.copy(from, to, StandardCopyOption.REPLACE_EXISTING);
        return to;
    }

    /** The folder name of the running platform's natives in the jar, such as "linux-x86_64". */
    static String platform() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        String system = os.startsWith("windows") ? "windows" : os.startsWith("linux") ? "linux" : os.replace(' ', '_');
        String machine = arch.equals("amd64") || arch.equals("x86_64") ? "x86_64"
            : arch.equals("x86") || arch.matches("i[3-6]86") ? "x86" : arch;
        return system + "-" + machine;
    }

    private static String failure(List<String> tried) {
        StringBuilder message = new StringBuilder("The native library \"" + NAME + "\" of "
                                                  + VarnexChangeDetectionConnector.class.getName()
                                                  + " could not be loaded. Tried:");
        boolean elsewhere = false;
        for (String place : tried) {
            message.append("\n  ").append(place);
            elsewhere |= place.contains("another classloader");
        }
        if (elsewhere) {
            message.append("\nAnother class loader of this virtual machine holds that library, and a native library"
                           + " serves one class loader only. Use the connector jar that carries the natives (each"
                           + " class loader then loads a copy of its own), or load the connector class once, from a"
                           + " class loader that every user of it shares.");
        } else if (System.getProperty(PATH_PROPERTY) != null) {
            message.append("\nName the folder that holds " + System.mapLibraryName(NAME) + " in -D" + PATH_PROPERTY
                           + ", or leave it unset to load the library from java.library.path or the connector jar.");
        } else {
            message.append("\nUse the connector jar that carries the natives for " + platform() + ", or name the"
                           + " folder of " + System.mapLibraryName(NAME) + " in -D" + PATH_PROPERTY
                           + " or -Djava.library.path.");
        }
        return message.toString();
    }
}
