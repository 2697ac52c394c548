package com.quarn.iot.bench;

import android.graphics.Bitmap;
import com.quarn.iot.corvasdk.core.decode.FFmpegDecoder;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The app path of the live decoder: Java threads that feed one access unit per
 * FFmpegDecoder.decode call, as the app does with each received chunk, and read
 * one pixel of every bitmap they get. Prints one CSV line of figures.
 *
 * <pre>
 *   decode &lt;run&gt; &lt;kind&gt; &lt;case&gt; &lt;codec&gt; &lt;stream&gt; &lt;units&gt; &lt;decoders&gt; drop|recycle|reuse
 *   leak   &lt;run&gt; &lt;case&gt; &lt;codec&gt; &lt;stream&gt; &lt;units&gt; &lt;calls&gt;
 * </pre>
 *
 * Each bitmap is either recycled once its pixel is read, as a viewer that frees
 * the previous frame does, or dropped, as one that leaves it to the collector
 * does; dropped pixels are freed in batches at the collections that the bitmap
 * stand-in requests, as Android does, once they have grown by
 * qn.bitmap.collectAfterBytes (96 MiB). With reuse, each call goes through
 * FFmpegDecoder.decodeInto with the bitmap not on show, so a viewer alternates
 * two bitmaps kept from the warm-up on. The leak run
 * recycles, so the resident size it samples moves only with what the library
 * keeps per call.
 */
public final class AppPathBench {
    private static final int WARM_UP_UNITS = 100;
    private static final List<String> BITMAP_POLICIES = List.of("drop", "recycle", "reuse");
    private static final int LEAK_WARM_UP_CALLS = 6000;
    private static final int LEAK_SAMPLE_EVERY = 500;

    /** Forwarded lines other than the decoders' create and destroy lines. */
    private static final AtomicInteger otherLines = new AtomicInteger();
    /** Keeps the pixel reads alive; never printed. */
    static volatile int pixelSink;

    private AppPathBench() {}

    public static void main(String[] args) throws Exception {
        FFmpegDecoder.setLogSink(AppPathBench::countLine);
        // Loads the management classes now: their first use costs megabytes of resident size.
        Memory.processCpuNanos();
        Memory.residentKib();
        if (args.length == 9 && args[0].equals("decode") && BITMAP_POLICIES.contains(args[8])) {
            runDecoders(args[1], args[2], args[3], Integer.parseInt(args[4]),
                    loadUnits(Path.of(args[5]), Path.of(args[6])), Integer.parseInt(args[7]), args[8]);
        } else if (args.length == 7 && args[0].equals("leak")) {
            runLeak(args[1], args[2], Integer.parseInt(args[3]),
                    loadUnits(Path.of(args[4]), Path.of(args[5])), Integer.parseInt(args[6]));
        } else {
            System.err.println("usage: decode <run> <kind> <case> <codec> <stream> <units> <decoders> drop|recycle|reuse\n"
                    + "       leak <run> <case> <codec> <stream> <units> <calls>");
            System.exit(2);
        }
        if (otherLines.get() > 0) {
            System.err.println("note: the decoders logged " + otherLines.get() + " lines beyond create/destroy");
        }
    }

    /** Drops forwarded lines, counting those that tell of a failure. */
    private static void countLine(boolean detail, String text) {
        if (text.startsWith("create:") || text.startsWith("destroy:") || text.startsWith("decoder type")) {
            return;
        }
        // A stream's first chunk is only held by the parser, so no picture has a size yet.
        if (text.equals("width => 0, height => 0")) return;
        otherLines.incrementAndGet();
    }

    /** Reads the stream and cuts it into one byte array per access unit, as chunks arrive. */
    static byte[][] loadUnits(Path stream, Path units) throws IOException {
        byte[] bytes = Files.readAllBytes(stream);
        List<byte[]> chunks = new ArrayList<>();
        for (String line : Files.readAllLines(units, StandardCharsets.US_ASCII)) {
            String[] fields = line.trim().split(" ");
            if (fields.length != 2) continue;
            int offset = Integer.parseInt(fields[0]);
            int size = Integer.parseInt(fields[1]);
            chunks.add(Arrays.copyOfRange(bytes, offset, offset + size));
        }
        if (chunks.isEmpty()) throw new IOException("no access units in " + units);
        return chunks.toArray(new byte[0][]);
    }

    /** The two bitmaps of a viewer that reuses them: the one on show and the one to decode into. */
    static final class BitmapPair {
        Bitmap shown;
        Bitmap spare;

