package com.kestrum.orlo.connector.feed;

import java.io.ByteArrayOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.EOFException;
import java.io.IOException;
import java.nio.charset.StandardCharsets;

/**
 * The framing between an isolated feed and its child. Each side first writes the magic number and the
 * version, and reads the other's; then frames follow, each an int length (of what follows), a type byte
 * and its payload. Strings are an int length and UTF-8 bytes. The feed sends {@link #OPEN},
 * {@link #SEARCH} and {@link #CLOSE}; the child answers {@link #OPENED}, chunks of {@link #ENTRIES} then
 * {@link #END}, {@link #FAILED} or {@link #CLOSED}.
 */
final class ChildProtocol {
    /** "VXCD": the first four bytes each side writes. */
    static final int MAGIC = 0x56584344;
    /** The version of this framing; a child of another version is refused. */
    static final short VERSION = 1;
    /** The longest frame either side accepts. */
    static final int MAX_FRAME = 16 << 20;
    /** The most entries in one {@link #ENTRIES} frame: the raw entries the feed holds beyond its batch. */
    static final int CHUNK = 1024;

    /** Open: server (empty for local), database, password. */
    static final byte OPEN = 1;
    /** Search: a boolean, whether a since text follows, and the since text. */
    static final byte SEARCH = 2;
    /** Close the database and end. */
    static final byte CLOSE = 3;
    /** The database is open. */
    static final byte OPENED = 11;
    /** Entries: a count and the entries. */
    static final byte ENTRIES = 12;
    /** The search is over: its end text. */
    static final byte END = 13;
    /** The call failed: {@link #STORE_FAILURE} or {@link #OTHER_FAILURE} and the message. */
    static final byte FAILED = 14;
    /** Closed; the child ends. */
    static final byte CLOSED = 15;
    /** The store's failure: the message carries its status. */
    static final byte STORE_FAILURE = 0;
    /** Any other failure (the native library not loaded, a call out of order). */
    static final byte OTHER_FAILURE = 1;
    /** The child fails beyond the store (out of memory) and ends: its last words. */
    static final byte DYING = 2;

    private ChildProtocol() {
    }

    /** Writes the magic number and the version. */
    static void hello(DataOutputStream out) throws IOException {
        out.writeInt(MAGIC);
        out.writeShort(VERSION);
        out.flush();
    }

    /** Reads the other side's magic number and version; says what is wrong, or null. */
    static String checkHello(DataInputStream in) throws IOException {
        int magic = in.readInt();
        short version = in.readShort();
        if (magic != MAGIC) {
            return String.format("the other side does not speak this framing (it began with 0x%08X)", magic);
        }
        if (version != VERSION) {
            return "the other side speaks version " + version + " of the framing, this side " + VERSION;
        }
        return null;
    }

    /** A frame being written: its payload. */
    static final class Frame {
        private final byte type;
        private final ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        private final DataOutputStream data = new DataOutputStream(bytes);

        Frame(byte type) {
            this.type = type;
        }

        Frame string(String value) throws IOException {
            byte[] utf8 = value.getBytes(StandardCharsets.UTF_8);
            data.writeInt(utf8.length);
            data.write(utf8);
            return this;
        }

        Frame integer(int value) throws IOException {
            data.writeInt(value);
            return this;
        }

        Frame flag(boolean value) throws IOException {
            data.writeBoolean(value);
            return this;
        }

        Frame octet(byte value) throws IOException {
            data.writeByte(value);
            return this;
        }

        int size() {
            return bytes.size();
        }

        /** Writes the frame and flushes. */
        void sendTo(DataOutputStream out) throws IOException {
            out.writeInt(bytes.size() + 1);
            out.writeByte(type);
            bytes.writeTo(out);
            out.flush();
        }
    }

    /** A frame read: its type and payload. */
    static final class Received {
        final byte type;
        private final DataInputStream payload;

        private Received(byte type, byte[] payload) {
            this.type = type;
            this.payload = new DataInputStream(new java.io.ByteArrayInputStream(payload));
        }

        String string() throws IOException {
            int length = payload.readInt();
            if (length < 0 || length > payload.available()) {
                throw new IOException("A string of " + length + " bytes in a frame of " + payload.available() + " left");
            }
            byte[] utf8 = new byte[length];
            payload.readFully(utf8);
            return new String(utf8, StandardCharsets.UTF_8);
        }

        int integer() throws IOException {
            return payload.readInt();
        }

        boolean flag() throws IOException {
            return payload.readBoolean();
        }

        byte octet() throws IOException {
            return payload.readByte();
        }
    }

    /**
     * Reads the next frame.
     *
     * @throws EOFException when the other side closed its end before a frame began or within one
     */
    static Received read(DataInputStream in) throws IOException {
        int length = in.readInt();
        if (length < 1 || length > MAX_FRAME) {
            throw new IOException("A frame of " + length + " bytes, outside 1 to " + MAX_FRAME);
        }
        byte type = in.readByte();
        byte[] payload = new byte[length - 1];
        in.readFully(payload);
        return new Received(type, payload);
    }
}
