package android.os;

/**
 * Host stand-in of the part of android.os.Debug that long runs watch: the bytes
 * the process's native heap has handed out and not taken back (on the host,
 * glibc's malloc, its mapped blocks included).
 */
public final class Debug {
    static {
        System.loadLibrary("qn_host_runtime");
    }

    private Debug() {}

    /** Bytes of native heap in use now. */
    public static native long getNativeHeapAllocatedSize();
}
