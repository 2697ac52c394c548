package com.quarn.iot.programs;

import android.graphics.Bitmap;
import com.quarn.iot.corvasdk.core.decode.FFmpegDecoder;
import java.awt.Color;
import java.awt.Font;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.image.BufferedImage;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Random;
import javax.imageio.ImageIO;

/**
 * The live-decode demo: feeds a camera-like H.264/H.265 elementary stream to
 * FFmpegDecoder in network-sized chunks, one decode call per chunk, as the app
 * does; writes a few pictures and a contact sheet as PNG and ends with a summary.
 * With --whole it feeds one whole access unit per call with the decoder's
 * whole-access-unit switch on, into two alternating bitmaps (decodeInto), as a
 * viewer whose camera SDK hands over one frame at a time does.
 *
 * <p>Usage: {@code LiveDecodeDemo [--whole] <outDir> [FILE]}. Without FILE a moving
 * test pattern (1280x720, 25 pictures per second, 10 s) is made with the ffmpeg
 * tool on the first run and cached in outDir.
 *
 * <p>Pictures are numbered in the decoder's output order: picture k is the k-th the
 * decoder gives out, which the demo knows from the packets each call sent (the
 * detail line "avcodec_send_packet success") less the stream's reordering delay.
 */
public final class LiveDecodeDemo {
    /** Codec types of FFmpegDecoder.create. */
    static final int TYPE_H264 = 1;
    static final int TYPE_H265 = 2;

    /** Chunk sizes: uniformly random in this range, from a fixed seed so runs repeat. */
    static final int MIN_CHUNK_BYTES = 1024;
    static final int MAX_CHUNK_BYTES = 64 * 1024;
    static final long CHUNK_SEED = 20261208L;

    static final String DEFAULT_STREAM_NAME = "testsrc2-1280x720-25fps-10s.h264";
    static final String FIRST_PNG = "first.png";
    static final String MIDDLE_PNG = "middle.png";
    static final String LAST_PNG = "last.png";
    static final String SHEET_PNG = "contact-sheet.png";

    /** Normal decoder lines printed before the rest are only counted. */
    static final int SHOWN_LOG_LINES = 5;
    /** The detail line the decoder writes for each packet it sends. */
    static final String SENT_PACKET_LINE = "avcodec_send_packet success";

    private static final long PROGRESS_INTERVAL_NANOS = 1_000_000_000L;

    private LiveDecodeDemo() {}

    public static void main(String[] args) {
        System.setProperty("java.awt.headless", "true");
        System.exit(run(args, System.out, System.err));
    }

    /** Runs the demo; returns the process exit code (0 success, 1 failure, 2 usage). */
    static int run(String[] args, PrintStream out, PrintStream err) {
        int tiles = args.length > 0 && args[0].equals("--grid") ? gridTiles(args) : 0;
        if (tiles < 0) {
            err.println("usage: LiveDecodeDemo --grid <1.." + GridDemo.MAX_TILES + "> <outDir>");
            return 2;
        }
        boolean whole = args.length > 0 && args[0].equals("--whole");
        if (whole) args = Arrays.copyOfRange(args, 1, args.length);
        if (tiles == 0 && (args.length < 1 || args.length > 2)) {
            err.println("usage: LiveDecodeDemo [--whole] <outDir> [stream.h264 | stream.h265 | stream.hevc]");
            return 2;
        }
        try {
            if (tiles > 0) return GridDemo.run(outputFolder(args[2]), tiles, out, err);
            Path outDir = outputFolder(args[0]);
            for (String png : List.of(FIRST_PNG, MIDDLE_PNG, LAST_PNG, SHEET_PNG)) {
                Files.deleteIfExists(outDir.resolve(png));  // a failed run leaves no old pictures
            }
            Path stream = args.length == 2 ? checkedInput(args[1]) : defaultStream(outDir, out);
            int type = codecTypeFor(stream.toString());
            Map<String, String> probed = probe(stream, type);
            Summary summary = decodeStream(stream, type, whole, reorderDelay(probed), outDir, out);
            summary.picture = describePictures(probed);
            summary.print(out);
            if (summary.returned == 0) {
                throw new DemoFailure("no picture was decoded from " + stream + (summary.units.startCode ? ""
                        : "; it holds no start code: is it a raw H.264/H.265 (Annex B) elementary stream?"));
            }
            return 0;
        } catch (DemoFailure e) {
            err.println("demo: " + e.getMessage());
            return 1;
        } catch (IOException e) {
            err.println("demo: " + e);
            return 1;
        }
    }

