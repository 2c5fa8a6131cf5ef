package com.kestrum.orlo.connector.feed;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.channels.OverlappingFileLockException;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.HashMap;
import java.util.Map;
import java.util.Objects;
import java.util.Set;

/**
 * The checkpoint as a small text file, replaced atomically at each commit, and held by one feed at a
 * time through an OS lock on a sibling file, {@code NAME.lock}, which stays in place. The lock file is
 * the owner's alone ({@code 0600}, made so when found wider), so no other user can hold a lock on it; and
 * one lock per file serves the whole JVM, so a second store on the same file in the same JVM is refused
 * without touching the lock of the first (an OS lock belongs to the process, and closing any channel on
 * the file would release it).
 *
 * <p>The file, format version 2, is four lines of UTF-8, each ending in a line feed:
 * <pre>
 * vrxchdet-checkpoint 2
 * server=
 * database=main.tdb
 * end=2026-12-09 05:00:00.120
 * </pre>
 * {@code server} is empty for a local database; {@code end} is the end text of the last committed batch,
 * exactly {@code YYYY-MM-DD HH:MM:SS.mmm}. A version-1 file, a bare end text on one line (with or without
 * its line feed, and nothing after it), is read as the end text of whatever database the feed opens, and
 * written as version 2 at the next write.
 *
 * <p>A file that is empty, not a regular file (a link, a folder, a FIFO: never opened), larger than
 * {@value #MAX_SIZE} bytes, of another form, or of another server or database, is refused at open with a
 * {@link ChangeFeedException} that names the file and what is wrong. A commit writes a new file under an
 * unguessable name ({@code NAME.DIGITS.tmp}), created exclusively beside the checkpoint, flushes it to
 * disk, and renames it over the checkpoint; a link at the checkpoint's name is replaced, never followed.
 * The open removes such files that a crash left behind, regular files of that form only. Control
 * characters and a byte-order mark in a refused file are shown escaped in the message.
 */
public final class FileCheckpointStore implements CheckpointStore {
    /** The largest checkpoint file read, in bytes. */
    public static final int MAX_SIZE = 4096;
    static final String HEADER = "vrxchdet-checkpoint 2";
    private static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");
    private static final Set<PosixFilePermission> OWNER_READ_WRITE = PosixFilePermissions.fromString("rw-------");
    // The lock files this JVM holds a lock on, by real path, and the store holding each.
    private static final Map<Path, FileCheckpointStore> HOLDERS = new HashMap<>();

    /** The steps of a commit that make it durable; tests watch their order. */
    interface Disk {
        void force(FileChannel channel) throws IOException;

        void move(Path from, Path to) throws IOException;

        void forceFolder(Path folder) throws IOException;
    }

    static final Disk REAL_DISK = new Disk() {
        @Override
        public void force(FileChannel channel) throws IOException {
            channel.force(true);
        }

        @Override
        public void move(Path from, Path to) throws IOException {
            Files.move(from, to, StandardCopyOption.ATOMIC_MOVE);
        }

        @Override
        public void forceFolder(Path folder) throws IOException {
            // The rename is durable only once the folder's entry is on disk. Windows cannot open a folder
            // to flush it; there the rename is as durable as the file system's journal makes it.
            if (!WINDOWS) {
                try (FileChannel channel = FileChannel.open(folder, StandardOpenOption.READ)) {
                    channel.force(true);
                }
            }
        }
    };

    private final Path file;
    private final Path folder;
    private final Path lockFile;
    private final Disk disk;
    private FileChannel lockChannel;
    private FileLock lock;
    private Path heldAs;

    /**
     * A checkpoint in the given file.
     *
     * @param file the checkpoint file; it need not exist yet, but its folder must
     * @throws NotDirectoryException when its folder does not exist
     */
    public FileCheckpointStore(Path file) throws NotDirectoryException {
        this(file, REAL_DISK);
    }

    FileCheckpointStore(Path file, Disk disk) throws NotDirectoryException {
        this.file = Objects.requireNonNull(file, "file").toAbsolutePath();
        this.folder = this.file.getParent();
        this.lockFile = this.file.resolveSibling(this.file.getFileName() + ".lock");
        this.disk = disk;
        if (!Files.isDirectory(folder)) {
            throw new NotDirectoryException(folder + " (the folder of the checkpoint file)");
        }
    }

    /**
     * The checkpoint file.
     *
     * @return its absolute path
     */
    public Path file() {
        return file;
    }

