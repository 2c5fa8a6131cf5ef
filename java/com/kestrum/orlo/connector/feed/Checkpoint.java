package com.kestrum.orlo.connector.feed;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;

/** The file holding the end text of the last committed batch, one line. */
final class Checkpoint {
    private static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");

    private final Path file;
    private final Path folder;

    Checkpoint(Path file) throws IOException {
        this.file = file.toAbsolutePath();
        this.folder = this.file.getParent();
        if (!Files.isDirectory(folder)) {
            throw new NotDirectoryException(folder + " (the folder of the checkpoint file)");
        }
    }

    /** The committed end text, or null when nothing was committed yet. */
    String read() throws IOException {
        try {
            String text = Files.readString(file, StandardCharsets.UTF_8).strip();
            return text.isEmpty() ? null : text;
        } catch (NoSuchFileException absent) {
            return null;
        }
    }

    /**
     * Replaces the file so that after a crash it holds either the old or the new end text, and once this
     * returns, the new one.
     */
    void write(String endText) throws IOException {
        Path temporary = file.resolveSibling(file.getFileName() + ".tmp");
        try (FileChannel channel = FileChannel.open(temporary, StandardOpenOption.CREATE, StandardOpenOption.WRITE,
                                                    StandardOpenOption.TRUNCATE_EXISTING)) {
            ByteBuffer bytes = StandardCharsets.UTF_8.encode(endText + "\n");
            while (bytes.hasRemaining()) {
                channel.write(bytes);
            }
            channel.force(true);
        }
        Files.move(temporary, file, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
        // The rename is durable only once the folder's entry is on disk. Windows cannot open a folder
        // to flush it; there the rename is as durable as the file system's journal makes it.
        if (!WINDOWS) {
            try (FileChannel channel = FileChannel.open(folder, StandardOpenOption.READ)) {
                channel.force(true);
            }
        }
    }
}
