import dcj.DcjDriver;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * getDevStatus through the Java binding: the median and the 10th and 90th
 * percentiles of CALLS calls in microseconds, after WARMUP calls (the JIT's),
 * and the calling thread's CPU time per call.
 *
 *   java -cp dcj.jar:jna.jar BindingStatus.java DRIVER PORT [CALLS [WARMUP]]
 */
public class BindingStatus {
    private static final int BLANK_CALLS = 20000;

    public static void main(String[] args) {
        DcjDriver driver = new DcjDriver(args[0]);
        int port = Integer.parseInt(args[1]);
        int calls = args.length > 2 ? Integer.parseInt(args[2]) : 1000;
        int warmup = args.length > 3 ? Integer.parseInt(args[3]) : 2000;
        double[] times = new double[calls];
        ThreadMXBean mx = ManagementFactory.getThreadMXBean();
        long cpu0 = 0;
        for (int i = 0; i < warmup + calls; i++) {
            if (i == warmup) cpu0 = mx.getCurrentThreadCpuTime();
            long t0 = System.nanoTime();
            String status = driver.status("127.0.0.1", port).get("status");
            long t1 = System.nanoTime();
            if (!"01".equals(status)) throw new IllegalStateException("status " + status);
            if (i >= warmup) times[i - warmup] = (t1 - t0) / 1e3;
        }
        double cpuPerCall = (mx.getCurrentThreadCpuTime() - cpu0) / 1e3 / calls;
        // The call alone: a request the driver answers at once (blank reply),
        // through the same exchange status() uses.
        byte[] blank = "{\"commonArgs\":{\"funcName\":\"none\"}}".getBytes(StandardCharsets.UTF_8);
        for (int i = 0; i < BLANK_CALLS; i++) driver.exchange(blank, true);
        long blank0 = mx.getCurrentThreadCpuTime();
        for (int i = 0; i < BLANK_CALLS; i++) driver.exchange(blank, true);
        double blankCpu = (mx.getCurrentThreadCpuTime() - blank0) / 1e3 / BLANK_CALLS;
        Arrays.sort(times);
        System.out.printf("median_us %.1f p10_us %.1f p90_us %.1f cpu_us %.1f blank_cpu_us %.2f calls %d%n",
            times[(calls - 1) / 2], times[(int) (0.1 * (calls - 1))], times[(int) (0.9 * (calls - 1))], cpuPerCall,
            blankCpu, calls);
    }
}
