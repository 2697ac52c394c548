package com.quarn.iot.programs;

import android.graphics.Bitmap;
import com.quarn.iot.corvasdk.core.decode.FFmpegDecoder;
import java.awt.Color;
import java.awt.Graphics2D;
import java.awt.image.BufferedImage;
import java.io.IOException;
import java.io.PrintStream;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.atomic.AtomicReference;
import javax.imageio.ImageIO;

/**
 * The camera-grid demo (make demo GRID=9): N streams, each decoded on its own thread at its
 * 25 pictures/s pace into 480x270 tiles, as a phone's camera wall does. The demo stream and
 * variants of it (made by the ffmpeg tool at first run) play side by side; at the end one
 * grid.png shows each tile's last picture with its number, and a line per tile says how many
 * pictures it showed and how many calls came late.
 */
final class GridDemo {
    static final int TILE_WIDTH = 480;
    static final int TILE_HEIGHT = 270;
    static final int PICTURES_PER_SECOND = 25;
    static final long FRAME_NANOS = 1_000_000_000L / PICTURES_PER_SECOND;
    static final int MAX_TILES = 16;
    static final String GRID_PNG = "grid.png";
    private static final int GAP = 6;

    /** A variant of the demo stream: its file name, the ffmpeg source and the encoder. */
    record Variant(String name, String source, boolean h265) {}

    /** Variants made at first run; tile 0 plays the demo stream itself. */
    static final Variant[] VARIANTS = {
        new Variant("testsrc2-hue", "testsrc2=size=1280x720:rate=25,hue=h=120", true),
        new Variant("mandelbrot", "mandelbrot=size=1280x720:rate=25", false),
        new Variant("testsrc", "testsrc=size=1280x720:rate=25", false),
        new Variant("smptehdbars", "smptehdbars=size=1280x720:rate=25,hue=H=2*PI*t/10", false),
        new Variant("gradients", "gradients=size=1280x720:rate=25:speed=0.03", true),
        new Variant("testsrc2-negate", "testsrc2=size=1280x720:rate=25,negate", false),
        new Variant("testsrc2-mirror", "testsrc2=size=1280x720:rate=25,hflip,hue=h=240", false),
        new Variant("testsrc2-grey", "testsrc2=size=1280x720:rate=25,hue=s=0", true),
    };

    private GridDemo() {}

    /** What one tile did. */
    static final class Tile {
        final int number;
        final Path stream;
        final boolean h265;
        int calls;
        int shown;
        int late;
        int lastPicture = -1;
        long cpuNanos;
        BufferedImage last;
        final AtomicReference<Throwable> failure = new AtomicReference<>();

        Tile(int number, Path stream, boolean h265) {
            this.number = number;
            this.stream = stream;
            this.h265 = h265;
        }
    }

    /** Runs the grid of `count` tiles; returns the exit code (0 success, 1 failure). */
    static int run(Path outDir, int count, PrintStream out, PrintStream err)
            throws IOException, LiveDecodeDemo.DemoFailure {
        Files.deleteIfExists(outDir.resolve(GRID_PNG));
        List<Tile> tiles = new ArrayList<>();
        for (int i = 0; i < count; i++) {
            if (i == 0) {
                tiles.add(new Tile(0, LiveDecodeDemo.defaultStream(outDir, out), false));
            } else {
                Variant v = VARIANTS[(i - 1) % VARIANTS.length];
                tiles.add(new Tile(i, variantStream(outDir, v, out), v.h265()));
            }
        }
        out.printf(Locale.ROOT, "Grid of %d tiles at %dx%d, %d pictures/s each, one thread per tile...%n",
                count, TILE_WIDTH, TILE_HEIGHT, PICTURES_PER_SECOND);
        FFmpegDecoder.setLogSink((detail, text) -> { });
        List<Thread> threads = new ArrayList<>();
        long start = System.nanoTime() + 200_000_000L;  // every tile starts on the same beat
        for (Tile tile : tiles) {
            Thread thread = new Thread(() -> {
                try {
                    play(tile, start);
                } catch (Throwable t) {
                    tile.failure.set(t);
                }
            }, "tile-" + tile.number);
            threads.add(thread);
            thread.start();
        }
        for (Thread thread : threads) {
            try {
                thread.join();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                err.println("demo: interrupted");
                return 1;
            }
        }
        FFmpegDecoder.setLogSink(null);
        boolean failed = false;
        long cpu = 0;
        int pictures = 0;
        for (Tile tile : tiles) {
            Throwable failure = tile.failure.get();
            if (failure != null) {
                err.println("demo: tile " + tile.number + " failed: " + failure);
                failed = true;
                continue;
            }
            cpu += tile.cpuNanos;
            pictures += tile.shown;
            out.printf(Locale.ROOT, "  tile %2d  %-46s %s  %3d pictures shown, %d late calls of %d%n",
                    tile.number, tile.stream.getFileName(), tile.h265 ? "H.265" : "H.264", tile.shown,
                    tile.late, tile.calls);
        }
        if (pictures > 0) {
            out.printf(Locale.ROOT, "  CPU:     %.2f ms per picture, %.2f cores for the grid at %d pictures/s%n",
                    cpu / 1e6 / pictures, cpu / 1e9 / (tiles.get(0).calls / (double) PICTURES_PER_SECOND),
                    PICTURES_PER_SECOND);
        }
        writeGrid(outDir.resolve(GRID_PNG), tiles);
        out.println("  PNG file: " + outDir.resolve(GRID_PNG));
        return failed ? 1 : 0;
    }

