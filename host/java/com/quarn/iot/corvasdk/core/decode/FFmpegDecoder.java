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

    /**
     * From the next picture on, bitmaps are width x height: the picture box-scaled on every plane,
     * then converted with the stream's colours. 0, 0 is the picture's own size (the default). A bad
     * size (negative, one side 0, above 4096 x 4096 pixels) is refused with one log line; 0 is ignored.
     */
    public static native void setOutputSize(long handle, int width, int height);

    /**
     * While on, only key frames are decoded; a call with another access unit returns null without a
     * line. After turning it off, decoding resumes at the next key frame (calls before it return null),
     * so no damaged picture is ever shown; 0 is ignored.
     */
    public static native void setKeyFramesOnly(long handle, boolean on);

    /**
     * Decoding threads, 1 to 16 (1, the default, is one thread). More are slice threads, which add no
     * delay; with setFrameThreads also frame threads. Taken at once before the first chunk, else at the
     * next key frame. Other counts are refused with one log line; 0 is ignored.
     */
    public static native void setThreads(long handle, int count);

    /**
     * Accepts frame threads for the count of setThreads: any stream spreads over the threads, and each
     * picture comes out count - 1 calls later. Takes effect as setThreads does; 0 is ignored.
     */
    public static native void setFrameThreads(long handle, boolean on);

    /**
     * Gives up what the decoder holds back while the stream pauses (the last unit of a chunk stream,
     * pictures kept for reordering or by frame threads): the newest of them as a bitmap, into reuse
     * if it fits as for decodeInto, or null when none was held. When frame threads are at work or
     * the stream reorders pictures, the decoder is drained to its end, and decoding then resumes at the next key frame (calls before it return null
     * without a line). 0 is ignored.
     */
    public static native Bitmap drain(long handle, Bitmap reuse);

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
