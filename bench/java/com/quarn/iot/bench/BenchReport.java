package com.quarn.iot.bench;

import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Font;
import java.awt.FontMetrics;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.image.BufferedImage;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.function.ToDoubleFunction;
import javax.imageio.ImageIO;

/**
 * Turns bench.csv into the Markdown table (printed and written as bench.md) and
 * the chart of pictures per second per case (bench.png). Every figure is the
 * median over the runs; ratios are taken within each run first, since the
 * machine is shared and only figures measured side by side compare.
 *
 * <p>CSV columns: run, kind (app, app-drop, app-fresh, app-fresh-drop, app-reuse,
 * app-reuse-fresh, floor, floor-fresh, peer, peer-wall, scale, leak), case,
 * decoders, calls, pictures, seconds, cpu_seconds, pps, median_ms, p99_ms,
 * peak_rss_kib, rss_growth_kib, growth_bytes_per_call, bitmaps_made (app kinds only).
 *
 * <pre>  BenchReport &lt;bench.csv&gt; &lt;output folder&gt; &lt;machine text&gt;</pre>
 */
public final class BenchReport {
    private static final double FLOOR_SHARE_GOAL = 0.90;
    /** Two bitmaps reused through decodeInto: their goal against the floor, warm and on fresh pages. */
    private static final double REUSE_GOAL = 0.97;
    private static final String[] REUSE_KINDS = {"app-reuse", "app-reuse-fresh"};
    private static final String[] REUSE_NAMES = {", two bitmaps reused", ", two bitmaps reused, fresh pages"};
    private static final double[] REUSE_GOALS = {REUSE_GOAL, FLOOR_SHARE_GOAL};
    /** Bitmaps a reusing viewer may cause to be made per 1,000 pictures. */
    private static final double MADE_PER_THOUSAND_GOAL = 2;
    /** The app-path kinds: bitmaps recycled after use, and bitmaps dropped for the collector. */
    private static final String[] APP_KINDS = {"app", "app-drop"};
    /** The app-path kinds with fresh pages for every large bitmap, as on Android, and their names. */
    private static final String[] FRESH_KINDS = {"app-fresh", "app-fresh-drop"};
    private static final String[] FRESH_NAMES = {", fresh pages", ", fresh pages, bitmaps dropped"};

    private BenchReport() {}

    /** One CSV line. */
    record Row(String run, String kind, String label, int decoders, int calls, int pictures,
               double seconds, double cpuSeconds, double pps, double medianMs, double p99Ms,
               double peakKib, double growthKib, double growthPerCall, double made) {
        static Row parse(String line) {
            String[] f = line.split(",", -1);
            return new Row(f[0], f[1], f[2], Integer.parseInt(f[3]), Integer.parseInt(f[4]),
                    Integer.parseInt(f[5]), number(f[6]), number(f[7]), number(f[8]), number(f[9]),
                    number(f[10]), number(f[11]), number(f[12]), number(f[13]),
                    f.length > 14 ? number(f[14]) : Double.NaN);
        }

        /** Pictures per second of CPU time, all threads of the process counted. */
        double cpuPps() { return pictures / cpuSeconds; }

        private static double number(String field) {
            return field.isEmpty() ? Double.NaN : Double.parseDouble(field);
        }
    }

    public static void main(String[] args) throws IOException {
        if (args.length != 3) {
            System.err.println("usage: BenchReport <bench.csv> <output folder> <machine text>");
            System.exit(2);
        }
        List<Row> rows = new ArrayList<>();
        for (String line : Files.readAllLines(Path.of(args[0]), StandardCharsets.UTF_8)) {
            if (!line.isBlank() && !line.startsWith("run,")) rows.add(Row.parse(line));
        }
        Path out = Path.of(args[1]);
        String table = markdown(rows, args[2]);
        System.out.print(table);
        Files.writeString(out.resolve("bench.md"), table, StandardCharsets.UTF_8);
        ImageIO.write(chart(rows), "png", out.resolve("bench.png").toFile());
    }

    /** What the label suffixes of the colour cases stand for. */
    private static final Map<String, String> COLOUR_CASES =
            Map.of("full709", "full-range BT.709", "10bit", "10-bit BT.709");