    /** Decodes one tile's stream at its pace, one access unit per call, into two alternating tiles. */
    private static void play(Tile tile, long start) throws IOException, InterruptedException {
        ThreadMXBean cpuClock = ManagementFactory.getThreadMXBean();
        byte[] bytes = Files.readAllBytes(tile.stream);
        int[] ends = LiveDecodeDemo.AccessUnits.of(bytes, tile.h265).ends();
        long handle = FFmpegDecoder.create(tile.h265 ? LiveDecodeDemo.TYPE_H265 : LiveDecodeDemo.TYPE_H264);
        FFmpegDecoder.setWholeAccessUnits(handle, true);
        FFmpegDecoder.setOutputSize(handle, TILE_WIDTH, TILE_HEIGHT);
        FFmpegDecoder.setThreads(handle, 1);
        Bitmap shown = null;
        Bitmap spare = null;
        long cpuBefore = cpuClock.getCurrentThreadCpuTime();
        try {
            for (int call = 0, from = 0; call < ends.length; from = ends[call++]) {
                long due = start + call * FRAME_NANOS;
                long wait = due - System.nanoTime();
                if (wait > 0) Thread.sleep(wait / 1_000_000, (int) (wait % 1_000_000));
                byte[] unit = java.util.Arrays.copyOfRange(bytes, from, ends[call]);
                Bitmap picture = FFmpegDecoder.decodeInto(handle, unit, call, false, spare);
                tile.calls++;
                // Late: the call ended after its picture's slot was over.
                if (System.nanoTime() > due + FRAME_NANOS) tile.late++;
                if (picture == null) continue;
                tile.shown++;
                tile.lastPicture = call;
                spare = shown;
                shown = picture;
            }
            tile.cpuNanos = cpuClock.getCurrentThreadCpuTime() - cpuBefore;
            if (shown != null) tile.last = LiveDecodeDemo.toImage(shown);
        } finally {
            FFmpegDecoder.destroy(handle);
            if (shown != null) shown.recycle();
            if (spare != null) spare.recycle();
        }
    }

    /** The variant's cached stream in outDir, made by the ffmpeg tool if missing. */
    private static Path variantStream(Path outDir, Variant v, PrintStream out)
            throws IOException, LiveDecodeDemo.DemoFailure {
        String name = "grid-" + v.name() + "-1280x720-25fps-10s." + (v.h265() ? "h265" : "h264");
        Path stream = outDir.resolve(name);
        if (Files.isRegularFile(stream) && Files.size(stream) > 0) return stream;
        out.println("Making the grid stream " + stream + " with ffmpeg (first run only)...");
        Path partial = outDir.resolve(name + ".part");
        List<String> command = new ArrayList<>(List.of("ffmpeg", "-hide_banner", "-loglevel", "error",
                "-nostdin", "-y", "-f", "lavfi", "-i", v.source(), "-t", "10", "-pix_fmt", "yuv420p",
                "-g", "50", "-bf", "0", "-preset", "veryfast"));
        if (v.h265()) {
            command.addAll(List.of("-c:v", "libx265", "-x265-params", "log-level=error", "-f", "hevc"));
        } else {
            command.addAll(List.of("-c:v", "libx264", "-f", "h264"));
        }
        command.add(partial.toString());
        int status;
        try {
            status = new ProcessBuilder(command).inheritIO().start().waitFor();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new LiveDecodeDemo.DemoFailure("interrupted while making " + name);
        }
        if (status != 0 || !Files.isRegularFile(partial) || Files.size(partial) == 0) {
            Files.deleteIfExists(partial);
            throw new LiveDecodeDemo.DemoFailure("ffmpeg failed (exit status " + status + ") making " + stream);
        }
        Files.move(partial, stream, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
        return stream;
    }

    /** Writes the tiles' last pictures as one grid, each labelled with its tile and picture number. */
    private static void writeGrid(Path file, List<Tile> tiles) throws IOException {
        int columns = (int) Math.ceil(Math.sqrt(tiles.size()));
        int rows = (tiles.size() + columns - 1) / columns;
        int width = columns * TILE_WIDTH + (columns + 1) * GAP;
        int height = rows * TILE_HEIGHT + (rows + 1) * GAP;
        BufferedImage grid = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = LiveDecodeDemo.darkCanvas(grid, 16);
        for (Tile tile : tiles) {
            int x = GAP + (tile.number % columns) * (TILE_WIDTH + GAP);
            int y = GAP + (tile.number / columns) * (TILE_HEIGHT + GAP);
            if (tile.last != null) g.drawImage(tile.last, x, y, null);
            String label = String.format(Locale.ROOT, "tile %d  #%d  (%d shown, %d late)", tile.number,
                    tile.lastPicture, tile.shown, tile.late);
            g.setColor(new Color(0, 0, 0, 0xb0));
            g.fillRect(x, y, g.getFontMetrics().stringWidth(label) + 10, 24);
            g.setColor(Color.WHITE);
            g.drawString(label, x + 5, y + 17);
        }
        g.dispose();
        if (!ImageIO.write(grid, "png", file.toFile())) throw new IOException("no PNG writer for " + file);
    }
}
