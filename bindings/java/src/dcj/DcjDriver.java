package dcj;

import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.Pointer;

import java.io.File;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CharsetEncoder;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.time.LocalDateTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;

/**
 * MERV_DCJ_QOLT.so as a Java host sees it, through JNA.
 *
 * <p>Thread-safe: each thread has its own native reply buffer, kept between
 * calls and grown when a reply does not fit. Make one instance and keep it:
 * every instance keeps such buffers for each thread that used it. Calls from several threads run
 * one at a time on the device; a call that waits for the device longer than
 * its own time-out fails with ECPWSDCJ0002. Failure replies throw
 * {@link DcjException}.
 *
 * <p>The driver's log settings (VDXLOG_FILE, VDXLOG_LEVEL, ...) are read
 * from the environment when the library loads: give them to the JVM at
 * launch, a JVM cannot set its own environment.
 */
public final class DcjDriver {
    public static final String SUCCESS = "ECPWS0000000";
    public static final String BUFFER_TOO_SMALL = "ECPWSCOM0009";
    public static final String NO_FILES = "ECPWSDCJ0001";
    public static final String INSTALLED_DRIVER = "/opt/qolt-dcj/lib/MERV_DCJ_QOLT.so";

    /** The buffer a host usually passes, and the most a download's retry grows it to. */
    public static final int FIRST_BUFFER = 102400;
    public static final int LARGEST_BUFFER = 64 * 1024 * 1024;

    /**
     * Sent again with a larger buffer after ECPWSCOM0009. A download whose reply
     * did not fit was not confirmed, so the counter still has its files and the
     * next call delivers them again; setTime sets the same value again. The two
     * clears are never repeated: this driver does not send a clear whose reply
     * might not fit, but an earlier build had cleared already, and a second
     * clear could wipe what the counter took in meanwhile. Their buffer is
     * sized beforehand instead.
     */
    public static final Set<String> REPEATABLE =
        Collections.unmodifiableSet(new HashSet<>(Arrays.asList("getDevStatus", "getRMBCount", "setTime", "getAllFSNFiles")));

    /** The one entry point; the request must end in a zero byte, iInDataLen is ignored. */
    interface Entry extends Library {
        void doCommand(int iSynFlag, int iInDataLen, Pointer pchInData, int iOutDataLen, Pointer pchOutData);
    }

    /** One thread's native buffers, reused from call to call. */
    private static final class Buffers {
        Memory in;
        Memory out;
        int outSize;
        int remembered;  // what the thread's last download needed
    }

    private final String path;
    private final Entry lib;
    private final ThreadLocal<Buffers> buffers = ThreadLocal.withInitial(Buffers::new);

    /** Loads the driver from {@link #defaultPath()}. */
    public DcjDriver() {
        this(defaultPath());
    }

    /**
     * Loads the driver from path (a relative path counts from the working
     * folder). A path that names no file is refused: JNA would otherwise look
     * for the same name among the class path's resources, and load whatever
     * library someone put there.
     */
    public DcjDriver(String path) {
        File file = new File(path).getAbsoluteFile();
        if (!file.isFile()) throw new UnsatisfiedLinkError("no driver at " + file);
        this.path = file.getPath();
        this.lib = Native.load(this.path, Entry.class);
    }

    /**
     * $DCJ_DRIVER; else the system property dcj.driver; else ../lib/MERV_DCJ_QOLT.so
     * from this jar's folder when there is one (the build's build/java/dcj.jar);
     * else the installed /opt/qolt-dcj/lib/MERV_DCJ_QOLT.so.
     */
    public static String defaultPath() {
        String named = System.getenv("DCJ_DRIVER");
        if (named != null && !named.isEmpty()) return named;
        named = System.getProperty("dcj.driver");
        if (named != null && !named.isEmpty()) return named;
        try {
            File jar = new File(DcjDriver.class.getProtectionDomain().getCodeSource().getLocation().toURI());
            File beside = new File(jar.getParentFile(), "../lib/MERV_DCJ_QOLT.so");
            if (jar.isFile() && beside.isFile()) return beside.getCanonicalPath();
        } catch (Exception unknownOrigin) {
            // no code source (or not a file): the installed driver
        }
        return INSTALLED_DRIVER;
    }

    public String getPath() {
        return path;
    }

    /**
     * getDevStatus: DRVVersion, FIRVersion, status ("01" ready, "03"
     * unreachable, "04" hardware fault, "" unknown), devSn, extStatus. The
     * device's state is in status, never an exception. The driver always
     * waits 3 s here.
     */
    public Map<String, String> status(String ip, int port) {
        return device("getDevStatus", ip, port, null, null);
    }

    public Map<String, String> status(String ip, int port, Integer timeout) {
        return device("getDevStatus", ip, port, timeout, null);
    }