    /** "h264-1920x1080" as "H.264 1920×1080", "h264-1920x1080-full709" as "H.264 1920×1080, full-range BT.709". */
    static String caseName(String label) {
        String[] parts = label.split("-", 3);
        String codec = parts[0].equals("h265") ? "H.265" : "H.264";
        String name = parts.length < 2 ? codec : codec + " " + parts[1].replace('x', '×');
        return parts.length < 3 ? name : name + ", " + COLOUR_CASES.getOrDefault(parts[2], parts[2]);
    }

    /** The median of the finite values (NaN if none). */
    static double median(double[] values) {
        double[] finite = Arrays.stream(values).filter(Double::isFinite).sorted().toArray();
        if (finite.length == 0) return Double.NaN;
        int mid = finite.length / 2;
        return finite.length % 2 == 1 ? finite[mid] : (finite[mid - 1] + finite[mid]) / 2;
    }

    /** Rows of one kind, case and decoder count, in run order. */
    static List<Row> select(List<Row> rows, String kind, String label, int decoders) {
        List<Row> picked = new ArrayList<>();
        for (Row row : rows) {
            if (row.kind.equals(kind) && row.label.equals(label) && row.decoders == decoders) picked.add(row);
        }
        return picked;
    }

    /** The median of one figure of the rows. */
    static double median(List<Row> rows, ToDoubleFunction<Row> figure) {
        return median(rows.stream().mapToDouble(figure).toArray());
    }

    /** The median over runs of app's figure divided by the other kind's, taken in the same run. */
    static double ratioWithinRuns(List<Row> app, List<Row> other, ToDoubleFunction<Row> figure) {
        Map<String, Double> otherByRun = new LinkedHashMap<>();
        for (Row row : other) otherByRun.put(row.run, figure.applyAsDouble(row));
        double[] ratios = app.stream().filter(r -> otherByRun.containsKey(r.run))
                .mapToDouble(r -> figure.applyAsDouble(r) / otherByRun.get(r.run)).toArray();
        return median(ratios);
    }

    /** Cases of a kind, in the order of their first appearance. */
    static List<String> labels(List<Row> rows, String kind) {
        List<String> labels = new ArrayList<>();
        for (Row row : rows) {
            if (row.kind.equals(kind) && !labels.contains(row.label)) labels.add(row.label);
        }
        return labels;
    }

    /** Decoder counts of the scale runs, ascending. */
    static int[] decoderCounts(List<Row> rows) {
        return rows.stream().filter(r -> r.kind.equals("scale")).mapToInt(Row::decoders).distinct().sorted().toArray();
    }

    static String fmt(String format, double value) {
        return Double.isFinite(value) ? String.format(Locale.ROOT, format, value) : "–";
    }

    /** Appends the table row of one app case; returns where it stands against the goals. */
    static String appRow(StringBuilder md, String name, List<Row> app, List<Row> floor, List<Row> peer) {
        return appRow(md, name, app, floor, peer, FLOOR_SHARE_GOAL);
    }

    /** The same, against the given goal for app/floor. */
    static String appRow(StringBuilder md, String name, List<Row> app, List<Row> floor, List<Row> peer,
                         double floorGoal) {
        double vsFloor = ratioWithinRuns(app, floor, Row::pps);
        double vsPeer = ratioWithinRuns(app, peer, Row::pps);
        double cpuVsFloor = ratioWithinRuns(app, floor, Row::cpuPps);
        double cpuVsPeer = ratioWithinRuns(app, peer, Row::cpuPps);
        md.append(String.format(Locale.ROOT, "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | peak %s |\n",
                name, fmt("%.0f", median(app, Row::pps)), fmt("%.0f", median(floor, Row::pps)),
                fmt("%.0f", median(peer, Row::pps)), percent(vsFloor), percent(vsPeer),
                percent(cpuVsFloor), percent(cpuVsPeer), fmt("%.2f", median(app, Row::medianMs)),
                fmt("%.2f", median(app, Row::p99Ms)), mib(median(app, Row::peakKib))));
        return String.format(Locale.ROOT,
                "%s: app/floor %s, CPU %s (goal ≥ %s: %s); app/peer %s, CPU %s (goal ≥ 100%%: %s)",
                name, percent(vsFloor), percent(cpuVsFloor), percent(floorGoal),
                verdict(vsFloor, cpuVsFloor, floorGoal), percent(vsPeer), percent(cpuVsPeer),
                verdict(vsPeer, cpuVsPeer, 1));
    }

