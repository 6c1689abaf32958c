package dcj;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** The little JSON the driver speaks: objects, arrays, strings, numbers, literals. */
final class Json {
    private final String text;
    private int at;

    private Json(String text) {
        this.text = text;
    }

    /** Parses one JSON value; IllegalArgumentException when the text is not one. */
    static Object parse(String text) {
        Json json = new Json(text);
        json.skipBlanks();
        Object value = json.value(0);
        json.skipBlanks();
        if (json.at != text.length()) throw json.error("text after the value");
        return value;
    }

    /** Writes maps, lists, strings, numbers, booleans and null; other values as their text. */
    static String write(Object value) {
        StringBuilder out = new StringBuilder();
        write(value, out);
        return out.toString();
    }

    private static void write(Object value, StringBuilder out) {
        if (value instanceof Map) {
            out.append('{');
            boolean first = true;
            for (Map.Entry<?, ?> entry : ((Map<?, ?>) value).entrySet()) {
                if (!first) out.append(',');
                first = false;
                writeString(String.valueOf(entry.getKey()), out);
                out.append(':');
                write(entry.getValue(), out);
            }
            out.append('}');
        } else if (value instanceof List) {
            out.append('[');
            boolean first = true;
            for (Object item : (List<?>) value) {
                if (!first) out.append(',');
                first = false;
                write(item, out);
            }
            out.append(']');
        } else if (value == null || value instanceof Boolean || value instanceof Integer || value instanceof Long) {
            out.append(value);
        } else {
            writeString(value.toString(), out);
        }
    }

    private static void writeString(String s, StringBuilder out) {
        out.append('"');
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c == '"' || c == '\\') {
                out.append('\\').append(c);
            } else if (c < 0x20) {
                out.append(String.format("\\u%04x", (int) c));
            } else {
                out.append(c);
            }
        }
        out.append('"');
    }

    // Nesting is bounded, so a hostile reply cannot exhaust the stack.
    private static final int MAX_DEPTH = 64;

    private Object value(int depth) {
        if (depth > MAX_DEPTH) throw error("nested too deep");
        if (at >= text.length()) throw error("value expected");
        char c = text.charAt(at);
        if (c == '{') return object(depth);
        if (c == '[') return array(depth);
        if (c == '"') return string();
        if (text.startsWith("true", at)) return literal("true", Boolean.TRUE);
        if (text.startsWith("false", at)) return literal("false", Boolean.FALSE);
        if (text.startsWith("null", at)) return literal("null", null);
        return number();
    }

    private Object literal(String word, Object value) {
        at += word.length();
        return value;
    }

    private Map<String, Object> object(int depth) {
        Map<String, Object> map = new LinkedHashMap<>();
        at++;
        skipBlanks();
        if (peek('}')) return map;
        do {
            skipBlanks();
            if (!peekChar('"')) throw error("member name expected");
            String key = string();
            skipBlanks();
            expect(':');
            skipBlanks();
            Object value = value(depth + 1);
            if (!map.containsKey(key)) map.put(key, value);  // the first occurrence wins, as in the driver
            skipBlanks();
        } while (peek(','));
        expect('}');
        return map;
    }

    private List<Object> array(int depth) {
        List<Object> list = new ArrayList<>();
        at++;
        skipBlanks();
        if (peek(']')) return list;
        do {
            skipBlanks();
            list.add(value(depth + 1));
            skipBlanks();
        } while (peek(','));
        expect(']');
        return list;
    }

    private String string() {
        StringBuilder out = new StringBuilder();
        at++;
        while (true) {
            if (at >= text.length()) throw error("unterminated string");
            char c = text.charAt(at++);
            if (c == '"') return out.toString();
            if (c != '\\') {
                out.append(c);
                continue;
            }
            if (at >= text.length()) throw error("unterminated escape");
            char e = text.charAt(at++);
            switch (e) {
                case 'b': out.append('\b'); break;
                case 'f': out.append('\f'); break;
                case 'n': out.append('\n'); break;
                case 'r': out.append('\r'); break;
                case 't': out.append('\t'); break;
                case 'u':
                    if (at + 4 > text.length()) throw error("short \\u escape");
                    try {
                        out.append((char) Integer.parseInt(text.substring(at, at + 4), 16));
                    } catch (NumberFormatException ex) {
                        throw error("bad \\u escape");
                    }
                    at += 4;
                    break;
                default: out.append(e);
            }
        }
    }

    private Object number() {
        int start = at;
        while (at < text.length() && "+-0123456789.eE".indexOf(text.charAt(at)) >= 0) at++;
        String digits = text.substring(start, at);
        if (digits.isEmpty()) throw error("value expected");
        try {
            return Long.valueOf(digits);
        } catch (NumberFormatException notWhole) {
            try {
                return Double.valueOf(digits);
            } catch (NumberFormatException ex) {
                throw error("bad number");
            }
        }
    }

    private void skipBlanks() {
        while (at < text.length() && " \t\r\n".indexOf(text.charAt(at)) >= 0) at++;
    }

    private boolean peekChar(char c) {
        return at < text.length() && text.charAt(at) == c;
    }

    private boolean peek(char c) {
        if (!peekChar(c)) return false;
        at++;
        return true;
    }

    private void expect(char c) {
        if (!peek(c)) throw error("'" + c + "' expected");
    }

    private IllegalArgumentException error(String why) {
        return new IllegalArgumentException("JSON: " + why + " at " + at);
    }
}