    /** Takes the lock and reads the file; see the class description for what is refused. */
    @Override
    public synchronized String read(String server, String database) throws ChangeFeedException, IOException {
        try {
            claim();
        } catch (CheckpointInUseException inUse) {
            throw new ChangeFeedException(inUse.getMessage(), inUse, ChangeFeedException.CHECKPOINT_REFUSED, null);
        } catch (IOException failure) {
            throw new ChangeFeedException("Cannot lock the " + this + " through " + lockFile + ": " + failure, failure,
                                          ChangeFeedException.CHECKPOINT_FAILED, null);
        }
        removeLeftoverTemporaries();
        BasicFileAttributes attributes;
        try {
            attributes = Files.readAttributes(file, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        } catch (NoSuchFileException absent) {
            return null;
        }
        if (!attributes.isRegularFile()) {
            throw refused("is not a regular file; a link, folder, FIFO or device is never opened");
        }
        String text = decode(readAtMost(MAX_SIZE));
        if (text.isEmpty()) {
            throw refused("is empty; delete it to start again from the beginning");
        }
        String[] lines = text.split("\n", -1);
        if (lines.length == 1) {
            lines = new String[] {text, ""};
        }
        if (lines.length == 2 && lines[1].isEmpty()) {
            return endText(lines[0], "its only line");
        }
        if (lines.length != 5 || !lines[4].isEmpty() || !lines[0].equals(HEADER)) {
            throw refused("is not a checkpoint (its first line is " + EndText.quoted(lines[0]) + "): version 2 is the "
                          + "four lines '" + HEADER
                          + "', 'server=NAME', 'database=NAME', 'end=YYYY-MM-DD HH:MM:SS.mmm'");
        }
        String fileServer = value(lines[1], "server=");
        String fileDatabase = value(lines[2], "database=");
        if (!fileServer.equals(server) || !fileDatabase.equals(database)) {
            throw refused("belongs to " + describe(fileServer, fileDatabase) + ", not to " + describe(server, database)
                          + "; a feed continues only from its own database's checkpoint");
        }
        return endText(value(lines[3], "end="), "its end line");
    }

    /** Replaces the file atomically with a version-2 file; it holds the new end text once this returns. */
    @Override
    public synchronized void write(String server, String database, String endText) throws IOException {
        claim();
        byte[] content = (HEADER + "\nserver=" + server + "\ndatabase=" + database + "\nend=" + endText + "\n")
            .getBytes(StandardCharsets.UTF_8);
        // Exclusive creation under a random name: nothing planted beside the checkpoint is followed or reused.
        Path temporary = Files.createTempFile(folder, file.getFileName() + ".", ".tmp");
        boolean moved = false;
        try {
            try (FileChannel channel = FileChannel.open(temporary, StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS)) {
                ByteBuffer bytes = ByteBuffer.wrap(content);
                while (bytes.hasRemaining()) {
                    channel.write(bytes);
                }
                disk.force(channel);
            }
            disk.move(temporary, file);
            moved = true;
            disk.forceFolder(folder);
        } finally {
            if (!moved) {
                Files.deleteIfExists(temporary);
            }
        }
    }

    /** Releases the lock; the lock file stays, as removing it could split two later feeds onto two files. */
    @Override
    public synchronized void release() throws IOException {
        synchronized (HOLDERS) {
            if (heldAs != null) {
                HOLDERS.remove(heldAs);
                heldAs = null;
            }
            if (lockChannel != null) {
                try {
                    lockChannel.close();
                } finally {
                    lockChannel = null;
                    lock = null;
                }
            }
        }
    }

    @Override
    public String toString() {
        return "checkpoint file " + file;
    }

    private void claim() throws IOException {
        if (lock != null) {
            return;
        }
        synchronized (HOLDERS) {
            Path key = folder.toRealPath().resolve(lockFile.getFileName());
            FileCheckpointStore holder = HOLDERS.get(key);
            if (holder != null) {
                throw inUse("another change feed in this JVM");
            }
            FileChannel channel = openLockFile();
            FileLock taken = null;
            try {
                taken = channel.tryLock();
            } catch (OverlappingFileLockException heldHere) {
                taken = null;
            } finally {
                if (taken == null) {
                    channel.close();
                }
            }
            if (taken == null) {
                throw inUse("another change feed, in another process");
            }
            lockChannel = channel;
            lock = taken;
            heldAs = key;
            HOLDERS.put(key, this);
        }
    }

    private CheckpointInUseException inUse(String byWhom) {
        return new CheckpointInUseException("The " + this + " is in use by " + byWhom + " (it holds the lock on "
                                            + lockFile + "); one feed at a time follows a checkpoint");
    }

    /** Opens the lock file, made the owner's alone; refuses anything but a regular file. */
    private FileChannel openLockFile() throws IOException {
        boolean posix = folder.getFileSystem().supportedFileAttributeViews().contains("posix");
        BasicFileAttributes attributes;
        try {
            attributes = posix ? Files.readAttributes(lockFile, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS)
                               : Files.readAttributes(lockFile, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        } catch (NoSuchFileException absent) {
            attributes = null;  // made below
        }
        if (attributes != null && !attributes.isRegularFile()) {
            throw new IOException(lockFile + ", the lock file of the " + this + ", is not a regular file");
        }
        FileAttribute<?>[] ownerOnly = posix ? new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(OWNER_READ_WRITE)}
                                             : new FileAttribute<?>[0];
        Set<OpenOption> options = Set.of(StandardOpenOption.CREATE, StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS);
        FileChannel channel = FileChannel.open(lockFile, options, ownerOnly);
        if (attributes instanceof PosixFileAttributes
            && !((PosixFileAttributes) attributes).permissions().equals(OWNER_READ_WRITE)) {
            try {
                // Read access is enough to hold a shared lock and keep every feed out.
                Files.setPosixFilePermissions(lockFile, OWNER_READ_WRITE);
            } catch (IOException notOwner) {
                channel.close();
                throw new IOException(lockFile + ", the lock file of the " + this + ", can be read by other users and "
                                      + "cannot be made private (" + notOwner + "); remove it", notOwner);
            }
        }
        return channel;
    }

    /** Temporary files of commits a crash interrupted; only the lock holder's commits make them. */
    private void removeLeftoverTemporaries() throws ChangeFeedException {
        String prefix = file.getFileName() + ".";
        Path current = null;
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(folder)) {
            for (Path entry : entries) {
                String name = entry.getFileName().toString();
                if (isTemporaryName(name, prefix)
                    && Files.readAttributes(entry, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS).isRegularFile()) {
                    current = entry;
                    Files.deleteIfExists(entry);
                }
            }
        } catch (IOException failure) {
            throw new ChangeFeedException("Cannot remove the leftovers of interrupted commits of the " + this
                                          + (current == null ? "" : " (" + current + ")") + ": " + failure, failure,
                                          ChangeFeedException.CHECKPOINT_FAILED, null);
        }
    }

