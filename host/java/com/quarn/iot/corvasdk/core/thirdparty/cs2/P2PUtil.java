package com.quarn.iot.corvasdk.core.thirdparty.cs2;

/** Socket helpers of the peer-to-peer connection layer. */
public final class P2PUtil {
    static {
        System.loadLibrary("qn_iot_lib");
    }

    private P2PUtil() {}

    /** 1 for a stream socket, 0 for another kind of socket, -1 if the descriptor cannot be queried. */
    public static native int getSocketType(int fd);
}
