package com.example.avbench;

/**
 * Host stand-in of the demo activity: the media tools of libqn_iot_lib.
 * Paths are plain file paths; tools log to the Android log under "TAG".
 */
public class MainActivity {
    static {
        System.loadLibrary("qn_iot_lib");
    }

    /** "Hello from C++!" */
    public native String stringFromJNI();

    /** Logs the FFmpeg version. */
    public native void avbench();

    /** Logs the container metadata of a media file. */
    public native void printFileInfo(String path);

    /** Copies the best audio stream of input into a one-stream file. */
    public native void extractAudio(String input, String output);

    /** Copies the best video stream of input into a one-stream file. */
    public native void extractVideo(String input, String output);

    /** Rewrites input into the container of output's name; 0 when all of it was copied. */
    public native int remux(String input, String output);

    /** Decodes a raw H.264 stream, saving every 20th picture as outputPrefix-N.yuv. */
    public native int decodeVideo(String input, String outputPrefix);

    /** Encodes a 25-picture 352x288 test pattern into a raw H.264 stream. */
    public native int encodeVideo(String output);

    /** Decodes a raw AAC (ADTS) stream into interleaved raw PCM. */
    public native int decodeAudio(String input, String output);

    /** Encodes a 440 Hz tone into a raw MP2 stream. */
    public native int encodeAudio(String output);

    /** Resamples a generated tone into 3-channel 44.1 kHz s16le PCM; 0 on success. */
    public native int resampleAudio(String output);

    /** Scales 100 generated pictures to 640x480 RGB24; 0 on success. */
    public native int scaleVideo(String output);
}