    /** Whether the name is one a commit gives its new file: the checkpoint's name, a dot, digits, ".tmp". */
    static boolean isTemporaryName(String name, String prefix) {
        int digitsEnd = name.length() - ".tmp".length();
        if (!name.startsWith(prefix) || !name.endsWith(".tmp") || digitsEnd <= prefix.length()) {
            return false;
        }
        for (int i = prefix.length(); i < digitsEnd; ++i) {
            if (name.charAt(i) < '0' || name.charAt(i) > '9') {
                return false;
            }
        }
        return true;
    }

    private byte[] readAtMost(int limit) throws ChangeFeedException, IOException {
        try (FileChannel channel = FileChannel.open(file, StandardOpenOption.READ, LinkOption.NOFOLLOW_LINKS)) {
            if (channel.size() > limit) {
                throw refused("is larger than " + limit + " bytes (" + channel.size() + ")");
            }
            ByteBuffer bytes = ByteBuffer.allocate(limit + 1);
            while (bytes.hasRemaining() && channel.read(bytes) >= 0) {
                // a file that grows while read is cut at limit + 1 and refused below
            }
            if (bytes.position() > limit) {
                throw refused("is larger than " + limit + " bytes");
            }
            byte[] content = new byte[bytes.position()];
            bytes.flip().get(content);
            return content;
        }
    }

    private String decode(byte[] content) throws ChangeFeedException {
        try {
            return StandardCharsets.UTF_8.newDecoder().onMalformedInput(CodingErrorAction.REPORT)
                .onUnmappableCharacter(CodingErrorAction.REPORT).decode(ByteBuffer.wrap(content)).toString();
        } catch (CharacterCodingException notText) {
            throw refused("is not UTF-8 text");
        }
    }

    private String endText(String text, String where) throws ChangeFeedException {
        String problem = EndText.problem(text);
        if (problem != null) {
            throw refused("holds in " + where + " " + problem);
        }
        return text;
    }

    private String value(String line, String key) throws ChangeFeedException {
        if (!line.startsWith(key)) {
            throw refused("has " + EndText.quoted(line) + " where the line '" + key + "...' belongs");
        }
        return line.substring(key.length());
    }

    private ChangeFeedException refused(String what) {
        return new ChangeFeedException("The " + this + " " + what, null, ChangeFeedException.CHECKPOINT_REFUSED, null);
    }

    static String describe(String server, String database) {
        return server.isEmpty() ? "the local database " + EndText.quoted(database)
                                : "database " + EndText.quoted(database) + " on server " + EndText.quoted(server);
    }

    /** Another feed, in this or another process, holds the checkpoint. */
    static final class CheckpointInUseException extends IOException {
        private static final long serialVersionUID = 1L;

        CheckpointInUseException(String message) {
            super(message);
        }
    }
}
