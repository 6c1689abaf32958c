package dcj;

import java.util.Map;

/**
 * A failure reply of the driver: {@link #getCode()} is its retCode,
 * {@link #getDescription()} its errDesc. The code is empty when the driver
 * answered no document at all (a blank " " for an unknown funcName or a
 * request that is not a JSON object, or an empty reply).
 */
public class DcjException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    private final String code;
    private final String description;
    private final transient Map<String, Object> reply;

    public DcjException(String code, String description) {
        this(code, description, null);
    }

    public DcjException(String code, String description, Map<String, Object> reply) {
        super(code.isEmpty() ? description : code + " " + description);
        this.code = code;
        this.description = description;
        this.reply = reply;
    }

    /** The reply's retCode, e.g. "ECPWSDCJ0002"; empty when there was no reply document. */
    public String getCode() {
        return code;
    }

    /** The reply's errDesc, e.g. "网络连接失败". */
    public String getDescription() {
        return description;
    }

    /** The whole parsed reply, or null when there was none. */
    public Map<String, Object> getReply() {
        return reply;
    }
}
