package dcj;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import java.util.zip.ZipFile;

/**
 * DcjDriver on the JVM against the simulated counter over loopback TCP, as a
 * host uses it. Plain runner: prints each case and "N passed, N failed";
 * exits 1 on any failure.
 */
public final class DcjDriverTest {
    private static final String IP = "127.0.0.1";
    private static final String INST = "442000034";
    private static final String EMP = "10677661";

    /** bin/dcjsim on a free port; stop() returns its exchange log. */
    static final class Sim implements AutoCloseable {
        final Process proc;
        final int port;
        private final BufferedReader out;

        Sim(String... args) throws IOException {
            List<String> cmd = new ArrayList<>(Arrays.asList(System.getenv("DCJSIM"), "--idle-exit", "60"));
            cmd.addAll(Arrays.asList(args));
            proc = new ProcessBuilder(cmd).redirectInput(ProcessBuilder.Redirect.PIPE)
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
            out = new BufferedReader(new InputStreamReader(proc.getInputStream(), StandardCharsets.UTF_8));
            String line = out.readLine();
            Matcher m = Pattern.compile("dcjsim listening on (\\S+):(\\d+)").matcher(line == null ? "" : line);
            if (!m.matches()) {
                proc.destroyForcibly();
                throw new IOException("dcjsim did not start: " + line);
            }
            port = Integer.parseInt(m.group(2));
        }

        List<String> stop() throws IOException, InterruptedException {
            proc.toHandle().destroy();  // SIGTERM, streams left open: it logs everything and exits
            List<String> lines = new ArrayList<>();
            for (String l; (l = out.readLine()) != null; ) lines.add(l);
            proc.waitFor(30, TimeUnit.SECONDS);
            return lines;
        }

        @Override
        public void close() {
            proc.destroyForcibly();
        }
    }

    static long exchanges(List<String> log, String cmd) {
        return log.stream().filter(l -> l.contains(" " + cmd + " ")).count();
    }

    interface Case {
        void run() throws Exception;
    }

    private static int passed;
    private static int failed;
    private static DcjDriver driver;
    private static Path root;

    static void check(boolean ok, String what) {
        if (!ok) throw new AssertionError(what);
    }

    static void checkEq(Object expected, Object actual, String what) {
        if (expected == null ? actual != null : !expected.equals(actual)) {
            throw new AssertionError(what + ": expected <" + expected + "> but was <" + actual + ">");
        }
    }

    static DcjException expectFailure(Case c) throws Exception {
        try {
            c.run();
        } catch (DcjException e) {
            return e;
        }
        throw new AssertionError("no DcjException");
    }

    static void test(String name, Case c) {
        try {
            c.run();
            passed++;
            System.out.println("ok     " + name);
        } catch (Throwable t) {
            failed++;
            System.out.println("FAILED " + name + ": " + t);
            t.printStackTrace(System.out);
        }
    }

    static String dir(String name) throws IOException {
        return Files.createDirectories(root.resolve(name)).toString() + "/";
    }

    static List<String> listing(String dir) throws IOException {
        try (Stream<Path> s = Files.list(Paths.get(dir))) {
            List<String> names = new ArrayList<>();
            s.forEach(p -> names.add(p.getFileName().toString()));
            Collections.sort(names);
            return names;
        }
    }

    static List<String> sorted(List<String> names) {
        List<String> copy = new ArrayList<>(names);
        Collections.sort(copy);
        return copy;
    }