    public Map<String, String> counts(String ip, int port) {
        return counts(ip, port, null);
    }

    /** getRMBCount: realCash and rejCash as the counter reports them. */
    public Map<String, String> counts(String ip, int port, Integer timeout) {
        return device("getRMBCount", ip, port, timeout, null);
    }

    public void clearCounts(String ip, int port) {
        clearCounts(ip, port, null);
    }

    /** clearRMBCount. Never repeated. */
    public void clearCounts(String ip, int port, Integer timeout) {
        device("clearRMBCount", ip, port, timeout, null);
    }

    public void setTime(String ip, int port) {
        setTime(ip, port, null, null);
    }

    /** setTime to time (the counter's 16-byte text, "yyyyMMddHHmmss"); now when null. */
    public void setTime(String ip, int port, Integer timeout, String time) {
        if (time == null) time = LocalDateTime.now().format(DateTimeFormatter.ofPattern("yyyyMMddHHmmss"));
        Map<String, Object> biz = new LinkedHashMap<>();
        biz.put("time", time);
        device("setTime", ip, port, timeout, biz);
    }

    public void clearFiles(String ip, int port) {
        clearFiles(ip, port, null);
    }

    /** clearAllFSNFiles: the counter drops its FSN files. Never repeated. */
    public void clearFiles(String ip, int port, Integer timeout) {
        device("clearAllFSNFiles", ip, port, timeout, null);
    }

    public List<String> download(String ip, int port, String uploadDir, String tempDir, String instNo, String empNo) {
        return download(ip, port, uploadDir, tempDir, instNo, empNo, null, null);
    }

    /**
     * getAllFSNFiles into uploadDir (working folder tempDir + "QOLT/"). Returns
     * the delivered file names; with related (a file packed along), a list of
     * the one zip archive's name. A counter without files throws with code
     * NO_FILES. Folder names should end in "/".
     */
    public List<String> download(String ip, int port, String uploadDir, String tempDir, String instNo, String empNo,
                                 String related, Integer timeout) {
        Map<String, Object> biz = new LinkedHashMap<>();
        biz.put("instNo", instNo);
        biz.put("empNo", empNo);
        biz.put("uploadDir", uploadDir);
        biz.put("tempDir", tempDir);
        if (related != null) biz.put("relativeFilePath", related);
        String files = device("getAllFSNFiles", ip, port, timeout, biz).getOrDefault("fsnFiles", "");
        // A name the counter sent twice is one file on disk, holding both.
        return files.isEmpty() ? new ArrayList<>() : new ArrayList<>(new LinkedHashSet<>(Arrays.asList(files.split("\\|", -1))));
    }

    /**
     * Any request (commonArgs, connectArgs, bizArgs as maps). Returns the whole
     * reply; throws DcjException on any retCode but success.
     */
    public Map<String, Object> call(Map<String, ?> request) {
        Object func = firstValue(request, "funcName");
        byte[] text = utf8(Json.write(request));
        return checked(exchange(text, func != null && REPEATABLE.contains(func.toString()), "getAllFSNFiles".equals(func)));
    }

    /**
     * One request text (UTF-8, without the zero byte) to the reply text, in
     * this thread's buffer. After ECPWSCOM0009 a repeatable request is sent
     * again with a buffer four times larger, up to LARGEST_BUFFER; any other
     * request gets a buffer its reply fits in the first time.
     */
    public String exchange(byte[] request, boolean repeatable) {
        return exchange(request, repeatable, false);
    }

    /**
     * As {@link #exchange(byte[], boolean)}; with remember (downloads), the
     * thread's next such call starts at the size this one needed.
     */
    public String exchange(byte[] request, boolean repeatable, boolean remember) {
        Buffers b = buffers.get();
        // The driver reads the request up to its zero byte.
        if (b.in == null || b.in.size() < request.length + 1L) b.in = new Memory(Math.max(4096, request.length + 1L));
        b.in.write(0, request, 0, request.length);
        b.in.setByte(request.length, (byte) 0);
        // Only the size a call may need is handed over: the reply is read up
        // to its zero byte, whatever the rest of the buffer holds.
        int size = Math.max(leastBuffer(request.length), remember ? b.remembered : 0);
        while (true) {
            Memory out = outBuffer(b, size);
            out.setByte(size, (byte) 0);  // a reply that fills the buffer ends here
            lib.doCommand(0, request.length, b.in, size, out);
            long length = out.indexOf(0, (byte) 0);
            String reply = new String(out.getByteArray(0, (int) length), StandardCharsets.UTF_8);
            if (!repeatable || size >= LARGEST_BUFFER || !reply.startsWith("{\"retComArgs\":{\"retCode\":\"" + BUFFER_TOO_SMALL + "\"")) {
                if (remember) b.remembered = size;
                return reply;
            }
            size = (int) Math.min(4L * size, LARGEST_BUFFER);
        }
    }

