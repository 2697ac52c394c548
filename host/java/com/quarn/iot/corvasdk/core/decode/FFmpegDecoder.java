package com.quarn.iot.corvasdk.core.decode;

import android.graphics.Bitmap;

/**
 * The app's live video decoder: natives of libqn_iot_lib and the two static
 * methods that receive the library's log lines.
 */
public final class FFmpegDecoder {
    static {
        System.loadLibrary("qn_iot_lib");
    }

    /** Receives each forwarded log line. */
    public interface LogSink {
        /** Called with detail false for printD lines, true for printDetail lines. */
        void line(boolean detail, String text);
    }

    /** Prints each line on standard output, marked D (normal) or V (detail). */
    public static final LogSink PRINT = (detail, text) ->
            System.out.println((detail ? "V" : "D") + "/FFmpegDecoder: " + text);

    private static volatile LogSink sink = PRINT;

    private FFmpegDecoder() {}

    /** Replaces where forwarded lines go; null restores printing. */
    public static void setLogSink(LogSink newSink) {
        sink = newSink != null ? newSink : PRINT;
    }

    /** Creates a decoder: type 1 for H.264, anything else for H.265. Returns its handle. */
    public static native long create(int type);

    /** Decodes one received chunk; a new ARGB_8888 bitmap of the latest picture, or null. */
    public static native Bitmap decode(long handle, byte[] data, int sequence, boolean detail);

    /** Decodes as decode does, into reuse (returned) if it is a mutable, live ARGB_8888 bitmap of the picture's size, else into a new one. */
    public static native Bitmap decodeInto(long handle, byte[] data, int sequence, boolean detail, Bitmap reuse);

    /** While on, each chunk is one whole access unit and its picture comes out in the same call; 0 is ignored. */
    public static native void setWholeAccessUnits(long handle, boolean on);

    /** Deletes the decoder behind the handle; 0 is ignored. */
    public static native void destroy(long handle);

    /** Called by the library for every normal log line. */
    public static void printDFromNative(String text) {
        sink.line(false, text);
    }

    /** Called by the library for every detail log line while detail logging is on. */
    public static void printDetailFromNative(String text) {
        sink.line(true, text);
    }
}