    /** The tile count of "--grid N outDir" (1 to MAX_TILES), or -1 for a bad command line. */
    private static int gridTiles(String[] args) {
        try {
            int count = args.length == 3 ? Integer.parseInt(args[1]) : -1;
            return count >= 1 && count <= GridDemo.MAX_TILES ? count : -1;
        } catch (NumberFormatException e) {
            return -1;
        }
    }

    /** H.265 for names ending in .h265 or .hevc (any case), otherwise H.264. */
    static int codecTypeFor(String fileName) {
        String name = fileName.toLowerCase(Locale.ROOT);
        return name.endsWith(".h265") || name.endsWith(".hevc") ? TYPE_H265 : TYPE_H264;
    }

    /** The value at percentile p (0..100) of sorted values, by nearest rank; 0 when empty. */
    static long percentile(long[] sorted, int p) {
        if (sorted.length == 0) return 0;
        int rank = (int) Math.ceil((double) p * sorted.length / 100.0);
        return sorted[Math.min(Math.max(rank, 1), sorted.length) - 1];
    }

    /** The output folder, created if missing. */
    private static Path outputFolder(String name) throws DemoFailure {
        Path folder = Paths.get(name);
        try {
            return Files.createDirectories(folder);
        } catch (IOException e) {
            throw new DemoFailure("cannot create the output folder " + name + " (" + e + ")");
        }
    }

    /** The user's stream, if it is a readable, non-empty regular file. */
    private static Path checkedInput(String name) throws DemoFailure, IOException {
        Path path = Paths.get(name);
        if (!Files.exists(path)) throw new DemoFailure("no such file: " + name);
        if (!Files.isRegularFile(path)) throw new DemoFailure("not a regular file: " + name);
        if (!Files.isReadable(path)) throw new DemoFailure("cannot read file: " + name);
        if (Files.size(path) == 0) throw new DemoFailure("empty file: " + name);
        return path;
    }

