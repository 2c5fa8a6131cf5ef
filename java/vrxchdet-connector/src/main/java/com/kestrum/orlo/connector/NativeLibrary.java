package com.kestrum.orlo.connector;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.nio.channels.FileChannel;
import java.nio.channels.OverlappingFileLockException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.nio.file.attribute.UserPrincipalLookupService;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Set;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Loads the native library "vrxchdet" for the connector class, from the first of these places that
 * holds it:
 * <ol>
 * <li>the folder named by the system property {@code vrxchdet.library.path}, when it is set, and no
 * other place: whoever sets it means exactly that library;</li>
 * <li>a folder of {@code java.library.path}: the deployment the platform knows, which keeps working as
 * it did before the jar carried natives;</li>
 * <li>the connector jar itself, under {@code META-INF/native/PLATFORM/}: the bridge and the store
 * library beside it are copied into a new folder of this user's own folder of the temporary folder,
 * {@code java.io.tmpdir/vrxchdet-USER/}, checked, and loaded from there.</li>
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
    /** In each copy's folder: locked for the life of the virtual machine that loaded the copy. */
    private static final String IN_USE_LOCK = "in-use.lock";
    /** In the user's folder: held while copies are swept or a new one is made and locked. */
    private static final String COPIES_LOCK = "copies.lock";
    private static final long COPIES_LOCK_WAIT_MILLIS = 10_000;
    /**
     * One object per virtual machine whichever class loader loaded this class, as string literals are
     * interned: it keeps two class loaders of one virtual machine from taking the copies' lock at once,
     * which the file lock alone cannot (a virtual machine holds a file lock, not a class loader).
     */
    private static final Object COPIES_MONITOR = "com.kestrum.orlo.connector.NativeLibrary copies";
    private static final Set<PosixFilePermission> OWNER_ONLY = PosixFilePermissions.fromString("rwx------");
    private static final int STICKY = 01000;
    private static final Logger LOG = Logger.getLogger(NativeLibrary.class.getName());

    /** This class loader's copy's lock, held (never closed) while the class and its library live. */
    @SuppressWarnings("unused") // never read: it is kept so that its lock lives as long as the class
    private static FileChannel inUse;

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
            return loaded ? null : failure(tried, null);
        }
        String libraryPath = System.getProperty("java.library.path", "");
        File onPath = onLibraryPath(libraryPath, file);
        if (onPath != null) {
            try {
                System.loadLibrary(NAME);
                LOG.log(Level.FINE, "loaded {0} from java.library.path", onPath);
                return null;
            } catch (UnsatisfiedLinkError | SecurityException e) {
                tried.add("java.library.path (" + libraryPath + "): " + e.getMessage());
            }
        } else {
            tried.add("java.library.path (" + libraryPath + "): no " + file + " in any of its folders");
        }
        String platform = platform();
        String resource = NATIVES + platform + "/" + file;
        String advice = null;
        try (InputStream bridge = NativeLibrary.class.getResourceAsStream("/" + resource)) {
            if (bridge == null) {
                tried.add("the connector jar: no " + resource + " (no natives for " + platform + " in this jar)");
            } else {
                for (Copy copy : extract(bridge, file, platform)) {
                    if (!tryLoad(copy.path, "the connector jar's " + NATIVES + platform + "/" + copy.path.getFileName(),
                                 tried)) {
                        return failure(tried, mappingRefused(tried.get(tried.size() - 1)) ? noexecAdvice()
                                       : "The natives of the jar were copied and checked but did not load; name the"
                                           + " folder of " + file + " in -D" + PATH_PROPERTY + ".");
                    }
                }
                return null;
            }
        } catch (UnsafeFolderException e) {
            tried.add("the connector jar's " + resource + ": not copied out: " + e.getMessage());
            advice = "Set -Djava.io.tmpdir to a folder that only you (or root) can write, or a shared one with the"
                + " sticky bit (chmod +t), or name the folder of " + file + " in -D" + PATH_PROPERTY + ".";
        } catch (IOException | SecurityException e) {
            tried.add("the connector jar's " + resource + ": could not be copied out: " + e);
        }
        return failure(tried, advice);
    }

    private static boolean tryLoad(Path library, String place, List<String> tried) {
        if (!Files.isRegularFile(library)) {
            tried.add(place + ": no file " + library);
            return false;
        }
        try {
            System.load(library.toAbsolutePath().toString());
            LOG.log(Level.FINE, "loaded {0} from {1}", new Object[] {library.toAbsolutePath(), place});
            return true;
        } catch (UnsatisfiedLinkError | SecurityException e) {
            tried.add(place + ": " + e.getMessage());
            return false;
        }
    }

    private static File onLibraryPath(String libraryPath, String file) {
        for (String folder : libraryPath.split(File.pathSeparator, -1)) {
            if (!folder.isEmpty() && new File(folder, file).isFile()) {
                return new File(folder, file);
            }
        }
        return null;
    }

    /**
     * Copies the store library, when the jar has one, and the bridge into a new folder of this user's
     * folder of the temporary folder, and checks that the files at the paths it returns are what it
     * copied.
     *
     * <p>A folder of its own per load: the virtual machine lets one file serve one class loader only, so
     * a connector class loaded again by another class loader gets its own copy. The copy's lock is held
     * while this class lives; each load first sweeps the copies whose lock it can take, left by virtual
     * machines that are gone, and a normal exit removes its own copy.
     *
     * @return the libraries in the order they must be loaded: the store library first, so that the
     *     bridge's need of "libntesra.so" is met by the library of that name already loaded from the jar,
     *     and not by one that the dynamic linker would find first on LD_LIBRARY_PATH (which it searches
     *     before the bridge's run path). A DT_RPATH, searched before LD_LIBRARY_PATH, would do the same,
     *     but it is deprecated and also overrides LD_LIBRARY_PATH for the installed lib/ of a deployment
     *     that relies on it; loading by path keeps the choice here, checked like the bridge.
     */
    private static List<Copy> extract(InputStream bridge, String file, String platform) throws IOException {
        boolean posix = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
        Path temporary = Paths.get(System.getProperty("java.io.tmpdir")).toRealPath();
        UserPrincipal self = posix ? currentUser() : null;
        if (posix) {
            requireSafeFolders(temporary, self);
        }
        Path userFolder = userFolder(temporary, self);
        String storeFile = System.mapLibraryName(STORE_NAME);
        List<Copy> copies = new ArrayList<>();
        Path folder;
        synchronized (COPIES_MONITOR) {
            try (FileChannel copiesLock = FileChannel.open(userFolder.resolve(COPIES_LOCK), StandardOpenOption.CREATE,
                                                           StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS)) {
                waitForLock(copiesLock, userFolder.resolve(COPIES_LOCK));
                String ownPrefix = processId() + "-";
                sweep(userFolder, ownPrefix);
                folder = posix
                    ? Files.createTempDirectory(userFolder, ownPrefix, PosixFilePermissions.asFileAttribute(OWNER_ONLY))
                    : Files.createTempDirectory(userFolder, ownPrefix);
                // Deleted in the reverse order of registration: the files first, then their folder.
                folder.toFile().deleteOnExit();
                Path lockFile = folder.resolve(IN_USE_LOCK);
                lockFile.toFile().deleteOnExit();
                FileChannel lock = FileChannel.open(lockFile, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE,
                                                    LinkOption.NOFOLLOW_LINKS);
                if (lock.tryLock() == null) {
                    lock.close();
                    throw new IOException("could not lock the new " + lockFile);
                }
                inUse = lock;
            }
        }
        try (InputStream store = NativeLibrary.class.getResourceAsStream("/" + NATIVES + platform + "/" + storeFile)) {
            if (store != null) {
                copies.add(copy(store, folder.resolve(storeFile)));
            }
        }
        copies.add(copy(bridge, folder.resolve(file)));
        // Every folder from the copy's up to the root is now known to be writable by this user and root
        // alone (or sticky, where others cannot rename or remove what this user made): nobody else can
        // replace a copy between the check below and its load, so what is checked is what is loaded.
        if (posix) {
            requireSafeFolders(folder, self);
        }
        for (Copy copy : copies) {
            copy.verify(self);
        }
        return copies;
    }

    /**
     * This user's folder of the temporary folder, made if missing: a folder of this user (not a link)
     * that only this user can use, where the copies of every virtual machine of the user are.
     */
    private static Path userFolder(Path temporary, UserPrincipal self) throws IOException {
        String user = System.getProperty("user.name", "").replaceAll("[^A-Za-z0-9._-]", "_");
        Path folder = temporary.resolve(FOLDER_PREFIX + user);
        try {
            if (self != null) {
                Files.createDirectory(folder, PosixFilePermissions.asFileAttribute(OWNER_ONLY));
            } else {
                Files.createDirectory(folder);
            }
        } catch (java.nio.file.FileAlreadyExistsException e) {
            // made by an earlier load; checked below like a new one
        }
        if (self != null) {
            PosixFileAttributes attributes = Files.readAttributes(folder, PosixFileAttributes.class,
                                                                  LinkOption.NOFOLLOW_LINKS);
            if (!attributes.isDirectory()) {
                throw new UnsafeFolderException(folder + " is not a folder (a link or a file is in its place)");
            }
            if (!attributes.owner().equals(self)) {
                throw new UnsafeFolderException("folder " + folder + " belongs to another user ("
                                                + attributes.owner().getName() + ")");
            }
            if (!attributes.permissions().equals(OWNER_ONLY)) {
                // Ours, in a folder that only we can change: making it private again is safe.
                Files.setPosixFilePermissions(folder, OWNER_ONLY);
            }
        }
        return folder;
    }

    /**
     * The rule of the store's folders (localstore/environment/folder_safety.cpp), for the folder and each
     * one above it up to the root: owned by this user or root, and not writable by others unless sticky.
     */
    private static void requireSafeFolders(Path folder, UserPrincipal self) throws IOException {
        UserPrincipal root = lookup("root");
        for (Path current = folder; current != null; current = current.getParent()) {
            PosixFileAttributes attributes = Files.readAttributes(current, PosixFileAttributes.class,
                                                                  LinkOption.NOFOLLOW_LINKS);
            if (!attributes.isDirectory()) {
                throw new UnsafeFolderException(current + " is not a folder");
            }
            UserPrincipal owner = attributes.owner();
            if (!owner.equals(self) && !owner.equals(root)) {
                throw new UnsafeFolderException("folder " + current + " belongs to another user (" + owner.getName()
                                                + "), who could replace what is copied into it");
            }
            Set<PosixFilePermission> permissions = attributes.permissions();
            if ((permissions.contains(PosixFilePermission.GROUP_WRITE)
                 || permissions.contains(PosixFilePermission.OTHERS_WRITE)) && !sticky(current)) {
                throw new UnsafeFolderException("folder " + current + " is writable by other users and has no"
                                                + " sticky bit: another user could rename what is copied into it"
                                                + " away and put their own library in its place");
            }
        }
    }

    /** Whether the folder has the sticky bit; false where the file system does not tell. */
    private static boolean sticky(Path folder) {
        try {
            return (((Integer) Files.getAttribute(folder, "unix:mode", LinkOption.NOFOLLOW_LINKS)) & STICKY) != 0;
        } catch (IOException | UnsupportedOperationException | IllegalArgumentException e) {
            return false;
        }
    }

    /** The user this process acts as: on Linux the owner of its /proc folder, else its user name's. */
    private static UserPrincipal currentUser() throws IOException {
        Path proc = Paths.get("/proc/self");
        if (Files.isDirectory(proc)) {
            return Files.getOwner(proc);
        }
        UserPrincipal user = lookup(System.getProperty("user.name", ""));
        if (user == null) {
            throw new UnsafeFolderException("cannot tell which user this process runs as");
        }
        return user;
    }

    private static UserPrincipal lookup(String name) {
        UserPrincipalLookupService users = FileSystems.getDefault().getUserPrincipalLookupService();
        try {
            return users.lookupPrincipalByName(name);
        } catch (IOException | UnsupportedOperationException e) {
            return null;
        }
    }

    /** This process's id, which starts the names of its copies' folders. */
    private static String processId() {
        try {
            return Files.readSymbolicLink(Paths.get("/proc/self")).getFileName().toString();
        } catch (IOException | UnsupportedOperationException e) {
            String name = ManagementFactory.getRuntimeMXBean().getName();
            return name.substring(0, Math.max(0, name.indexOf('@')));
        }
    }

    /** Takes the lock, waiting a bounded time for another virtual machine that sweeps or makes a copy. */
    private static void waitForLock(FileChannel channel, Path file) throws IOException {
        long deadline = System.currentTimeMillis() + COPIES_LOCK_WAIT_MILLIS;
        while (channel.tryLock() == null) {
            if (System.currentTimeMillis() > deadline) {
                throw new IOException("another process held " + file + " for " + COPIES_LOCK_WAIT_MILLIS + " ms");
            }
            try {
                Thread.sleep(10);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new IOException("interrupted while waiting for " + file);
            }
        }
    }

    /**
     * Removes the copies of virtual machines that are gone: those whose lock it can take, or that have
     * none (a virtual machine killed while making it, as folder and lock are made under the copies'
     * lock). This process's own copies are skipped unopened, as closing any channel of a file drops this
     * process's locks of it on POSIX systems.
     */
    private static void sweep(Path userFolder, String ownPrefix) {
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(userFolder)) {
            for (Path copy : entries) {
                if (copy.getFileName().toString().startsWith(ownPrefix)
                    || !Files.isDirectory(copy, LinkOption.NOFOLLOW_LINKS)) {
                    continue;
                }
                try (FileChannel lock = FileChannel.open(copy.resolve(IN_USE_LOCK), StandardOpenOption.WRITE,
                                                         LinkOption.NOFOLLOW_LINKS)) {
                    if (lock.tryLock() == null) {
                        continue; // in use
                    }
                } catch (NoSuchFileException e) {
                    // no lock: removed below
                } catch (OverlappingFileLockException | IOException e) {
                    continue;
                }
                // Its virtual machine is gone, and no other can take the copy up: removed at leisure.
                try {
                    deleteCopy(copy);
                    LOG.log(Level.FINE, "removed {0}, left by a virtual machine that is gone", copy);
                } catch (IOException e) {
                    LOG.log(Level.FINE, "could not remove " + copy, e);
                }
            }
        } catch (IOException e) {
            LOG.log(Level.FINE, "could not sweep " + userFolder, e);
        }
    }

    private static void deleteCopy(Path copy) throws IOException {
        try (DirectoryStream<Path> files = Files.newDirectoryStream(copy)) {
            for (Path file : files) {
                Files.delete(file);
            }
        }
        Files.delete(copy);
    }

    private static Copy copy(InputStream from, Path to) throws IOException {
        to.toFile().deleteOnExit();
        MessageDigest digest = sha256();
        long size = 0;
        byte[] buffer = new byte[65536];
        try (OutputStream out = Files.newOutputStream(to, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE,
                                                      LinkOption.NOFOLLOW_LINKS)) {
            for (int read; (read = from.read(buffer)) > 0; size += read) {
                digest.update(buffer, 0, read);
                out.write(buffer, 0, read);
            }
        }
        return new Copy(to, size, digest.digest());
    }

    private static MessageDigest sha256() throws IOException {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IOException(e);
        }
    }

    /** A library copied out of the jar: where, and the size and SHA-256 digest of the bytes copied. */
    private static final class Copy {
        final Path path;
        final long size;
        final byte[] digest;

        Copy(Path path, long size, byte[] digest) {
            this.path = path;
            this.size = size;
            this.digest = digest;
        }

        /** Reads the file back from the path it is loaded from, without following links. */
        void verify(UserPrincipal self) throws IOException {
            if (self != null) {
                PosixFileAttributes attributes = Files.readAttributes(path, PosixFileAttributes.class,
                                                                      LinkOption.NOFOLLOW_LINKS);
                if (!attributes.isRegularFile() || !attributes.owner().equals(self)) {
                    throw new UnsafeFolderException(path + " is no longer the file copied there");
                }
            }
            MessageDigest reread = sha256();
            long length = 0;
            byte[] buffer = new byte[65536];
            try (InputStream in = Files.newInputStream(path, StandardOpenOption.READ, LinkOption.NOFOLLOW_LINKS)) {
                for (int read; (read = in.read(buffer)) > 0; length += read) {
                    reread.update(buffer, 0, read);
                }
            }
            if (length != size || !Arrays.equals(reread.digest(), digest)) {
                throw new UnsafeFolderException(path + " is not what was copied there (" + length + " bytes read back, "
                                                + size + " copied, or another SHA-256 digest)");
            }
        }
    }

    /** A place that another user could change, or a copy found changed: nothing is loaded from it. */
    private static final class UnsafeFolderException extends IOException {
        private static final long serialVersionUID = 1L;

        UnsafeFolderException(String message) {
            super(message);
        }
    }

    /** Whether a load failed as the file system refuses to map libraries executable (mounted noexec). */
    private static boolean mappingRefused(String failure) {
        return failure.contains("failed to map segment") || failure.contains("Operation not permitted");
    }

    private static String noexecAdvice() {
        return "The copy was made and checked, but " + System.getProperty("java.io.tmpdir") + " does not let a"
            + " library be mapped executable (mounted noexec?). Set -Djava.io.tmpdir to a folder that allows"
            + " execution, or name the folder of " + System.mapLibraryName(NAME) + " in -D" + PATH_PROPERTY + ".";
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

    /** The message of a failed load; advice, when given, replaces the general one. */
    private static String failure(List<String> tried, String advice) {
        StringBuilder message = new StringBuilder("The native library \"" + NAME + "\" of "
                                                  + VarnexChangeDetectionConnector.class.getName()
                                                  + " could not be loaded. Tried:");
        boolean elsewhere = false;
        for (String place : tried) {
            message.append("\n  ").append(place);
            elsewhere |= place.contains("another classloader");
        }
        if (advice != null) {
            message.append("\n").append(advice);
        } else if (elsewhere) {
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
