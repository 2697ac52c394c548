package com.quarn.iot.bench;

import android.graphics.Bitmap;
import com.quarn.iot.corvasdk.core.decode.FFmpegDecoder;
import java.nio.file.Path;
import java.util.Locale;
import java.util.concurrent.CyclicBarrier;

/**
 * One row of the camera-grid benchmark: N decoders, each on its own Java thread, fed one
 * whole access unit per call at 25 pictures/s into two alternating bitmaps, as a camera
 * wall does. Modes: full (bitmaps of the picture's size), tile (480x270), mixed (the first
 * 4 tiles live, the others on key frames only). Prints one CSV line:
 * case,mode,decoders,threads,frame_threads,calls,late_calls,late_pct,cores,cpu_ms_per_call,
 * rss_mib_per_decoder,held,median_call_ms (CPU is the whole process's, FFmpeg's threads included).
 */
public final class GridBench {
    private static final long FRAME_NANOS = 40_000_000L;
    private static final int TILE_WIDTH = 480;
    private static final int TILE_HEIGHT = 270;
    private static final int LIVE_TILES = 4;

    private GridBench() {}

    /** What one decoder's thread did. */
    static final class Lane {
        int calls;
        int late;
        long[] callNanos;
        Throwable failure;
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 9) {
            System.err.println("usage: GridBench <case> <type> <stream> <units> <decoders> <full|tile|mixed>"
                    + " <threads> <frameThreads> <seconds>");
            System.exit(2);
        }
        String label = args[0];
        int type = Integer.parseInt(args[1]);
        byte[][] units = AppPathBench.loadUnits(Path.of(args[2]), Path.of(args[3]));
        int decoders = Integer.parseInt(args[4]);
        String mode = args[5];
        int threads = Integer.parseInt(args[6]);
        boolean frameThreads = Boolean.parseBoolean(args[7]);
        int calls = Integer.parseInt(args[8]) * 25;
        FFmpegDecoder.setLogSink((detail, text) -> { });

        long[] handles = new long[decoders];
        long residentBefore = Memory.residentKib();
        for (int d = 0; d < decoders; d++) {
            handles[d] = FFmpegDecoder.create(type);
            FFmpegDecoder.setWholeAccessUnits(handles[d], true);
            if (!mode.equals("full")) FFmpegDecoder.setOutputSize(handles[d], TILE_WIDTH, TILE_HEIGHT);
            FFmpegDecoder.setFrameThreads(handles[d], frameThreads);
            FFmpegDecoder.setThreads(handles[d], threads);
            if (mode.equals("mixed") && d >= LIVE_TILES) FFmpegDecoder.setKeyFramesOnly(handles[d], true);
        }
        Lane[] lanes = new Lane[decoders];
        Thread[] workers = new Thread[decoders];
        CyclicBarrier ready = new CyclicBarrier(decoders);
        // Resident size and the CPU time of the whole process (FFmpeg's own threads included)
        // are read when every decoder has made its last call.
        long[] atEnd = new long[2];
        CyclicBarrier done = new CyclicBarrier(decoders, () -> {
            atEnd[0] = Memory.residentKib();
            atEnd[1] = Memory.processCpuNanos();
        });
        long cpuBefore = Memory.processCpuNanos();
        long start = System.nanoTime() + 500_000_000L;
        for (int d = 0; d < decoders; d++) {
            Lane lane = lanes[d] = new Lane();
            lane.callNanos = new long[calls];
            long handle = handles[d];
            // The decoders' calls are spread over the 40 ms, and each joins its camera at
            // another point of the stream, as a wall of independent cameras does: their key
            // frames (a whole picture's work even on key-frames-only tiles) do not coincide.
            long offset = d * FRAME_NANOS / decoders;
            int joinAt = d * units.length / decoders;
            workers[d] = new Thread(() -> {
                try {
                    ready.await();
                    play(handle, units, joinAt, calls, start + offset, lane, done);
                } catch (Throwable t) {
                    lane.failure = t;
                }
            }, "grid-" + d);
            workers[d].start();
        }
        for (Thread worker : workers) worker.join();
        for (long handle : handles) FFmpegDecoder.destroy(handle);

        int totalCalls = 0;
        int late = 0;
        for (Lane lane : lanes) {
            if (lane.failure != null) throw new RuntimeException(lane.failure);
            totalCalls += lane.calls;
            late += lane.late;
        }
        long cpu = atEnd[1] - cpuBefore;
        long[] callTimes = new long[0];
        for (Lane lane : lanes) {
            int from = callTimes.length;
            callTimes = java.util.Arrays.copyOf(callTimes, from + lane.callNanos.length);
            System.arraycopy(lane.callNanos, 0, callTimes, from, lane.callNanos.length);
        }
        java.util.Arrays.sort(callTimes);
        double medianCallMs = callTimes[callTimes.length / 2] / 1e6;
        // CPU per second of stream: the cores the grid needs to be held at 25 pictures/s.
        double seconds = calls * FRAME_NANOS / 1e9;
        double latePct = 100.0 * late / totalCalls;
        double rssPerDecoder = (atEnd[0] - residentBefore) / 1024.0 / decoders;
        System.out.printf(Locale.ROOT, "%s,%s,%d,%d,%b,%d,%d,%.2f,%.2f,%.2f,%.1f,%s,%.2f%n", label, mode, decoders,
                threads, frameThreads, totalCalls, late, latePct, cpu / 1e9 / seconds,
                cpu / 1e6 / totalCalls, rssPerDecoder, latePct <= 1.0 ? "yes" : "no", medianCallMs);
    }

    /**
     * Feeds `calls` access units at 25 per second from `start`, beginning at unit `joinAt` and
     * looping over the stream (units before the first key frame go unseen); then
     * waits at `done` with its bitmaps still held, where the resident size is read.
     */
    private static void play(long handle, byte[][] units, int joinAt, int calls, long start, Lane lane,
                             CyclicBarrier done) throws Exception {
        Bitmap shown = null;
        Bitmap spare = null;
        for (int call = 0; call < calls; call++) {
            long due = start + call * FRAME_NANOS;
            long wait = due - System.nanoTime();
            if (wait > 0) Thread.sleep(wait / 1_000_000, (int) (wait % 1_000_000));
            long before = System.nanoTime();
            Bitmap picture = FFmpegDecoder.decodeInto(handle, units[(joinAt + call) % units.length], call, false, spare);
            lane.callNanos[call] = System.nanoTime() - before;
            lane.calls++;
            // Late: the call ended after its picture's 40 ms were over.
            if (System.nanoTime() > due + FRAME_NANOS) lane.late++;
            if (picture == null) continue;
            spare = shown;
            shown = picture;
        }
        done.await();
        if (shown != null) shown.recycle();
        if (spare != null) spare.recycle();
    }
}
