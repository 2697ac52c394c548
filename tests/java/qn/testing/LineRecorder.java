package qn.testing;

import com.quarn.iot.corvasdk.core.decode.FFmpegDecoder;
import java.util.ArrayList;
import java.util.List;

/** Log sink of the tests: records forwarded lines, and can be told to throw. */
public final class LineRecorder implements FFmpegDecoder.LogSink {
    private static final List<String> lines = new ArrayList<>();
    private static String throwOn;

    private LineRecorder() {}

    /** Makes this recorder the decoder's log sink. */
    public static void install() {
        FFmpegDecoder.setLogSink(new LineRecorder());
    }

    /** Lines since the last call, each "D:" or "V:" and the text. */
    public static synchronized String[] take() {
        String[] out = lines.toArray(new String[0]);
        lines.clear();
        return out;
    }

    /** From now on a line containing text throws an IllegalStateException; null stops it. */
    public static synchronized void throwOn(String text) {
        throwOn = text;
    }

    @Override
    public void line(boolean detail, String text) {
        synchronized (LineRecorder.class) {
            lines.add((detail ? "V:" : "D:") + text);
            if (throwOn != null && text.contains(throwOn)) {
                throw new IllegalStateException("log sink refused: " + text);
            }
        }
    }
}
