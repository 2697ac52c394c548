package android.graphics;

import java.awt.image.BufferedImage;
import java.io.IOException;
import java.io.OutputStream;
import java.lang.ref.Cleaner;
import java.nio.Buffer;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.concurrent.atomic.AtomicLong;
import javax.imageio.ImageIO;

/**
 * Host stand-in of android.graphics.Bitmap. Pixels live in zero-filled native
 * memory, laid out as Android lays them out (ARGB_8888: R, G, B, A bytes, rows
 * of width * 4 bytes), so native code can lock them across JNI calls. They are
 * freed by recycle() or when the bitmap is collected; like Android, the native
 * bytes count towards collections so unreferenced bitmaps cannot pile up.
 */
public final class Bitmap {
    /** Pixel configurations, with Android's bytes per pixel. */
    public enum Config {
        ALPHA_8(1, 8), RGB_565(2, 4), ARGB_4444(2, 7), ARGB_8888(4, 1);

        final int bytesPerPixel;
        /** The matching AndroidBitmapFormat value of <android/bitmap.h>. */
        final int nativeFormat;

        Config(int bytesPerPixel, int nativeFormat) {
            this.bytesPerPixel = bytesPerPixel;
            this.nativeFormat = nativeFormat;
        }
    }

    /** Formats of compress(). */
    public enum CompressFormat { JPEG, PNG, WEBP }

    static {
        System.loadLibrary("jnigraphics");
    }

    /** Native bytes allocated since the last collection that they asked for. */
    private static final AtomicLong bytesSinceCollection = new AtomicLong();
    /** Native bytes after which a collection is requested, as Android's runtime does. */
    private static final long COLLECTION_TRIGGER_BYTES =
            Long.getLong("qn.bitmap.collectAfterBytes", 512L << 20);
    private static final Cleaner cleaner = Cleaner.create();
    /** Bitmaps made so far; the host tests read it to see that no call wastes one. */
    private static final AtomicLong created = new AtomicLong();
    /** Creations still to fail as on a full heap; host tests set it to reach that path. */
    private static volatile int failingCreations;

    private final int width;
    private final int height;
    private final Config config;
    // Read by libjnigraphics: the pixel address, the recycled flag and the lock count.
    private long nativePixels;
    private boolean recycled;
    private int lockCount;
    private final ByteBuffer pixels;
    private final Cleaner.Cleanable freer;

    private Bitmap(int width, int height, Config config) {
        this.width = width;
        this.height = height;
        this.config = config;
        long bytes = (long) width * height * config.bytesPerPixel;
        if (bytes > Integer.MAX_VALUE) {
            throw new IllegalArgumentException("bitmap size exceeds 32 bits");
        }
        countTowardsCollection(bytes);
        long address = nativeAllocate(bytes);
        if (address == 0) {
            throw new OutOfMemoryError("Failed to allocate " + bytes + " bytes of pixels");
        }
        nativePixels = address;
        pixels = nativeWrap(address, bytes).order(ByteOrder.nativeOrder());
        freer = cleaner.register(this, new Freer(address));
    }

    /** Returns a mutable bitmap of the given size, every pixel zero. */
    public static Bitmap createBitmap(int width, int height, Config config) {
        if (width <= 0 || height <= 0) {
            throw new IllegalArgumentException("width and height must be > 0");
        }
        if (config == null) {
            throw new NullPointerException("config is null");
        }
        if (failingCreations > 0) {
            failingCreations--;
            throw new OutOfMemoryError("Failed to allocate a " + width + "x" + height + " bitmap");
        }
        created.incrementAndGet();
        return new Bitmap(width, height, config);
    }

    public int getWidth() { return width; }

    public int getHeight() { return height; }

    public Config getConfig() { return config; }

    public int getRowBytes() { return width * config.bytesPerPixel; }

    public int getByteCount() { return getRowBytes() * height; }

    public synchronized boolean isRecycled() { return recycled; }

    /** Frees the pixels now; the bitmap can no longer be read. */
    public synchronized void recycle() {
        if (recycled) return;
        recycled = true;
        nativePixels = 0;
        freer.clean();
    }

    /** The colour at (x, y) as 0xAARRGGBB. */
    public int getPixel(int x, int y) {
        checkReadable("getPixel()");
        checkCoordinates(x, y);
        return colorAt(y * getRowBytes() + x * config.bytesPerPixel);
    }

