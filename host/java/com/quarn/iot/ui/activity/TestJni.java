package com.quarn.iot.ui.activity;

/** The app's test screen probe. */
public final class TestJni {
    static {
        System.loadLibrary("qn_iot_lib");
    }

    /** The version text of the linked FFmpeg libraries. */
    public native String stringFromJNI();
}
