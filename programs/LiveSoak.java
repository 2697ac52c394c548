package com.quarn.iot.programs;

import android.graphics.Bitmap;
import android.os.Debug;
import com.quarn.iot.corvasdk.core.decode.FFmpegDecoder;
import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Font;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.image.BufferedImage;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import java.util.stream.Stream;
import javax.imageio.ImageIO;

/**
 * The soak of the live path: 8 decoders on 8 Java threads, each a viewer of a
 * camera that keeps streaming. A viewer joins the stream at a random byte,
 * receives it in chunks of random network sizes (1 B to 64 KB), loses or gets
 * damaged about 1 % of them, and reconnects (a new decoder, joining elsewhere)
 * every 20 to 120 s; the streams change resolution as they go, and every call
 * turns detail logging on or off at random. Bitmaps are recycled, as a viewer
 * that frees the previous frame does.
 *
 * <p>Every 10 s it samples the resident size, the open descriptors, the JVM's
 * threads and the native heap into soak.csv. It fails (exit
 * 1) when a thread dies or, between the baseline after warm-up and the end of
 * the run, any figure grows past its bound (see {@link Bounds}). Bitmaps of a
 * size no stream has (a damaged parameter set can announce one) are counted.
 *
 * <pre>
 *   LiveSoak &lt;outDir&gt; &lt;seconds&gt; &lt;h264 stream&gt; &lt;h265 stream&gt; &lt;width&gt;x&lt;height&gt;...
 *   LiveSoak plot &lt;soak.csv&gt; &lt;soak.png&gt;
 * </pre>
 *
 * The streams are raw elementary streams; the sizes are those their pictures take.
 * The plot is drawn by a second run, apart from the soak: the JDK's font code
 * draws warnings of its own under -Xcheck:jni, and its memory would blur the figures.
 */
public final class LiveSoak {
    static final int DECODERS = 8;
    static final int SAMPLE_SECONDS = Integer.getInteger("qn.soak.sampleSeconds", 10);
    static final int MAX_CHUNK_BYTES = 64 * 1024;
    /** One chunk in this many is lost or damaged (half each). */
    static final int TROUBLE_EVERY = 100;
    static final int MIN_SESSION_SECONDS = 20;
    static final int MAX_SESSION_SECONDS = 120;

    /** How far each figure may grow from the baseline after warm-up to the end of the run. */
    static final class Bounds {
        static final long RESIDENT_KIB = 48 * 1024;
        static final long NATIVE_HEAP_KIB = 32 * 1024;
        static final long DESCRIPTORS = 2;
        static final long THREADS = 2;
        /** Warm-up: the first fifth of the run, at least a minute. */
        static double warmUpSeconds(double runSeconds) { return Math.max(60, runSeconds / 5); }
    }

    /** One sample of the process. */
    record Sample(double seconds, long residentKib, long descriptors, long threads, long nativeHeapKib,
                  long calls, long pictures) {
        String csv() {
            return String.format(Locale.ROOT, "%.1f,%d,%d,%d,%d,%d,%d", seconds, residentKib, descriptors,
                    threads, nativeHeapKib, calls, pictures);
        }
    }

    private static final AtomicLong calls = new AtomicLong();
    private static final AtomicLong pictures = new AtomicLong();
    private static final AtomicLong lines = new AtomicLong();
    private static final AtomicReference<String> failure = new AtomicReference<>();
    private static final AtomicLong otherSizes = new AtomicLong();
    private static final Set<String> seenSizes = ConcurrentHashMap.newKeySet();

    private LiveSoak() {}

