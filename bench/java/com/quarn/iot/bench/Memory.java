package com.quarn.iot.bench;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;

/** Resident sizes (from /proc/self/status) and CPU time of this process. */
final class Memory {
    private Memory() {}

    /** Current resident size in KiB (VmRSS), 0 if unknown. */
    static long residentKib() { return statusKib("VmRSS:"); }

    /** Peak resident size in KiB (VmHWM), 0 if unknown. */
    static long peakResidentKib() { return statusKib("VmHWM:"); }

    /** CPU time of every thread of this process so far (JIT and collector included), in ns. */
    static long processCpuNanos() {
        return ((com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean())
                .getProcessCpuTime();
    }

    private static long statusKib(String key) {
        try {
            for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
                if (line.startsWith(key)) {
                    return Long.parseLong(line.substring(key.length()).trim().split("\\s+")[0]);
                }
            }
        } catch (IOException | NumberFormatException e) {
            return 0;
        }
        return 0;
    }
}