    /** Copies a rectangle of colours (0xAARRGGBB) into pixels. */
    public void getPixels(int[] out, int offset, int stride, int x, int y, int w, int h) {
        checkReadable("getPixels()");
        if (w == 0 || h == 0) return;
        checkCoordinates(x, y);
        checkCoordinates(x + w - 1, y + h - 1);
        if (Math.abs(stride) < w) throw new IllegalArgumentException("abs(stride) must be >= width");
        int last = offset + (h - 1) * stride + w - 1;
        if (offset < 0 || last >= out.length || offset + (h - 1) * stride < 0) {
            throw new ArrayIndexOutOfBoundsException();
        }
        for (int row = 0; row < h; row++) {
            int base = (y + row) * getRowBytes() + x * config.bytesPerPixel;
            for (int col = 0; col < w; col++) {
                out[offset + row * stride + col] = colorAt(base + col * config.bytesPerPixel);
            }
        }
    }

    /** Copies the raw pixel bytes, as laid out in memory, into dst from its position. */
    public void copyPixelsToBuffer(Buffer dst) {
        checkReadable("copyPixelsToBuffer()");
        if (!(dst instanceof ByteBuffer)) {
            throw new RuntimeException("unsupported Buffer subclass");
        }
        ByteBuffer out = (ByteBuffer) dst;
        if (out.remaining() < getByteCount()) {
            throw new RuntimeException("Buffer not large enough for pixels");
        }
        out.put(pixels.duplicate().position(0).limit(getByteCount()));
    }

    /** Writes the bitmap as PNG (the only format the host supports). */
    public boolean compress(CompressFormat format, int quality, OutputStream stream) {
        checkReadable("compress()");
        if (stream == null) throw new NullPointerException();
        if (quality < 0 || quality > 100) throw new IllegalArgumentException("quality must be 0..100");
        if (format != CompressFormat.PNG) return false;
        BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_ARGB);
        int[] row = new int[width];
        for (int y = 0; y < height; y++) {
            getPixels(row, 0, width, 0, y, width, 1);
            image.setRGB(0, y, width, 1, row, 0, width);
        }
        try {
            return ImageIO.write(image, "png", stream);
        } catch (IOException e) {
            return false;
        }
    }

    private int colorAt(int index) {
        switch (config) {
            case ARGB_8888: {
                int r = pixels.get(index) & 0xff, g = pixels.get(index + 1) & 0xff;
                int b = pixels.get(index + 2) & 0xff, a = pixels.get(index + 3) & 0xff;
                return (a << 24) | (r << 16) | (g << 8) | b;
            }
            case RGB_565: {
                int v = pixels.getShort(index) & 0xffff;
                int r = (v >> 11) & 0x1f, g = (v >> 5) & 0x3f, b = v & 0x1f;
                return 0xff000000 | ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
            }
            case ARGB_4444: {
                int v = pixels.getShort(index) & 0xffff;
                int r = (v >> 12) & 0xf, g = (v >> 8) & 0xf, b = (v >> 4) & 0xf, a = v & 0xf;
                return (a * 17 << 24) | (r * 17 << 16) | (g * 17 << 8) | b * 17;
            }
            default:
                return (pixels.get(index) & 0xff) << 24;
        }
    }

    private synchronized void checkReadable(String method) {
        if (recycled) throw new IllegalStateException("Can't call " + method + " on a recycled bitmap");
    }

    private void checkCoordinates(int x, int y) {
        if (x < 0 || x >= width) throw new IllegalArgumentException("x must be >= 0 and < bitmap.width()");
        if (y < 0 || y >= height) throw new IllegalArgumentException("y must be >= 0 and < bitmap.height()");
    }

    /** Requests a collection once enough native bytes have been handed out since the last one. */
    private static void countTowardsCollection(long bytes) {
        if (bytesSinceCollection.addAndGet(bytes) > COLLECTION_TRIGGER_BYTES) {
            bytesSinceCollection.set(0);
            System.gc();
        }
    }

    /** Frees one pixel allocation; holds no reference to the bitmap. */
    private static final class Freer implements Runnable {
        private final long address;

        Freer(long address) { this.address = address; }

        @Override
        public void run() { nativeFree(address); }
    }

    private static native long nativeAllocate(long bytes);

    private static native void nativeFree(long address);

    private static native ByteBuffer nativeWrap(long address, long bytes);
}