    public static void main(String[] args) throws Exception {
        if (args.length == 2 && args[0].equals("--load")) {
            // A JVM of its own, with the class path the test gives it.
            try {
                new DcjDriver(args[1]);
                System.out.println("loaded");
            } catch (UnsatisfiedLinkError e) {
                System.out.println("refused: " + e.getMessage());
            }
            return;
        }
        String base = System.getenv("DCJ_TEST_TMP");
        if (base != null) Files.createDirectories(Paths.get(base));
        root = base != null ? Files.createTempDirectory(Paths.get(base), "dcj-java-") : Files.createTempDirectory("dcj-java-");
        driver = new DcjDriver();

        test("every device function reaches the counter once", () -> {
            try (Sim sim = new Sim("--denom", "100:7,20:3", "--reject", "2")) {
                Map<String, String> status = driver.status(IP, sim.port);
                Map<String, String> counts = driver.counts(IP, sim.port, 5);
                driver.clearCounts(IP, sim.port);
                driver.setTime(IP, sim.port, null, "20261207093000");
                driver.clearFiles(IP, sim.port, 5);
                List<String> log = sim.stop();
                checkEq("01", status.get("status"), "status");
                check(!status.get("DRVVersion").isEmpty(), "DRVVersion");
                checkEq("100:7,20:3", counts.get("realCash"), "realCash");
                checkEq("2", counts.get("rejCash"), "rejCash");
                for (String cmd : new String[] {"0xA7", "0xA3", "0xA4", "0xA5", "0xA2"}) checkEq(1L, exchanges(log, cmd), cmd);
                check(log.stream().anyMatch(l -> l.contains("time=20261207093000")), "time set");
            }
        });

        test("direct download delivers the listed files and confirms them", () -> {
            String up = dir("direct-up"), tmp = dir("direct-tmp");
            try (Sim sim = new Sim("--generate", "3", "--packets", "2", "--packet-size", "1000")) {
                List<String> names = driver.download(IP, sim.port, up, tmp, INST, EMP);
                DcjException again = expectFailure(() -> driver.download(IP, sim.port, up, tmp, INST, EMP));
                checkEq(3, names.size(), "files");
                checkEq(sorted(names), listing(up), "upload folder");
                for (String n : names) checkEq(2000L, Files.size(Paths.get(up, n)), n);
                checkEq(DcjDriver.NO_FILES, again.getCode(), "second download");
                checkEq("无可上传的FSN文件", again.getDescription(), "description");
            }
        });

        test("archive download packs the files and the related file", () -> {
            String up = dir("zip-up"), tmp = dir("zip-tmp");
            Path related = Files.write(root.resolve("batch.txt"), "batch 7\n".getBytes(StandardCharsets.UTF_8));
            try (Sim sim = new Sim("--generate", "2")) {
                List<String> names = driver.download(IP, sim.port, up, tmp, INST, EMP, related.toString(), null);
                checkEq(1, names.size(), "one archive");
                check(names.get(0).matches("\\d{14}\\.zip"), names.get(0));
                try (ZipFile zip = new ZipFile(up + names.get(0))) {
                    checkEq(3, zip.size(), "entries");
                    check(zip.getEntry("batch.txt") != null, "related file packed");
                }
            }
        });

        test("a failure reply throws its code and description", () -> {
            try (Sim sim = new Sim("--ret-code", "0xA3=6")) {
                DcjException e = expectFailure(() -> driver.counts(IP, sim.port));
                checkEq("ECPWSCOM0013", e.getCode(), "code");
                checkEq("硬件故障", e.getDescription(), "description");
                check(e.getReply() != null, "reply kept");
            }
            int closed;
            try (Sim sim = new Sim()) {
                closed = sim.port;
                sim.stop();
            }
            final int port = closed;
            checkEq("ECPWSDCJ0002", expectFailure(() -> driver.clearCounts(IP, port, 2)).getCode(), "refused");
            checkEq("03", driver.status(IP, port).get("status"), "unreachable");
            checkEq("ECPWSCOM0005", expectFailure(() -> driver.download("", port, "/tmp/u/", "/tmp/t/", INST, EMP)).getCode(), "no ip");
            Map<String, Object> common = new LinkedHashMap<>();
            common.put("funcName", "getdevstatus");
            Map<String, Object> request = new LinkedHashMap<>();
            request.put("commonArgs", common);
            checkEq("", expectFailure(() -> driver.call(request)).getCode(), "blank reply");
        });

        test("a download too large for the first buffer is fetched again and confirmed once", () -> {
            String up = dir("big-up"), tmp = dir("big-tmp");
            String inst = "4".repeat(39), emp = "1".repeat(39);  // about 130 bytes a name
            try (Sim sim = new Sim("--generate", "900", "--packet-size", "16", "--keep-files")) {
                List<String> names = driver.download(IP, sim.port, up, tmp, inst, emp, null, 60);
                checkEq("01", driver.status(IP, sim.port).get("status"), "status after");
                // The thread's next download starts at the size this one needed.
                List<String> again = driver.download(IP, sim.port, up, tmp, inst, emp, null, 60);
                List<String> log = sim.stop();
                checkEq(900, names.size(), "files");
                checkEq(900L, names.stream().distinct().count(), "distinct");
                checkEq(sorted(names), listing(up), "upload folder");
                checkEq(names, again, "second download");
                checkEq(3L, exchanges(log, "0xA1"), "downloads");
                checkEq(2L, exchanges(log, "0xA6"), "confirmations");
            }
        });

        test("a clear is sent once, with a buffer its reply fits", () -> {
            String sn = "s".repeat(150000);
            try (Sim sim = new Sim()) {
                Map<String, Object> common = new LinkedHashMap<>();
                common.put("funcName", "clearRMBCount");
                common.put("sn", sn);
                Map<String, Object> connect = new LinkedHashMap<>();
                connect.put("ip", IP);
                connect.put("port", Integer.toString(sim.port));
                Map<String, Object> request = new LinkedHashMap<>();
                request.put("commonArgs", common);
                request.put("connectArgs", connect);
                @SuppressWarnings("unchecked")
                Map<String, Object> replyCommon = (Map<String, Object>) driver.call(request).get("retComArgs");
                checkEq(sn, replyCommon.get("sn"), "sn echoed whole");
                checkEq(1L, exchanges(sim.stop(), "0xA4"), "clears");
            }
        });

        test("eight threads at once get their own replies", () -> {
            String up = dir("threads-up"), tmp = dir("threads-tmp");
            ConcurrentLinkedQueue<String> problems = new ConcurrentLinkedQueue<>();
            try (Sim sim = new Sim("--generate", "4", "--denom", "100:1")) {
                List<Thread> threads = new ArrayList<>();
                for (int t = 0; t < 8; t++) {
                    final int index = t;
                    threads.add(new Thread(() -> {
                        try {
                            for (int i = 0; i < 25; i++) {
                                String sn = "t" + index + "-" + i;
                                Map<String, Object> common = new LinkedHashMap<>();
                                common.put("funcName", "getRMBCount");
                                common.put("sn", sn);
                                common.put("timeout", "20");
                                Map<String, Object> connect = new LinkedHashMap<>();
                                connect.put("ip", IP);
                                connect.put("port", Integer.toString(sim.port));
                                Map<String, Object> request = new LinkedHashMap<>();
                                request.put("commonArgs", common);
                                request.put("connectArgs", connect);
                                Map<String, Object> reply = driver.call(request);
                                if (!sn.equals(((Map<?, ?>) reply.get("retComArgs")).get("sn"))
                                    || !"100:1".equals(((Map<?, ?>) reply.get("retBizArgs")).get("realCash"))) {
                                    problems.add("thread " + index + " call " + i + ": " + reply);
                                }
                            }
                            if (index == 0 && driver.download(IP, sim.port, up, tmp, INST, EMP, null, 20).size() != 4) {
                                problems.add("download did not list 4 files");
                            }
                        } catch (Throwable e) {
                            problems.add("thread " + index + ": " + e);
                        }
                    }));
                }
                for (Thread t : threads) t.start();
                for (Thread t : threads) t.join();
            }
            checkEq("[]", problems.toString(), "problems");
            checkEq(4, listing(up).size(), "files delivered");
        });

        test("the request text is UTF-8 with its zero byte", () -> {
            // A request that ends exactly where a reused, longer request
            // buffer still holds older bytes: only the zero byte ends it.
            try (Sim sim = new Sim()) {
                Map<String, Object> common = new LinkedHashMap<>();
                common.put("funcName", "getRMBCount");
                common.put("sn", "x".repeat(3000) + "中");
                Map<String, Object> connect = new LinkedHashMap<>();
                connect.put("ip", IP);
                connect.put("port", Integer.toString(sim.port));
                Map<String, Object> request = new LinkedHashMap<>();
                request.put("commonArgs", common);
                request.put("connectArgs", connect);
                driver.call(request);
                common.put("sn", "short");
                Map<?, ?> replyCommon = (Map<?, ?>) driver.call(request).get("retComArgs");
                checkEq("short", replyCommon.get("sn"), "sn");
                // Quotes, backslashes, slashes and control characters survive
                // the request's JSON and the reply's.
                String odd = "a\"b\\c/d\te\u0001f\n";
                common.put("sn", odd);
                replyCommon = (Map<?, ?>) driver.call(request).get("retComArgs");
                checkEq(odd, replyCommon.get("sn"), "sn with escapes");
            }
        });

        test("a lone surrogate is refused before the counter is contacted", () -> {
            String up = dir("surrogate-up"), tmp = dir("surrogate-tmp");
            List<String> log;
            try (Sim sim = new Sim("--generate", "2")) {
                DcjException e = expectFailure(() -> driver.download(IP, sim.port, up, tmp, "442\uD800", EMP));
                check(e.getMessage().contains("not encodable"), e.getMessage());
                log = sim.stop();
            }
            check(log.stream().noneMatch(l -> l.contains("0xA1") || l.contains("0xA6")), "the counter was contacted: " + log);
            checkEq(0, listing(up).size(), "files delivered");
        });

        test("a driver path that names no file is refused, never looked for on the class path", () -> {
            // JNA looks for a missing library among the class path's
            // resources: a copy planted there under the path must not load.
            Path planted = root.resolve("planted");
            Path copy = planted.resolve("opt-absent-dcj/lib/MERV_DCJ_QOLT.so");
            Files.createDirectories(copy.getParent());
            Files.copy(Paths.get(System.getenv("DCJ_DRIVER")), copy);
            String tests = Paths.get(DcjDriverTest.class.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
            Process jvm = new ProcessBuilder(System.getenv("DCJ_JAVA"), "-cp",
                planted + ":" + tests + ":" + System.getenv("DCJ_CLASSPATH"), "dcj.DcjDriverTest", "--load",
                "/opt-absent-dcj/lib/MERV_DCJ_QOLT.so").redirectErrorStream(true).start();
            String said = new String(jvm.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
            check(jvm.waitFor(60, TimeUnit.SECONDS), "the JVM did not end");
            checkEq("refused: no driver at /opt-absent-dcj/lib/MERV_DCJ_QOLT.so", said, "what the JVM loaded");
        });

        test("the library's classes load on a Java 8 runtime", () -> {
            try (java.io.InputStream in = DcjDriver.class.getResourceAsStream("DcjDriver.class")) {
                byte[] head = new byte[8];
                checkEq(8, in.read(head), "class file head");
                int major = (head[6] & 0xFF) << 8 | (head[7] & 0xFF);
                check(major <= 52, "class file version " + major + " needs a newer runtime than Java 8");
            }
        });

        try (Stream<Path> all = Files.walk(root)) {
            all.sorted(Collections.reverseOrder()).forEach(p -> p.toFile().delete());
        }
        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }
}