        /** Shows the returned bitmap; the one shown before becomes the spare. */
        void show(Bitmap bitmap) {
            spare = shown;
            shown = bitmap;
        }
    }

    /** What one decoder thread measured. */
    static final class Pass {
        int pictures;
        /** Bitmaps the library made: every one, except those a reusing viewer got back. */
        int made;
        long[] callNanos = new long[0];
        long startNanos;
        long endNanos;
    }

    /**
     * Feeds `calls` chunks, cycling through the units, to the decoder; drops or recycles each
     * bitmap after reading its centre pixel, or with a pair, decodes into its spare. A stream
     * decodes seamlessly when cycled: it starts with a key frame and its parameter sets.
     */
    static Pass feed(long decoder, byte[][] units, int calls, boolean recycle, BitmapPair pair) {
        Pass pass = new Pass();
        pass.callNanos = new long[calls];
        int sink = 0;
        pass.startNanos = System.nanoTime();
        for (int i = 0; i < calls; i++) {
            long before = System.nanoTime();
            byte[] unit = units[i % units.length];
            Bitmap bitmap = pair != null ? FFmpegDecoder.decodeInto(decoder, unit, i, false, pair.spare)
                    : FFmpegDecoder.decode(decoder, unit, i, false);
            pass.callNanos[i] = System.nanoTime() - before;
            if (bitmap != null) {
                pass.pictures++;
                sink += bitmap.getPixel(bitmap.getWidth() / 2, bitmap.getHeight() / 2);
                if (pair == null || bitmap != pair.spare) pass.made++;
                if (pair != null) {
                    pair.show(bitmap);
                } else if (recycle) {
                    bitmap.recycle();
                }
            }
        }
        pass.endNanos = System.nanoTime();
        pixelSink += sink;
        return pass;
    }

    /** Warms up on a throw-away decoder, then decodes the whole stream once on a fresh one. */
    static Pass warmThenDecode(int codec, byte[][] units, String policy, CyclicBarrier start)
            throws Exception {
        boolean recycle = !policy.equals("drop");
        BitmapPair pair = policy.equals("reuse") ? new BitmapPair() : null;
        long warmUp = FFmpegDecoder.create(codec);
        feed(warmUp, units, Math.min(WARM_UP_UNITS, units.length), recycle, pair);
        FFmpegDecoder.destroy(warmUp);
        long decoder = FFmpegDecoder.create(codec);
        start.await();
        Pass pass = feed(decoder, units, units.length, recycle, pair);
        FFmpegDecoder.destroy(decoder);
        return pass;
    }

    /** One decoder per Java thread, each on its own copy of the stream; prints aggregate figures. */
    static void runDecoders(String run, String kind, String label, int codec, byte[][] units,
                            int decoders, String policy) throws Exception {
        long[] cpuAtStart = new long[1];
        CyclicBarrier start = new CyclicBarrier(decoders, () -> cpuAtStart[0] = Memory.processCpuNanos());
        Pass[] passes = new Pass[decoders];
        Throwable[] failures = new Throwable[decoders];
        Thread[] threads = new Thread[decoders];
        for (int t = 0; t < decoders; t++) {
            final int index = t;
            final byte[][] own = deepCopy(units);
            threads[t] = new Thread(() -> {
                try {
                    passes[index] = warmThenDecode(codec, own, policy, start);
                } catch (Throwable e) {
                    failures[index] = e;
                }
            }, "decoder-" + t);
            threads[t].start();
        }
        for (Thread thread : threads) thread.join();
        double cpuSeconds = (Memory.processCpuNanos() - cpuAtStart[0]) / 1e9;
        for (Throwable failure : failures) {
            if (failure != null) throw new RuntimeException(failure);
        }
        long first = Long.MAX_VALUE, last = Long.MIN_VALUE;
        int pictures = 0;
        int made = 0;
        List<long[]> calls = new ArrayList<>();
        for (Pass pass : passes) {
            first = Math.min(first, pass.startNanos);
            last = Math.max(last, pass.endNanos);
            pictures += pass.pictures;
            made += pass.made;
            calls.add(pass.callNanos);
        }
        long[] sorted = concatSorted(calls);
        double seconds = (last - first) / 1e9;
        System.out.println(csv(run, kind, label, decoders, sorted.length, pictures, seconds, cpuSeconds,
                percentileMillis(sorted, 0.5), percentileMillis(sorted, 0.99),
                Memory.peakResidentKib(), "", "") + "," + made);
    }