    public static void main(String[] args) throws Exception {
        System.setProperty("java.awt.headless", "true");
        if (args.length == 3 && args[0].equals("plot")) {
            ImageIO.write(plot(readCsv(Path.of(args[1]))), "png", Path.of(args[2]).toFile());
            return;
        }
        if (args.length < 5) {
            System.err.println("usage: LiveSoak <outDir> <seconds> <h264 stream> <h265 stream> <WxH>...\n"
                    + "       LiveSoak plot <soak.csv> <soak.png>");
            System.exit(2);
        }
        Path out = Path.of(args[0]);
        Files.createDirectories(out);
        double seconds = Double.parseDouble(args[1]);
        byte[][] streams = {Files.readAllBytes(Path.of(args[2])), Files.readAllBytes(Path.of(args[3]))};
        Set<String> sizes = Set.copyOf(Arrays.asList(args).subList(4, args.length));
        FFmpegDecoder.setLogSink((detail, text) -> lines.incrementAndGet());

        long end = System.nanoTime() + (long) (seconds * 1e9);
        List<Thread> viewers = new ArrayList<>();
        for (int i = 0; i < DECODERS; i++) {
            int type = i % 2 == 0 ? 1 : 2;
            byte[] stream = streams[i % 2];
            long seed = 20261208L + i;
            Thread viewer = new Thread(() -> view(type, stream, sizes, seed, end), "viewer-" + i);
            viewer.start();
            viewers.add(viewer);
        }
        List<Sample> samples = sampleUntil(end, out);
        for (Thread viewer : viewers) viewer.join();
        samples.add(sample(samples.isEmpty() ? 0 : seconds));
        write(out, samples);

        String verdict = verdict(samples, seconds);
        System.out.printf(Locale.ROOT, "soak: %.0f s, %d calls, %d pictures (%d of other sizes), %d log lines,"
                + " sizes seen %s%n", seconds, calls.get(), pictures.get(), otherSizes.get(), lines.get(),
                new java.util.TreeSet<>(seenSizes));
        System.out.println(verdict);
        System.exit(failure.get() == null && verdict.startsWith("soak: within bounds") ? 0 : 1);
    }

    /** One viewer: sessions of a decoder each, until the end; records the first failure. */
    static void view(int type, byte[] stream, Set<String> sizes, long seed, long end) {
        Random random = new Random(seed);
        try {
            while (System.nanoTime() < end && failure.get() == null) {
                long sessionEnd = Math.min(end, System.nanoTime()
                        + (MIN_SESSION_SECONDS + random.nextInt(MAX_SESSION_SECONDS - MIN_SESSION_SECONDS)) * 1_000_000_000L);
                session(type, stream, sizes, random, sessionEnd);
            }
        } catch (Throwable e) {
            failure.compareAndSet(null, Thread.currentThread().getName() + ": " + e);
        }
    }

    /** One connection: joins at a random byte and feeds chunks until its end. */
    static void session(int type, byte[] stream, Set<String> sizes, Random random, long sessionEnd) {
        long decoder = FFmpegDecoder.create(type);
        try {
            int offset = random.nextInt(stream.length);
            int sequence = 0;
            while (System.nanoTime() < sessionEnd) {
                int length = chunkLength(random);
                byte[] chunk = new byte[length];
                for (int filled = 0; filled < length; ) {
                    int n = Math.min(length - filled, stream.length - offset);
                    System.arraycopy(stream, offset, chunk, filled, n);
                    filled += n;
                    offset = (offset + n) % stream.length;
                }
                int trouble = random.nextInt(TROUBLE_EVERY * 2);
                if (trouble == 0) continue;  // lost on the way
                if (trouble == 1) damage(chunk, random);
                Bitmap bitmap = FFmpegDecoder.decode(decoder, chunk, sequence++, random.nextBoolean());
                calls.incrementAndGet();
                if (bitmap != null) {
                    pictures.incrementAndGet();
                    String size = bitmap.getWidth() + "x" + bitmap.getHeight();
                    if (sizes.contains(size)) {
                        seenSizes.add(size);
                    } else {
                        otherSizes.incrementAndGet();
                    }
                    bitmap.recycle();
                }
            }
        } finally {
            FFmpegDecoder.destroy(decoder);
        }
    }

    /** Network chunk sizes from 1 B to 64 KB, evenly spread over their logarithm. */
    static int chunkLength(Random random) {
        return (int) Math.max(1, Math.min(MAX_CHUNK_BYTES, Math.round(Math.exp(random.nextDouble() * Math.log(MAX_CHUNK_BYTES)))));
    }

