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
 * freed by recycle() or when the bitmap is collected.
 *
 * <p>Like Android 10 and later, the runtime watches the net growth of native
 * pixel bytes (allocated minus freed) since the last collection, and past
 * qn.bitmap.collectAfterBytes (96 MiB) asks a daemon thread for a collection,
 * one request at a time, without making the allocating thread wait. With
 * -Dqn.bitmap.freshPages=true, pixel buffers of 2 MiB or more are mapped fresh
 * from the kernel and unmapped when freed, as Android's allocator does with
 * blocks that large, so every such bitmap starts on new pages; by default they
 * come from calloc, which hands back warm memory.
 *
 * <p>As on Android, createBitmap(width, height, config) makes a mutable bitmap, and
 * copy(config, false) and createBitmap(Bitmap) immutable ones; isMutable() tells
 * them apart, which is what FFmpegDecoder.decodeInto looks at.
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

    /** Net growth of native pixel bytes since the last collection that requests one. */
    private static final long COLLECTION_TRIGGER_BYTES =
            Long.getLong("qn.bitmap.collectAfterBytes", 96L << 20);
    /** Pixel buffers of this size or more get fresh pages when the switch is on. */
    private static final long FRESH_PAGES_MIN_BYTES = 2L << 20;
    /** Native pixel bytes held now: allocated minus freed. */
    private static final AtomicLong nativeBytes = new AtomicLong();
    /** The least nativeBytes since the last requested collection ended: growth counts from there. */
    private static final AtomicLong nativeBytesAtCollection = new AtomicLong();
    /**
     * Orders the end of a collection against frees, so that a collector reading what is
     * held before a free cannot set the baseline after that free has lowered it.
     */
    private static final Object baselineLock = new Object();
    /** Collections requested so far; read by tests. */
    private static final AtomicLong collectionsRequested = new AtomicLong();
    private static final Cleaner cleaner = Cleaner.create();
    /** Bitmaps made so far; the host tests read it to see that no call wastes one. */
    private static final AtomicLong created = new AtomicLong();
    /** Creations still to fail as on a full heap; host tests set it to reach that path. */
    private static volatile int failingCreations;
    private static final Collector collector = new Collector();

    private final int width;
    private final int height;
    private final Config config;
    private final boolean mutable;
    // Read by libjnigraphics: the pixel address, the recycled flag and the lock count.
    private long nativePixels;
    private boolean recycled;
    private int lockCount;
    private final ByteBuffer pixels;
    private final Cleaner.Cleanable freer;

    private Bitmap(int width, int height, Config config, boolean mutable) {
        this.width = width;
        this.height = height;
        this.config = config;
        this.mutable = mutable;
        long bytes = (long) width * height * config.bytesPerPixel;
        if (bytes > Integer.MAX_VALUE) {
            throw new IllegalArgumentException("bitmap size exceeds 32 bits");
        }
        boolean mapped = bytes >= FRESH_PAGES_MIN_BYTES && Boolean.getBoolean("qn.bitmap.freshPages");
        long address = nativeAllocate(bytes, mapped);
        if (address == 0) {
            throw new OutOfMemoryError("Failed to allocate " + bytes + " bytes of pixels");
        }
        countTowardsCollection(bytes);
        nativePixels = address;
        pixels = nativeWrap(address, bytes).order(ByteOrder.nativeOrder());
        freer = cleaner.register(this, new Freer(address, bytes, mapped));
    }

    /** Returns a mutable bitmap of the given size, every pixel zero. */
    public static Bitmap createBitmap(int width, int height, Config config) {
        if (width <= 0 || height <= 0) {
            throw new IllegalArgumentException("width and height must be > 0");
        }
        if (config == null) {
            throw new NullPointerException("config is null");
        }
        return allocate(width, height, config, true);
    }

    /** Returns an immutable bitmap of src's pixels: src itself if it is immutable, else a copy. */
    public static Bitmap createBitmap(Bitmap src) {
        return src.mutable ? src.copy(src.config, false) : src;
    }

    /**
     * Returns a new bitmap with this one's pixels, mutable or not as asked. The host
     * converts no pixels between configs: another config gives null, as Android does
     * for a conversion it does not support.
     */
    public Bitmap copy(Config config, boolean isMutable) {
        checkReadable("copy()");
        if (config != this.config) return null;
        Bitmap copy = allocate(width, height, config, isMutable);
        copyPixelsToBuffer(copy.pixels.duplicate());
        return copy;
    }

    /** Counts and makes a bitmap; fails as on a full heap while tests ask for it. */
    private static Bitmap allocate(int width, int height, Config config, boolean mutable) {
        if (failingCreations > 0) {
            failingCreations--;
            throw new OutOfMemoryError("Failed to allocate a " + width + "x" + height + " bitmap");
        }
        created.incrementAndGet();
        return new Bitmap(width, height, config, mutable);
    }

    public int getWidth() { return width; }

    public int getHeight() { return height; }

    public Config getConfig() { return config; }

    public int getRowBytes() { return width * config.bytesPerPixel; }

    public int getByteCount() { return getRowBytes() * height; }

    public synchronized boolean isRecycled() { return recycled; }

    /** False for bitmaps whose pixels must not change, such as copies made immutable. */
    public boolean isMutable() { return mutable; }

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

    /** Adds new pixel bytes; asks for a collection once the net growth passes the trigger. */
    private static void countTowardsCollection(long bytes) {
        long held = nativeBytes.addAndGet(bytes);
        if (held - nativeBytesAtCollection.get() > COLLECTION_TRIGGER_BYTES) collector.request();
    }

    /**
     * The daemon thread that runs requested collections, so that the allocating thread
     * goes on decoding; a request made while one is pending or running is dropped.
     */
    private static final class Collector implements Runnable {
        private boolean pending;
        private Thread thread;

        /** Wakes the collector thread unless a collection is already pending or running. */
        synchronized void request() {
            if (pending) return;
            pending = true;
            collectionsRequested.incrementAndGet();
            if (thread == null) {
                thread = new Thread(this, "BitmapCollector");
                thread.setDaemon(true);
                thread.start();
            }
            notifyAll();
        }

        @Override
        public void run() {
            while (true) {
                synchronized (this) {
                    while (!pending) {
                        try {
                            wait();
                        } catch (InterruptedException e) {
                            return;
                        }
                    }
                }
                System.gc();
                // Growth counts again from what is held once the collection is over, or
                // from less as the cleaner frees the collected bitmaps' pixels.
                synchronized (baselineLock) {
                    nativeBytesAtCollection.set(nativeBytes.get());
                }
                synchronized (this) {
                    pending = false;
                }
            }
        }
    }

    /** Frees one pixel allocation; holds no reference to the bitmap. */
    private static final class Freer implements Runnable {
        private final long address;
        private final long bytes;
        private final boolean mapped;

        Freer(long address, long bytes, boolean mapped) {
            this.address = address;
            this.bytes = bytes;
            this.mapped = mapped;
        }

        @Override
        public void run() {
            nativeFree(address, bytes, mapped);
            synchronized (baselineLock) {
                long held = nativeBytes.addAndGet(-bytes);
                nativeBytesAtCollection.accumulateAndGet(held, Math::min);
            }
        }
    }

    /** Zero-filled pixel memory: fresh pages of its own if mapped, else from calloc; 0 on failure. */
    private static native long nativeAllocate(long bytes, boolean mapped);

    private static native void nativeFree(long address, long bytes, boolean mapped);

    private static native ByteBuffer nativeWrap(long address, long bytes);
}