    /**
     * One decoder fed `calls` chunks after a warm-up that runs the same loop, sampling the
     * resident size every few hundred calls; growth is the last sample after warm-up minus the
     * first, and the least-squares slope per call. The warm-up lasts past the JIT's last tier
     * (C2, after 5,000 calls of a method), whose code and arenas add one-off steps; a leak is
     * growth that goes on.
     */
    static void runLeak(String run, String label, int codec, byte[][] units, int calls) {
        long decoder = FFmpegDecoder.create(codec);
        int warmUpRounds = LEAK_WARM_UP_CALLS / LEAK_SAMPLE_EVERY;
        int rounds = calls / LEAK_SAMPLE_EVERY;
        double[] rssKib = new double[warmUpRounds + rounds + 1];
        long[] callNanos = new long[rounds * LEAK_SAMPLE_EVERY];
        int pictures = 0;
        long start = 0, cpuAtStart = 0;
        for (int round = 0; round <= warmUpRounds + rounds; round++) {
            rssKib[round] = Memory.residentKib();
            if (round == warmUpRounds) {
                start = System.nanoTime();
                cpuAtStart = Memory.processCpuNanos();
            }
            if (round == warmUpRounds + rounds) break;
            Pass pass = feed(decoder, units, LEAK_SAMPLE_EVERY, true, null);
            if (round >= warmUpRounds) {
                pictures += pass.pictures;
                System.arraycopy(pass.callNanos, 0, callNanos, (round - warmUpRounds) * LEAK_SAMPLE_EVERY,
                        LEAK_SAMPLE_EVERY);
            }
        }
        double seconds = (System.nanoTime() - start) / 1e9;
        double cpuSeconds = (Memory.processCpuNanos() - cpuAtStart) / 1e9;
        FFmpegDecoder.destroy(decoder);
        System.err.println("resident KiB every " + LEAK_SAMPLE_EVERY + " calls, the first " + warmUpRounds
                + " samples in warm-up: " + Arrays.toString(rssKib));
        double[] measured = Arrays.copyOfRange(rssKib, warmUpRounds, rssKib.length);
        double growthKib = measured[measured.length - 1] - measured[0];
        double bytesPerCall = slope(measured) * 1024.0 / LEAK_SAMPLE_EVERY;
        Arrays.sort(callNanos);
        System.out.println(csv(run, "leak", label, 1, callNanos.length, pictures, seconds, cpuSeconds,
                percentileMillis(callNanos, 0.5), percentileMillis(callNanos, 0.99),
                Memory.peakResidentKib(), String.format(Locale.ROOT, "%.0f", growthKib),
                String.format(Locale.ROOT, "%.1f", bytesPerCall)));
    }

    /** Least-squares slope of the samples against their index. */
    static double slope(double[] values) {
        int n = values.length;
        if (n < 2) return 0;
        double meanX = (n - 1) / 2.0, meanY = 0;
        for (double v : values) meanY += v / n;
        double num = 0, den = 0;
        for (int i = 0; i < n; i++) {
            num += (i - meanX) * (values[i] - meanY);
            den += (i - meanX) * (i - meanX);
        }
        return num / den;
    }

    /** Each thread's own arrays, as each camera connection receives its own chunks. */
    static byte[][] deepCopy(byte[][] units) {
        byte[][] copy = new byte[units.length][];
        for (int i = 0; i < units.length; i++) copy[i] = units[i].clone();
        return copy;
    }

    /** All threads' call times, sorted. */
    static long[] concatSorted(List<long[]> parts) {
        int total = 0;
        for (long[] part : parts) total += part.length;
        long[] all = new long[total];
        int at = 0;
        for (long[] part : parts) {
            System.arraycopy(part, 0, all, at, part.length);
            at += part.length;
        }
        Arrays.sort(all);
        return all;
    }

    /** The nearest-rank percentile of sorted nanoseconds, in milliseconds. */
    static double percentileMillis(long[] sorted, double share) {
        if (sorted.length == 0) return 0;
        int rank = (int) Math.ceil(share * sorted.length);
        rank = Math.max(1, Math.min(sorted.length, rank));
        return sorted[rank - 1] / 1e6;
    }

    /** One line of bench.csv; see BenchReport for the columns. */
    static String csv(String run, String kind, String label, int decoders, int calls, int pictures,
                      double seconds, double cpuSeconds, double medianMs, double p99Ms, long peakKib,
                      String growthKib, String growthPerCall) {
        return String.format(Locale.ROOT, "%s,%s,%s,%d,%d,%d,%.6f,%.6f,%.2f,%.4f,%.4f,%d,%s,%s", run, kind,
                label, decoders, calls, pictures, seconds, cpuSeconds, pictures / seconds, medianMs, p99Ms,
                peakKib, growthKib, growthPerCall);
    }
}