    /** The cached default stream in outDir, made by the ffmpeg tool if missing. */
    static Path defaultStream(Path outDir, PrintStream out) throws DemoFailure, IOException {
        Path stream = outDir.resolve(DEFAULT_STREAM_NAME);
        if (Files.isRegularFile(stream) && Files.size(stream) > 0) return stream;
        out.println("Making the default stream " + stream + " with ffmpeg (first run only)...");
        // Written under a temporary name so an interrupted run never leaves a truncated cache.
        Path partial = outDir.resolve(DEFAULT_STREAM_NAME + ".part");
        List<String> command = List.of("ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y",
                "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-t", "10",
                "-c:v", "libx264", "-g", "50", "-bf", "0", "-pix_fmt", "yuv420p",
                "-f", "h264", partial.toString());
        int status;
        try {
            Process ffmpeg = new ProcessBuilder(command).inheritIO().start();
            status = ffmpeg.waitFor();
        } catch (IOException e) {
            throw new DemoFailure("cannot run ffmpeg (" + e.getMessage()
                    + "); install it with scripts/install-deps.sh");
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new DemoFailure("interrupted while making the default stream");
        }
        if (status != 0 || !Files.isRegularFile(partial) || Files.size(partial) == 0) {
            Files.deleteIfExists(partial);
            throw new DemoFailure("ffmpeg failed (exit status " + status + ") making " + stream);
        }
        Files.move(partial, stream, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
        return stream;
    }

    /**
     * Feeds the stream through one decoder, chunk by chunk or (whole) one access unit
     * per call into two alternating bitmaps, and gathers what came back.
     */
    private static Summary decodeStream(Path stream, int type, boolean whole, int delay, Path outDir,
            PrintStream out) throws DemoFailure, IOException {
        byte[] bytes = Files.readAllBytes(stream);
        AccessUnits units = AccessUnits.of(bytes, type == TYPE_H265);
        int[] ends = whole ? units.ends() : randomChunkEnds(bytes.length);
        Summary summary = new Summary(stream, type, bytes.length, whole, units, ends);
        LogCounter log = new LogCounter(out);
        Progress progress = new Progress(out, bytes.length);
        log.progress = progress;
        try {
            FFmpegDecoder.setLogSink(log);
        } catch (LinkageError e) {
            throw new DemoFailure("cannot load the native library (" + e
                    + "); run the demo with: make demo");
        }
        PictureKeeper keeper = new PictureKeeper(outDir, bytes.length);
        long handle = FFmpegDecoder.create(type);
        if (handle == 0) throw new DemoFailure("FFmpegDecoder.create returned no decoder");
        FFmpegDecoder.setWholeAccessUnits(handle, whole);
        Bitmap shown = null;
        Bitmap spare = null;  // whole: the bitmap the next picture goes into
        try {
            for (int call = 0, from = 0; call < ends.length; from = ends[call++]) {
                byte[] chunk = Arrays.copyOfRange(bytes, from, ends[call]);
                int sentBefore = log.sentPackets;
                long start = System.nanoTime();
                Bitmap bitmap = whole ? FFmpegDecoder.decodeInto(handle, chunk, call, true, spare)
                        : FFmpegDecoder.decode(handle, chunk, call, true);
                long nanos = System.nanoTime() - start;
                int picture = summary.addCall(nanos, bitmap, bitmap != null && bitmap != spare,
                        log.sentPackets - sentBefore, log.sentPackets - delay - 1);
                if (bitmap != null) {
                    if (picture >= 0) keeper.take(bitmap, ends[call], picture);
                    if (whole) {
                        spare = shown;
                    } else if (shown != null) {
                        shown.recycle();
                    }
                    shown = bitmap;
                }
                progress.update(ends[call], summary, false);
            }
            progress.update(bytes.length, summary, true);
            keeper.finish(shown, summary.lastPicture);
        } finally {
            FFmpegDecoder.destroy(handle);
            FFmpegDecoder.setLogSink(null);
            if (shown != null) shown.recycle();
            if (spare != null) spare.recycle();
        }
        summary.outputs = Math.max(0, log.sentPackets - delay);
        summary.logLines = log.normal;
        summary.detailLines = log.detail;
        summary.written = keeper.written;
        summary.outDir = outDir;
        return summary;
    }

    /** Where each network-sized chunk ends: sizes uniformly random, from a fixed seed so runs repeat. */
    static int[] randomChunkEnds(int total) {
        Random sizes = new Random(CHUNK_SEED);
        int[] ends = new int[total / MIN_CHUNK_BYTES + 1];
        int count = 0;
        for (int end = 0; end < total; ) {
            end = (int) Math.min(total, (long) end + MIN_CHUNK_BYTES
                    + sizes.nextInt(MAX_CHUNK_BYTES - MIN_CHUNK_BYTES + 1));
            ends[count++] = end;
        }
        return Arrays.copyOf(ends, count);
    }

    /**
     * The stream's access units as the decoder's parser finds them: a unit begins at an
     * AUD, a parameter set, a prefix SEI or the first slice of a picture, once the unit
     * before holds a picture; bytes before the first start code go with the first unit.
     */
    static final class AccessUnits {
        /** Where each unit begins; the first at 0. */
        final int[] starts;
        final int total;
        /** Units that hold a picture. */
        final int pictures;
        final boolean startCode;

        private AccessUnits(int[] starts, int total, int pictures, boolean startCode) {
            this.starts = starts;
            this.total = total;
            this.pictures = pictures;
            this.startCode = startCode;
        }

        static AccessUnits of(byte[] s, boolean h265) {
            int[] starts = new int[16];
            int count = 1;
            int pictures = 0;
            boolean unitHasPicture = false;
            int header = nextNalHeader(s, 0);
            boolean startCode = header >= 0;
            for (; header >= 0 && header < s.length; header = nextNalHeader(s, header)) {
                int nalStart = header - 3 - (header > 3 && s[header - 4] == 0 ? 1 : 0);
                int type = h265 ? (s[header] >> 1) & 0x3f : s[header] & 0x1f;
                boolean picture = h265 ? type <= 31 : type >= 1 && type <= 5;
                // first_mb_in_slice == 0 is the bit 1; first_slice_segment_in_pic_flag is the bit itself.
                int sliceByte = header + (h265 ? 2 : 1);
                boolean firstSlice = picture && sliceByte < s.length && (s[sliceByte] & 0x80) != 0;
                boolean opens = firstSlice || (h265 ? (type >= 32 && type <= 35) || type == 39
                        || (type >= 41 && type <= 44) || (type >= 48 && type <= 55)
                        : type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18));
                if (opens && unitHasPicture) {
                    if (count == starts.length) starts = Arrays.copyOf(starts, count * 2);
                    starts[count++] = nalStart;
                    unitHasPicture = false;
                }
                if (picture && !unitHasPicture) pictures++;
                unitHasPicture |= picture;
            }
            return new AccessUnits(Arrays.copyOf(starts, count), s.length, pictures, startCode);
        }

        /** Where each unit ends (exclusive). */
        int[] ends() {
            int[] ends = new int[starts.length];
            for (int i = 0; i < starts.length; i++) ends[i] = i + 1 < starts.length ? starts[i + 1] : total;
            return ends;
        }

        /** Index of the first byte after the next 00 00 01 at or after from, or -1. */
        private static int nextNalHeader(byte[] s, int from) {
            for (int i = from; i + 3 <= s.length; i++) {
                if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i + 3;
            }
            return -1;
        }
    }