    /** "met" or "missed" when wall and CPU ratios agree, else says which one met the goal. */
    static String verdict(double wall, double cpu, double goal) {
        if (wall >= goal && cpu >= goal) return "met";
        if (wall < goal && cpu < goal) return "missed";
        return wall >= goal ? "met in wall time only" : "met in CPU time only";
    }

    static String percent(double ratio) { return fmt("%.0f%%", ratio * 100); }

    static String mib(double kib) { return fmt("%.0f MiB", kib / 1024); }

    /** The whole report: a heading line, the table, and where the goals stand. */
    static String markdown(List<Row> rows, String machine) {
        long runs = rows.stream().map(Row::run).distinct().count();
        StringBuilder md = new StringBuilder();
        md.append("Median of ").append(runs).append(runs == 1 ? " run" : " runs").append(" on ").append(machine)
                .append(". Pictures per second of wall time; app/floor and app/peer are medians of ratios"
                        + " taken within each run, of wall time and (CPU) of the CPU time of all the process's"
                        + " threads.\n\n");
        md.append("| case | app pictures/s | floor pictures/s | peer pictures/s | app/floor | app/peer"
                + " | app/floor (CPU) | app/peer (CPU) | app ms/call median | app ms/call p99 | resident size |\n");
        md.append("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
        List<String> goals = new ArrayList<>();
        for (String label : labels(rows, "app")) {
            for (String kind : APP_KINDS) {
                List<Row> app = select(rows, kind, label, 1);
                if (app.isEmpty()) continue;
                String name = caseName(label) + (kind.equals("app") ? "" : ", bitmaps dropped");
                String goal = appRow(md, name, app, select(rows, "floor", label, 1), select(rows, "peer", label, 1));
                if (label.contains("1920x1080")) goals.add(goal);
            }
            freshRows(md, goals, rows, label);
            reuseRows(md, goals, rows, label);
        }
        for (int decoders : decoderCounts(rows)) {
            for (String label : labels(rows, "scale")) {
                List<Row> scale = select(rows, "scale", label, decoders);
                if (scale.isEmpty()) continue;
                md.append(String.format(Locale.ROOT, "| %s, %d %s on as many threads | %s | | | | | | | %s | %s | peak %s |\n",
                        caseName(label), decoders, decoders == 1 ? "decoder" : "decoders",
                        fmt("%.0f", median(scale, Row::pps)), fmt("%.2f", median(scale, Row::medianMs)),
                        fmt("%.2f", median(scale, Row::p99Ms)), mib(median(scale, Row::peakKib))));
            }
        }
        for (String label : labels(rows, "leak")) {
            List<Row> leak = select(rows, "leak", label, 1);
            double growth = median(leak, Row::growthKib);
            double perCall = median(leak, Row::growthPerCall);
            int calls = leak.get(0).calls;
            md.append(String.format(Locale.ROOT, "| %s, %,d calls on 1 decoder after warm-up | %s | | | | | | | %s | %s | growth %s KiB (%s B/call) |\n",
                    caseName(label), calls, fmt("%.0f", median(leak, Row::pps)),
                    fmt("%.2f", median(leak, Row::medianMs)), fmt("%.2f", median(leak, Row::p99Ms)),
                    fmt("%+.0f", growth), fmt("%+.1f", perCall)));
            goals.add(String.format(Locale.ROOT, "resident size over %,d calls: %s KiB, %s bytes per call"
                    + " (goal: none beyond noise)", calls, fmt("%+.0f", growth), fmt("%+.1f", perCall)));
        }
        md.append('\n');
        for (String goal : goals) md.append("- ").append(goal).append('\n');
        return md.toString();
    }

    /**
     * The fresh-page rows of a case, measured against the contract floor (the C++ floor
     * converting into a fresh mapping per picture), then the contract floor's own row and
     * what the fresh pages cost it per picture.
     */
    static void freshRows(StringBuilder md, List<String> goals, List<Row> rows, String label) {
        List<Row> contract = select(rows, "floor-fresh", label, 1);
        if (contract.isEmpty()) return;
        List<Row> floor = select(rows, "floor", label, 1);
        List<Row> peer = select(rows, "peer", label, 1);
        for (int k = 0; k < FRESH_KINDS.length; k++) {
            List<Row> app = select(rows, FRESH_KINDS[k], label, 1);
            if (app.isEmpty()) continue;
            goals.add(appRow(md, caseName(label) + FRESH_NAMES[k] + " (floor: contract floor)", app, contract, peer));
        }
        md.append(String.format(Locale.ROOT, "| %s, contract floor (C++, a fresh mapping per picture) | | %s | %s | | | | | %s | %s | peak %s |\n",
                caseName(label), fmt("%.0f", median(contract, Row::pps)), fmt("%.0f", median(peer, Row::pps)),
                fmt("%.2f", median(contract, Row::medianMs)), fmt("%.2f", median(contract, Row::p99Ms)),
                mib(median(contract, Row::peakKib))));
        double extraMs = differenceWithinRuns(contract, floor, r -> 1000 / r.pps);
        double extraCpuMs = differenceWithinRuns(contract, floor, r -> 1000 / r.cpuPps());
        goals.add(String.format(Locale.ROOT, "%s: a fresh mapping per picture costs the floor %s ms per picture"
                + " (%s ms of CPU time): contract floor %s pictures/s against %s", caseName(label),
                fmt("%.2f", extraMs), fmt("%.2f", extraCpuMs), fmt("%.0f", median(contract, Row::pps)),
                fmt("%.0f", median(floor, Row::pps))));
    }

    /**
     * The rows of a case whose viewer reuses two bitmaps through decodeInto, against the
     * floor (which converts into one reused buffer), and the bitmaps made per 1,000 pictures.
     */
    static void reuseRows(StringBuilder md, List<String> goals, List<Row> rows, String label) {
        for (int k = 0; k < REUSE_KINDS.length; k++) {
            List<Row> app = select(rows, REUSE_KINDS[k], label, 1);
            if (app.isEmpty()) continue;
            String name = caseName(label) + REUSE_NAMES[k];
            goals.add(appRow(md, name, app, select(rows, "floor", label, 1), select(rows, "peer", label, 1),
                    REUSE_GOALS[k]));
            double perThousand = median(app, r -> 1000 * r.made / r.pictures);
            goals.add(String.format(Locale.ROOT, "%s: %s bitmaps made per 1,000 pictures (goal ≤ %.0f: %s)", name,
                    fmt("%.1f", perThousand), MADE_PER_THOUSAND_GOAL,
                    perThousand <= MADE_PER_THOUSAND_GOAL ? "met" : "missed"));
        }
    }

    /** The median over runs of one kind's figure minus the other kind's, taken in the same run. */
    static double differenceWithinRuns(List<Row> rows, List<Row> other, ToDoubleFunction<Row> figure) {
        Map<String, Double> otherByRun = new LinkedHashMap<>();
        for (Row row : other) otherByRun.put(row.run, figure.applyAsDouble(row));
        return median(rows.stream().filter(r -> otherByRun.containsKey(r.run))
                .mapToDouble(r -> figure.applyAsDouble(r) - otherByRun.get(r.run)).toArray());
    }

    // ---- The chart ----

    private static final Color[] KIND_COLOURS = {
        new Color(0x2b6cb0), new Color(0x90cdf4), new Color(0x9aa5b1), new Color(0xdd8833), new Color(0x38a169)
    };
    private static final String[] BAR_KINDS = {"app", "app-drop", "floor", "peer"};
    private static final String[] KIND_NAMES = {
        "app (bitmaps recycled)", "app (bitmaps dropped)", "floor", "peer", "app, N decoders (aggregate)"
    };
    private static final int SCALE_COLOUR = 4;

    /** One bar of the chart. */
    record Bar(String group, String name, int colour, double pps) {}

    /** The bars: app, floor and peer per stream, then the aggregate of each decoder count. */
    static List<Bar> bars(List<Row> rows) {
        List<Bar> bars = new ArrayList<>();
        for (String label : labels(rows, "app")) {
            for (int k = 0; k < BAR_KINDS.length; k++) {
                List<Row> picked = select(rows, BAR_KINDS[k], label, 1);
                if (!picked.isEmpty()) bars.add(new Bar(caseName(label), BAR_KINDS[k], k, median(picked, Row::pps)));
            }
        }
        for (String label : labels(rows, "scale")) {
            for (int decoders : decoderCounts(rows)) {
                bars.add(new Bar(caseName(label) + " ×N", "×" + decoders, SCALE_COLOUR,
                        median(select(rows, "scale", label, decoders), Row::pps)));
            }
        }
        return bars;
    }

    /** A bar chart of pictures per second, one group per case. */
    static BufferedImage chart(List<Row> rows) {
        List<Bar> bars = bars(rows);
        final int width = 1200, height = 600, left = 80, right = 20, top = 60, bottom = 90;
        BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = image.createGraphics();
        g.setRenderingHint(RenderingHints.KEY_ANTIALIASING, RenderingHints.VALUE_ANTIALIAS_ON);
        g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
        g.setColor(Color.WHITE);
        g.fillRect(0, 0, width, height);
        g.setFont(new Font(Font.SANS_SERIF, Font.BOLD, 16));
        g.setColor(Color.BLACK);
        g.drawString("Live decode: pictures per second (median of runs)", left, 28);

        double max = bars.stream().mapToDouble(Bar::pps).filter(Double::isFinite).max().orElse(1);
        double step = niceStep(max / 5);
        double axisMax = Math.ceil(max / step) * step;
        int plotHeight = height - top - bottom;
        int plotWidth = width - left - right;
        g.setFont(new Font(Font.SANS_SERIF, Font.PLAIN, 12));
        FontMetrics metrics = g.getFontMetrics();
        for (double v = 0; v <= axisMax + step / 2; v += step) {
            int y = top + plotHeight - (int) Math.round(v / axisMax * plotHeight);
            g.setColor(new Color(0xe2e8f0));
            g.drawLine(left, y, width - right, y);
            g.setColor(Color.DARK_GRAY);
            String text = String.format(Locale.ROOT, "%.0f", v);
            g.drawString(text, left - 8 - metrics.stringWidth(text), y + 4);
        }

        List<String> groups = new ArrayList<>();
        for (Bar bar : bars) if (!groups.contains(bar.group)) groups.add(bar.group);
        int slots = bars.size() + groups.size();  // one empty slot between groups
        double slot = plotWidth / (double) Math.max(1, slots);
        int index = 0;
        for (String group : groups) {
            int groupStart = index;
            for (Bar bar : bars) {
                if (!bar.group.equals(group)) continue;
                int x = left + (int) Math.round((index + 0.5) * slot);
                double value = Double.isFinite(bar.pps) ? bar.pps : 0;
                int h = (int) Math.round(value / axisMax * plotHeight);
                g.setColor(KIND_COLOURS[bar.colour]);
                g.fillRect(x, top + plotHeight - h, (int) Math.max(2, slot - 4), h);
                g.setColor(Color.DARK_GRAY);
                String text = String.format(Locale.ROOT, "%.0f", value);
                g.drawString(text, x + (int) (slot - 4 - metrics.stringWidth(text)) / 2, top + plotHeight - h - 4);
                if (bar.colour == SCALE_COLOUR) {
                    g.drawString(bar.name, x + (int) (slot - 4 - metrics.stringWidth(bar.name)) / 2,
                            top + plotHeight + 16);
                }
                index++;
            }
            int centre = left + (int) Math.round((groupStart + index + 1) / 2.0 * slot);
            g.setColor(Color.BLACK);
            g.drawString(group, centre - metrics.stringWidth(group) / 2, top + plotHeight + 36);
            index++;
        }
        g.setStroke(new BasicStroke(1.5f));
        g.drawLine(left, top + plotHeight, width - right, top + plotHeight);

        int x = left;
        for (int k = 0; k < KIND_NAMES.length; k++) {
            g.setColor(KIND_COLOURS[k]);
            g.fillRect(x, height - 30, 14, 14);
            g.setColor(Color.BLACK);
            g.drawString(KIND_NAMES[k], x + 20, height - 18);
            x += 40 + metrics.stringWidth(KIND_NAMES[k]);
        }
        g.dispose();
        return image;
    }

    /** 1, 2 or 5 times a power of ten, at least `raw`. */
    static double niceStep(double raw) {
        if (!(raw > 0)) return 1;
        double power = Math.pow(10, Math.floor(Math.log10(raw)));
        for (double m : new double[] {1, 2, 5, 10}) {
            if (m * power >= raw) return m * power;
        }
        return 10 * power;
    }
}