    /**
     * The request's bytes. A lone surrogate has no UTF-8: String.getBytes
     * would send '?' in its place, and files would be named (and the
     * counter's copies dropped) under a number the host never gave.
     */
    private static byte[] utf8(String text) {
        CharsetEncoder encoder = StandardCharsets.UTF_8.newEncoder()
            .onMalformedInput(CodingErrorAction.REPORT)
            .onUnmappableCharacter(CodingErrorAction.REPORT);
        try {
            ByteBuffer bytes = encoder.encode(CharBuffer.wrap(text));
            byte[] out = new byte[bytes.remaining()];
            bytes.get(out);
            return out;
        } catch (CharacterCodingException e) {
            throw new DcjException("", "request text not encodable: a lone surrogate in a text");
        }
    }

    /**
     * A reply other than a download's is a fixed document (under 1 KiB) plus
     * the request's sn, each request byte taking at most 6 bytes.
     */
    private static int leastBuffer(int requestLength) {
        return (int) Math.min(Integer.MAX_VALUE - 1L, Math.max(FIRST_BUFFER, 4096L + 6L * requestLength));
    }

    private static Memory outBuffer(Buffers b, int size) {
        if (b.outSize < size) {
            b.out = new Memory(size + 1L);  // one more, for the zero after a full reply
            b.outSize = size;
        }
        return b.out;
    }

    private Map<String, String> device(String func, String ip, int port, Integer timeout, Map<String, Object> biz) {
        Map<String, Object> common = new LinkedHashMap<>();
        common.put("devKind", "DCJ");
        common.put("devBrand", "QOLT");
        common.put("funcName", func);
        if (timeout != null) common.put("timeout", timeout.toString());
        Map<String, Object> connect = new LinkedHashMap<>();
        connect.put("ip", ip);
        connect.put("port", Integer.toString(port));
        Map<String, Object> request = new LinkedHashMap<>();
        request.put("commonArgs", common);
        request.put("connectArgs", connect);
        request.put("bizArgs", biz == null ? new LinkedHashMap<>() : biz);
        Object bizReply = call(request).get("retBizArgs");
        Map<String, String> result = new LinkedHashMap<>();
        if (bizReply instanceof Map) {
            for (Map.Entry<?, ?> e : ((Map<?, ?>) bizReply).entrySet()) result.put(e.getKey().toString(), String.valueOf(e.getValue()));
        }
        return result;
    }

    @SuppressWarnings("unchecked")
    private static Map<String, Object> checked(String text) {
        if (text.trim().isEmpty()) {
            throw new DcjException("", text.isEmpty() ? "empty reply"
                : "blank reply: unknown funcName or a request that is not a JSON object");
        }
        Object parsed;
        try {
            parsed = Json.parse(text);
        } catch (IllegalArgumentException e) {
            throw new DcjException("", "unreadable reply: " + text.substring(0, Math.min(200, text.length())));
        }
        Object common = parsed instanceof Map ? ((Map<String, Object>) parsed).get("retComArgs") : null;
        Object code = common instanceof Map ? ((Map<String, Object>) common).get("retCode") : null;
        if (code == null) throw new DcjException("", "reply without retCode: " + text.substring(0, Math.min(200, text.length())));
        Map<String, Object> reply = (Map<String, Object>) parsed;
        if (!SUCCESS.equals(code)) {
            Object desc = ((Map<String, Object>) common).get("errDesc");
            throw new DcjException(code.toString(), desc == null ? "" : desc.toString(), reply);
        }
        return reply;
    }

    /**
     * The first member named key at any depth, in order, as the driver reads
     * what Json.write makes of the request: members of objects only (nothing
     * inside an array), a name and a text end at their first NUL, a whole
     * number in 32 bits counts as its digits, null and booleans are passed
     * over.
     */
    private static Object firstValue(Object node, String key) {
        if (!(node instanceof Map)) return null;
        for (Map.Entry<?, ?> e : ((Map<?, ?>) node).entrySet()) {
            Object v = e.getValue();
            if (v instanceof Map) {
                Object found = firstValue(v, key);
                if (found != null) return found;
                continue;
            }
            if (v == null || v instanceof List || v instanceof Boolean || !key.equals(beforeNul(String.valueOf(e.getKey())))) continue;
            if (v instanceof Integer || v instanceof Long) {
                long n = ((Number) v).longValue();
                if (n >= Integer.MIN_VALUE && n <= Integer.MAX_VALUE) return Long.toString(n);
                continue;
            }
            return beforeNul(v.toString());
        }
        return null;
    }

    private static String beforeNul(String s) {
        int nul = s.indexOf('\0');
        return nul < 0 ? s : s.substring(0, nul);
    }
}