    /**
     * What ffprobe reads of the stream's first pictures: pixel format, matrix, range,
     * transfer and reordering delay; "error" names why nothing was read.
     */
    static Map<String, String> probe(Path stream, int type) {
        List<String> command = List.of("ffprobe", "-v", "error", "-f", type == TYPE_H265 ? "hevc" : "h264",
                "-select_streams", "v:0", "-show_entries",
                "stream=pix_fmt,color_space,color_range,color_transfer,has_b_frames",
                "-of", "default=noprint_wrappers=1", stream.toString());
        Map<String, String> fields = new HashMap<>();
        try {
            Process ffprobe = new ProcessBuilder(command).redirectErrorStream(true).start();
            String text = new String(ffprobe.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            if (ffprobe.waitFor() != 0) return Map.of("error", "ffprobe could not read the stream");
            for (String line : text.split("\n")) {
                int equals = line.indexOf('=');
                if (equals > 0) fields.put(line.substring(0, equals), line.substring(equals + 1).trim());
            }
        } catch (IOException e) {
            return Map.of("error", "cannot run ffprobe: " + e.getMessage());
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return Map.of("error", "interrupted");
        }
        return fields;
    }

    /** The pictures the decoder holds back to put them in display order (has_b_frames); 0 if unknown. */
    static int reorderDelay(Map<String, String> probed) {
        try {
            return Math.max(0, Integer.parseInt(probed.getOrDefault("has_b_frames", "0")));
        } catch (NumberFormatException e) {
            return 0;
        }
    }

    /** The probed pixel format, matrix, range and (if HDR) transfer, with how the bitmaps show them. */
    static String describePictures(Map<String, String> fields) {
        if (fields.containsKey("error")) return "unknown (" + fields.get("error") + ")";
        return pictureDescription(fields.getOrDefault("pix_fmt", "unknown"),
                fields.getOrDefault("color_space", "unknown"), fields.getOrDefault("color_range", "unknown"),
                fields.getOrDefault("color_transfer", "unknown"));
    }

    /** "yuv420p10le, matrix bt709, limited range" and what an unsaid matrix or range is taken as. */
    static String pictureDescription(String format, String matrix, String range, String transfer) {
        boolean full = range.equals("pc") || format.startsWith("yuvj");
        String text = format + ", matrix " + (matrix.equals("unknown") ? "unspecified (shown as BT.601)" : matrix)
                + ", " + (full ? "full range" : range.equals("tv") ? "limited range" : "range unspecified (limited)");
        if (transfer.equals("smpte2084") || transfer.equals("arib-std-b67")) {
            text += ", transfer " + transfer + " (converted without tone mapping)";
        }
        return text;
    }

    /** Thrown for a failure the user can act on; its message is printed as it is. */
    static final class DemoFailure extends Exception {
        private static final long serialVersionUID = 1L;

        DemoFailure(String message) { super(message); }
    }

    /** Counts the decoder's forwarded lines and sent packets, and prints the first few normal lines. */
    private static final class LogCounter implements FFmpegDecoder.LogSink {
        private final PrintStream out;
        Progress progress;
        int normal;
        int detail;
        int sentPackets;

        LogCounter(PrintStream out) { this.out = out; }

        @Override
        public void line(boolean isDetail, String text) {
            if (isDetail) {
                detail++;
                if (text.startsWith(SENT_PACKET_LINE)) sentPackets++;
                return;
            }
            normal++;
            if (normal > SHOWN_LOG_LINES + 1) return;
            progress.breakLine();
            out.println(normal <= SHOWN_LOG_LINES ? "D/FFmpegDecoder: " + text
                    : "(further decoder lines are counted, not shown)");
        }
    }

    /** One progress line a second; overwritten in place when stdout is a terminal. */
    private static final class Progress {
        private final PrintStream out;
        private final long total;
        private final boolean terminal = System.console() != null;
        private long lastPrint = System.nanoTime();
        private boolean lineOpen;

        Progress(PrintStream out, long total) {
            this.out = out;
            this.total = total;
        }

        /** Prints the state if a second has passed since the last line, or if last. */
        void update(long offset, Summary summary, boolean last) {
            long now = System.nanoTime();
            if (!last && now - lastPrint < PROGRESS_INTERVAL_NANOS) return;
            lastPrint = now;
            String text = String.format(Locale.ROOT, "decoding: %3d%% of %s, %d calls, %d pictures shown",
                    total == 0 ? 100 : offset * 100 / total, megabytes(total), summary.calls, summary.shown);
            if (terminal) {
                out.print("\r" + text);
                lineOpen = !last;
                if (last) out.println();
            } else {
                out.println(text);
            }
            out.flush();
        }

        /** Ends an open in-place line so that other output starts on a fresh one. */
        void breakLine() {
            if (lineOpen) out.println();
            lineOpen = false;
        }
    }

    /**
     * Picks the pictures to keep: the first shown, the first past half of the stream
     * and the last as PNG files, and evenly spaced ones (by stream position) for the
     * contact sheet, each labelled with its picture number. Holds no bitmap.
     */
    private static final class PictureKeeper {
        private static final int COLUMNS = 4;
        private static final int ROWS = 3;
        private static final int THUMB_WIDTH = 320;
        private static final int GAP = 8;

        private final Path outDir;
        private final long total;
        private final BufferedImage[] thumbs = new BufferedImage[COLUMNS * ROWS];
        private final int[] thumbPictures = new int[COLUMNS * ROWS];
        private int thumbWidth;
        private int thumbHeight;
        private boolean firstWritten;
        private boolean middleWritten;
        final StringBuilder written = new StringBuilder();

        PictureKeeper(Path outDir, long total) {
            this.outDir = outDir;
            this.total = total;
        }

        /** Takes a new picture, returned by the call whose chunk ended at offset. */
        void take(Bitmap bitmap, long offset, int picture) throws IOException {
            if (!firstWritten) {
                writePng(bitmap, FIRST_PNG, picture);
                chooseThumbSize(bitmap);
                firstWritten = true;
            }
            if (!middleWritten && offset * 2 >= total) {
                writePng(bitmap, MIDDLE_PNG, picture);
                middleWritten = true;
            }
            // Slot k shows the first picture at or past k/(slots-1) of the stream; the last slot is kept for the end.
            for (int k = 0; k < thumbs.length - 1; k++) {
                if (thumbs[k] == null && offset * (thumbs.length - 1) >= k * total) {
                    thumbs[k] = thumbnail(bitmap);
                    thumbPictures[k] = picture;
                }
            }
        }

        /** Writes the last picture shown and the contact sheet. */
        void finish(Bitmap last, int picture) throws IOException {
            if (last == null) return;
            writePng(last, LAST_PNG, picture);
            thumbs[thumbs.length - 1] = thumbnail(last);
            thumbPictures[thumbs.length - 1] = picture;
            writeSheet();
        }

        /** Thumbnails THUMB_WIDTH wide with the first picture's aspect (clamped to a square's height). */
        private void chooseThumbSize(Bitmap bitmap) {
            thumbWidth = THUMB_WIDTH;
            long height = (long) THUMB_WIDTH * bitmap.getHeight() / bitmap.getWidth();
            thumbHeight = (int) Math.max(1, Math.min(THUMB_WIDTH, height));
        }

        private void writePng(Bitmap bitmap, String name, int picture) throws IOException {
            try (OutputStream file = Files.newOutputStream(outDir.resolve(name))) {
                if (!bitmap.compress(Bitmap.CompressFormat.PNG, 100, file)) {
                    throw new IOException("PNG encoding failed for " + name);
                }
            }
            noteWritten(name + " (picture " + picture + ")");
        }

        private void writeSheet() throws IOException {
            int width = COLUMNS * thumbWidth + (COLUMNS + 1) * GAP;
            int height = ROWS * thumbHeight + (ROWS + 1) * GAP;
            BufferedImage sheet = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
            Graphics2D g = darkCanvas(sheet, 14);
            for (int k = 0; k < thumbs.length; k++) {
                BufferedImage thumb = thumbs[k];
                if (thumb == null) continue;  // the stream gave no picture past this point
                int x = GAP + (k % COLUMNS) * (thumbWidth + GAP) + (thumbWidth - thumb.getWidth()) / 2;
                int y = GAP + (k / COLUMNS) * (thumbHeight + GAP) + (thumbHeight - thumb.getHeight()) / 2;
                g.drawImage(thumb, x, y, null);
                String label = "#" + thumbPictures[k];
                g.setColor(Color.BLACK);
                g.fillRect(x, y, g.getFontMetrics().stringWidth(label) + 8, 20);
                g.setColor(Color.WHITE);
                g.drawString(label, x + 4, y + 15);
            }
            g.dispose();
            if (!ImageIO.write(sheet, "png", outDir.resolve(SHEET_PNG).toFile())) {
                throw new IOException("no PNG writer for " + SHEET_PNG);
            }
            noteWritten(SHEET_PNG);
        }

        private void noteWritten(String name) {
            if (written.indexOf(name) >= 0) return;
            if (written.length() > 0) written.append(", ");
            written.append(name);
        }

        /** The bitmap scaled to fit the thumbnail cell, aspect kept. */
        private BufferedImage thumbnail(Bitmap bitmap) {
            double scale = Math.min((double) thumbWidth / bitmap.getWidth(),
                    (double) thumbHeight / bitmap.getHeight());
            int width = (int) Math.max(1, Math.round(bitmap.getWidth() * scale));
            int height = (int) Math.max(1, Math.round(bitmap.getHeight() * scale));
            return scaleDown(toImage(bitmap), width, height);
        }
    }

    /** Paints the image dark grey and returns its graphics, with a bold font of the given size for labels. */
    static Graphics2D darkCanvas(BufferedImage image, int fontSize) {
        Graphics2D g = image.createGraphics();
        g.setColor(new Color(0x20, 0x20, 0x20));
        g.fillRect(0, 0, image.getWidth(), image.getHeight());
        g.setFont(new Font(Font.SANS_SERIF, Font.BOLD, fontSize));
        return g;
    }

    /** The bitmap's pixels as an RGB image. */
    static BufferedImage toImage(Bitmap bitmap) {
        int width = bitmap.getWidth();
        int height = bitmap.getHeight();
        int[] colours = new int[width * height];
        bitmap.getPixels(colours, 0, width, 0, 0, width, height);
        BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
        image.setRGB(0, 0, width, height, colours, 0, width);
        return image;
    }

    /** Scales down in halving bilinear steps, which keeps fine detail from aliasing. */
    static BufferedImage scaleDown(BufferedImage image, int width, int height) {
        BufferedImage current = image;
        while (current.getWidth() != width || current.getHeight() != height) {
            int stepWidth = Math.max(width, current.getWidth() / 2);
            int stepHeight = Math.max(height, current.getHeight() / 2);
            BufferedImage next = new BufferedImage(stepWidth, stepHeight, BufferedImage.TYPE_INT_RGB);
            Graphics2D g = next.createGraphics();
            g.setRenderingHint(RenderingHints.KEY_INTERPOLATION, RenderingHints.VALUE_INTERPOLATION_BILINEAR);
            g.drawImage(current, 0, 0, stepWidth, stepHeight, null);
            g.dispose();
            current = next;
        }
        return current;
    }

    /** A byte count in megabytes (kilobytes below one megabyte), for people. */
    static String megabytes(long bytes) {
        return bytes < 1_000_000 ? String.format(Locale.ROOT, "%.1f KB", bytes / 1e3)
                : String.format(Locale.ROOT, "%.2f MB", bytes / 1e6);
    }

    /** What the run measured, and its printout. */
    private static final class Summary {
        final Path stream;
        final int type;
        final long bytes;
        final boolean whole;
        final AccessUnits units;
        final int[] unitEnds;
        /** Where each call's chunk ends in the stream. */
        final int[] callEnds;
        int calls;
        int returned;
        int made;
        int repeats;
        int shown;
        int nulls;
        /** Pictures the decoder gave out; those no call returned were skipped. */
        int outputs;
        int lastPicture = -1;
        long[] callNanos = new long[1024];
        long[] delays = new long[1024];
        int delayCount;
        long decodeNanos;
        int logLines;
        int detailLines;
        CharSequence written = "";
        Path outDir;
        String picture = "";

        Summary(Path stream, int type, long bytes, boolean whole, AccessUnits units, int[] callEnds) {
            this.stream = stream;
            this.type = type;
            this.bytes = bytes;
            this.whole = whole;
            this.units = units;
            this.unitEnds = units.ends();
            this.callEnds = callEnds;
        }

        /**
         * Records one call: its duration, its bitmap (new if made), the packets it sent and
         * the number of the newest picture given out so far. Returns the number of a new
         * picture shown, or -1 (no bitmap, or the previous picture again).
         */
        int addCall(long nanos, Bitmap bitmap, boolean newBitmap, int sent, int newest) {
            if (calls == callNanos.length) callNanos = Arrays.copyOf(callNanos, calls * 2);
            callNanos[calls++] = nanos;
            decodeNanos += nanos;
            if (newBitmap) made++;
            if (bitmap == null) {
                nulls++;
                return -1;
            }
            returned++;
            // A chunk that completes no packet gives the previous picture again.
            if (sent == 0 && lastPicture >= 0) {
                repeats++;
                return -1;
            }
            lastPicture = Math.max(newest, lastPicture + 1);
            shown++;
            if (lastPicture < unitEnds.length) {
                // Calls from the one that fed the unit's last byte to this one.
                int at = Arrays.binarySearch(callEnds, unitEnds[lastPicture]);
                if (delayCount == delays.length) delays = Arrays.copyOf(delays, delayCount * 2);
                delays[delayCount++] = calls - 1 - (at >= 0 ? at : -at - 1);
            }
            return lastPicture;
        }

        void print(PrintStream out) {
            long[] sorted = Arrays.copyOf(callNanos, calls);
            Arrays.sort(sorted);
            long[] sortedDelays = Arrays.copyOf(delays, delayCount);
            Arrays.sort(sortedDelays);
            double seconds = decodeNanos / 1e9;
            out.println("Summary");
            out.println("  stream:          " + stream + " (" + (type == TYPE_H265 ? "H.265" : "H.264")
                    + ", " + megabytes(bytes) + ")");
            if (!picture.isEmpty()) out.println("  pictures are:    " + picture);
            if (whole) {
                out.printf(Locale.ROOT, "  chunks:          %d, one access unit each (whole-access-unit switch on)%n",
                        calls);
            } else {
                out.printf(Locale.ROOT, "  chunks:          %d (%d to %d bytes, seed %d)%n",
                        calls, MIN_CHUNK_BYTES, MAX_CHUNK_BYTES, CHUNK_SEED);
            }
            out.printf(Locale.ROOT, "  pictures shown:  %d of %d%n", shown, units.pictures);
            out.printf(Locale.ROOT, "  bitmaps:         %d returned, %d repeats, %d made%s%n", returned, repeats,
                    made, whole ? " (decodeInto, two alternating)" : "");
            out.printf(Locale.ROOT, "  unseen:          %d skipped (a chunk that completes several pictures returns"
                    + " only the newest), %d still held at the end%n", outputs - shown,
                    Math.max(0, units.pictures - outputs));
            if (delayCount > 0) {
                out.printf(Locale.ROOT, "  delay:           median %d, max %d calls (output picture k against access"
                        + " unit k's last byte)%n", percentile(sortedDelays, 50), percentile(sortedDelays, 100));
            }
            out.printf(Locale.ROOT, "  null results:    %d%n", nulls);
            out.printf(Locale.ROOT, "  pictures/s:      %.1f decoded (%.3f s spent in decode calls)%n",
                    seconds > 0 ? outputs / seconds : 0.0, seconds);
            out.printf(Locale.ROOT, "  decode median:   %.3f ms%n", percentile(sorted, 50) / 1e6);
            out.printf(Locale.ROOT, "  decode p99:      %.3f ms%n", percentile(sorted, 99) / 1e6);
            out.printf(Locale.ROOT, "  decoder lines:   %d normal, %d detail%n", logLines, detailLines);
            if (written.length() > 0) out.println("  PNG files:       " + outDir + ": " + written);
        }
    }
}
