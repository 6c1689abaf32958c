import dcj.DcjDriver;

import java.util.Arrays;

/**
 * getDevStatus through the Java binding: the median and the 10th and 90th
 * percentiles of CALLS calls in microseconds, after WARMUP calls (the JIT's).
 *
 *   java -cp dcj.jar:jna.jar BindingStatus.java DRIVER PORT [CALLS [WARMUP]]
 */
public class BindingStatus {
    public static void main(String[] args) {
        DcjDriver driver = new DcjDriver(args[0]);
        int port = Integer.parseInt(args[1]);
        int calls = args.length > 2 ? Integer.parseInt(args[2]) : 1000;
        int warmup = args.length > 3 ? Integer.parseInt(args[3]) : 2000;
        double[] times = new double[calls];
        for (int i = 0; i < warmup + calls; i++) {
            long t0 = System.nanoTime();
            String status = driver.status("127.0.0.1", port).get("status");
            long t1 = System.nanoTime();
            if (!"01".equals(status)) throw new IllegalStateException("status " + status);
            if (i >= warmup) times[i - warmup] = (t1 - t0) / 1e3;
        }
        Arrays.sort(times);
        System.out.printf("median_us %.1f p10_us %.1f p90_us %.1f calls %d%n", times[(calls - 1) / 2],
            times[(int) (0.1 * (calls - 1))], times[(int) (0.9 * (calls - 1))], calls);
    }
}