    /** Flips 1 to 8 random bytes of the chunk. */
    static void damage(byte[] chunk, Random random) {
        int flips = 1 + random.nextInt(8);
        for (int i = 0; i < flips; i++) chunk[random.nextInt(chunk.length)] ^= (byte) (1 + random.nextInt(255));
    }

    /** Samples every SAMPLE_SECONDS until the end, rewriting the CSV each time. */
    static List<Sample> sampleUntil(long end, Path out) throws IOException, InterruptedException {
        List<Sample> samples = new ArrayList<>();
        long start = System.nanoTime();
        while (System.nanoTime() < end && failure.get() == null) {
            samples.add(sample((System.nanoTime() - start) / 1e9));
            write(out, samples);
            long next = start + samples.size() * SAMPLE_SECONDS * 1_000_000_000L;
            long sleep = Math.min(next, end) - System.nanoTime();
            if (sleep > 0) Thread.sleep(sleep / 1_000_000, (int) (sleep % 1_000_000));
        }
        return samples;
    }

    static Sample sample(double seconds) throws IOException {
        long descriptors;
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            descriptors = fds.count() - 1;  // less the one this listing holds
        }
        return new Sample(seconds, residentKib(), descriptors, ManagementFactory.getThreadMXBean().getThreadCount(),
                Debug.getNativeHeapAllocatedSize() / 1024, calls.get(), pictures.get());
    }

    static long residentKib() throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) return Long.parseLong(line.substring(6).trim().split("\\s+")[0]);
        }
        return 0;
    }

    /** The verdict line: growth of each figure from the baseline after warm-up to the end. */
    static String verdict(List<Sample> samples, double runSeconds) {
        if (failure.get() != null) return "soak: FAILED: " + failure.get();
        double warmUp = Bounds.warmUpSeconds(runSeconds);
        List<Sample> after = samples.stream().filter(s -> s.seconds >= warmUp).toList();
        if (after.size() < 6) {
            // A short run: the last two thirds of it stand for the run after warm-up.
            after = samples.subList(samples.size() / 3, samples.size());
        }
        if (after.size() < 2) return "soak: FAILED: too few samples (" + samples.size() + ") to judge growth";
        List<String> over = new ArrayList<>();
        StringBuilder figures = new StringBuilder();
        check(after, "resident size", Sample::residentKib, Bounds.RESIDENT_KIB, " KiB", over, figures);
        check(after, "native heap", Sample::nativeHeapKib, Bounds.NATIVE_HEAP_KIB, " KiB", over, figures);
        check(after, "descriptors", Sample::descriptors, Bounds.DESCRIPTORS, "", over, figures);
        check(after, "JVM threads", Sample::threads, Bounds.THREADS, "", over, figures);
        String head = over.isEmpty() ? "soak: within bounds" : "soak: FAILED: growth past bounds in " + over;
        return head + String.format(Locale.ROOT, " (from %.0f s to %.0f s:%s)", after.get(0).seconds,
                after.get(after.size() - 1).seconds, figures);
    }

    /** Growth: median of the last 3 samples minus median of the first 3, against the bound. */
    static void check(List<Sample> after, String name, java.util.function.ToLongFunction<Sample> figure, long bound,
                      String unit, List<String> over, StringBuilder figures) {
        int n = Math.min(3, after.size() / 2);
        long first = median(after.subList(0, n).stream().mapToLong(figure).toArray());
        long last = median(after.subList(after.size() - n, after.size()).stream().mapToLong(figure).toArray());
        long growth = last - first;
        if (growth > bound) over.add(name);
        figures.append(String.format(Locale.ROOT, " %s %d → %d%s (%+d, bound +%d)", name, first, last, unit,
                growth, bound));
    }

    static long median(long[] values) {
        long[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    static void write(Path out, List<Sample> samples) throws IOException {
        StringBuilder csv = new StringBuilder("seconds,resident_kib,descriptors,jvm_threads,native_heap_kib,calls,pictures\n");
        for (Sample s : samples) csv.append(s.csv()).append('\n');
        Files.writeString(out.resolve("soak.csv"), csv, StandardCharsets.UTF_8);
    }

    static List<Sample> readCsv(Path csv) throws IOException {
        List<Sample> samples = new ArrayList<>();
        for (String line : Files.readAllLines(csv, StandardCharsets.UTF_8)) {
            if (line.isBlank() || line.startsWith("seconds")) continue;
            String[] f = line.split(",");
            samples.add(new Sample(Double.parseDouble(f[0]), Long.parseLong(f[1]), Long.parseLong(f[2]),
                    Long.parseLong(f[3]), Long.parseLong(f[4]), Long.parseLong(f[5]), Long.parseLong(f[6])));
        }
        return samples;
    }

    // ---- The plot: one panel per figure against minutes ----

    private static final String[] PANEL_TITLES = {
        "resident size (MiB)", "native heap (MiB)", "open descriptors", "JVM threads"
    };

    static double panelValue(Sample s, int panel) {
        switch (panel) {
            case 0: return s.residentKib / 1024.0;
            case 1: return s.nativeHeapKib / 1024.0;
            case 2: return s.descriptors;
            default: return s.threads;
        }
    }

    static BufferedImage plot(List<Sample> samples) {
        final int width = 1200, height = 800, panelW = 520, panelH = 330;
        BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = image.createGraphics();
        g.setRenderingHint(RenderingHints.KEY_ANTIALIASING, RenderingHints.VALUE_ANTIALIAS_ON);
        g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
        g.setColor(Color.WHITE);
        g.fillRect(0, 0, width, height);
        g.setColor(Color.BLACK);
        g.setFont(new Font(Font.SANS_SERIF, Font.BOLD, 16));
        Sample lastSample = samples.isEmpty() ? null : samples.get(samples.size() - 1);
        g.drawString(String.format(Locale.ROOT, "Live-path soak: %d decoders, %.1f min, %,d calls, %,d pictures",
                DECODERS, lastSample == null ? 0 : lastSample.seconds / 60, lastSample == null ? 0 : lastSample.calls,
                lastSample == null ? 0 : lastSample.pictures), 40, 28);
        for (int panel = 0; panel < 4; panel++) {
            int x0 = 70 + (panel % 2) * 600, y0 = 60 + (panel / 2) * 370;
            drawPanel(g, samples, panel, x0, y0, panelW, panelH);
        }
        g.dispose();
        return image;
    }

    static void drawPanel(Graphics2D g, List<Sample> samples, int panel, int x0, int y0, int w, int h) {
        g.setFont(new Font(Font.SANS_SERIF, Font.PLAIN, 12));
        g.setColor(Color.BLACK);
        g.drawString(PANEL_TITLES[panel], x0, y0 - 6);
        double maxT = Math.max(1, samples.stream().mapToDouble(Sample::seconds).max().orElse(1)) / 60;
        double maxV = samples.stream().mapToDouble(s -> panelValue(s, panel)).max().orElse(1);
        double top = maxV <= 0 ? 1 : maxV * 1.15;
        g.setColor(new Color(0xe2e8f0));
        for (int i = 0; i <= 4; i++) {
            int y = y0 + h - i * h / 4;
            g.drawLine(x0, y, x0 + w, y);
            g.setColor(Color.DARK_GRAY);
            g.drawString(String.format(Locale.ROOT, "%.0f", top * i / 4), x0 - 50, y + 4);
            g.setColor(new Color(0xe2e8f0));
        }
        g.setColor(Color.DARK_GRAY);
        g.drawString("0", x0, y0 + h + 16);
        g.drawString(String.format(Locale.ROOT, "%.1f min", maxT), x0 + w - 50, y0 + h + 16);
        g.drawLine(x0, y0 + h, x0 + w, y0 + h);
        g.setColor(new Color(0x2b6cb0));
        g.setStroke(new BasicStroke(2f));
        int px = -1, py = -1;
        for (Sample s : samples) {
            int x = x0 + (int) Math.round(s.seconds / 60 / maxT * w);
            int y = y0 + h - (int) Math.round(panelValue(s, panel) / top * h);
            if (px >= 0) g.drawLine(px, py, x, y);
            g.fillOval(x - 2, y - 2, 4, 4);
            px = x;
            py = y;
        }
        g.setStroke(new BasicStroke(1f));
    }
}
