// GBK to UTF-8 conversion.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Basic/CancelDeferred.h"
#include "ForkSafety.h"
#include "MERV_QOLT_DCJ.h"

namespace dcjtext {

namespace {

// GBK as the C library reads it, copied into tables once, from its own
// converter. A conversion never opens a converter after that: opening one
// takes the C library's converter lock, which a child forked while another
// thread held it never gets back. The tables are filled at the first
// conversion or the first fork, whichever comes first, under the fork gate
// (so no child inherits a filling half done), and never while the library
// loads (the loader's lock and the converter lock are taken in the other
// order when a converter's module loads). Without the converter the tables
// stay empty and every byte that is not ASCII reads as not GBK.
constexpr unsigned kLeadFirst = 0x81, kLeadLast = 0xFE;
constexpr unsigned kTrailFirst = 0x40, kTrailLast = 0xFE;
constexpr unsigned kTrails = kTrailLast - kTrailFirst + 1;

struct GbkTables {
    uint16_t pair[kLeadLast - kLeadFirst + 1][kTrails];  // 0: not a character
    uint16_t single[0x80];                                // bytes 0x80..0xFF
};
GbkTables g_gbk;

// Each character converts to one UTF-32 unit, so the input read says which
// unit belongs to which pair; an unreadable pair is skipped. A converter
// that made anything else of a pair leaves the rest of that row unread (not
// GBK).
void FillRow(iconv_t conv, unsigned lead)
{
    char in[2 * kTrails];
    for (unsigned t = 0; t < kTrails; ++t) {
        in[2 * t] = static_cast<char>(lead);
        in[2 * t + 1] = static_cast<char>(kTrailFirst + t);
    }
    uint32_t out[kTrails];
    for (unsigned at = 0; at < kTrails;) {
        char* from = in + 2 * at;
        size_t inLeft = 2 * (kTrails - at);
        char* to = reinterpret_cast<char*>(out);
        size_t outLeft = sizeof(out);
        iconv(conv, nullptr, nullptr, nullptr, nullptr);
        const size_t rc = iconv(conv, &from, &inLeft, &to, &outLeft);
        const size_t read = static_cast<size_t>(from - (in + 2 * at)) / 2;
        if (static_cast<size_t>(to - reinterpret_cast<char*>(out)) != read * 4) return;  // not one unit each
        for (size_t k = 0; k < read; ++k) {
            if (out[k] > 0 && out[k] <= 0xFFFF) g_gbk.pair[lead - kLeadFirst][at + k] = static_cast<uint16_t>(out[k]);
        }
        at += static_cast<unsigned>(read);
        if (rc != static_cast<size_t>(-1)) break;
        ++at;  // the pair iconv stopped at is not GBK
    }
}

void FillSingle(iconv_t conv, unsigned byte)
{
    char in = static_cast<char>(byte);
    char* from = &in;
    size_t inLeft = 1;
    uint32_t out[2] = {0, 0};
    char* to = reinterpret_cast<char*>(out);
    size_t outLeft = sizeof(out);
    iconv(conv, nullptr, nullptr, nullptr, nullptr);
    if (iconv(conv, &from, &inLeft, &to, &outLeft) != static_cast<size_t>(-1) && inLeft == 0 &&
        to == reinterpret_cast<char*>(out) + 4 && out[0] > 0 && out[0] <= 0xFFFF) {
        g_gbk.single[byte - 0x80] = static_cast<uint16_t>(out[0]);
    }
}

std::atomic<bool> g_gbkFilled{false};

// Whether the process may open one more file now.
bool DescriptorFree()
{
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    return fd >= 0 || (errno != EMFILE && errno != ENFILE);
}

void FillTables()
{
    if (g_gbkFilled.load(std::memory_order_relaxed)) return;
    const int savedErrno = errno;
    // The C library reads its list of converters once in a process: read
    // while no descriptor is free, the list stays empty for good, and every
    // later reply (and the host's own conversions) would lose their text.
    // So not now: the next conversion tries again.
    // Tried at most once a second: a system without the converter would
    // otherwise pay for a try at every conversion.
    static std::atomic<time_t> lastTry{-1};
    const time_t now = time(nullptr);
    if (now == lastTry.load(std::memory_order_relaxed) || !DescriptorFree()) {
        errno = savedErrno;
        return;
    }
    lastTry.store(now, std::memory_order_relaxed);
    iconv_t conv = iconv_open("UTF-32LE", "GBK");
    // Not opened for want of memory, say: tried again too.
    const bool opened = conv != reinterpret_cast<iconv_t>(-1);
    if (opened) {
        for (unsigned lead = kLeadFirst; lead <= kLeadLast; ++lead) FillRow(conv, lead);
        for (unsigned byte = 0x80; byte <= 0xFF; ++byte) FillSingle(conv, byte);
        iconv_close(conv);
    }
    errno = savedErrno;
    if (opened) g_gbkFilled.store(true, std::memory_order_release);
}

void NeedTables()
{
    if (!g_gbkFilled.load(std::memory_order_acquire)) dcjfork::UnderGate(FillTables);
}

// The character at p: its length (1 or 2) and code point, or 0 when the
// bytes there are not GBK.
size_t Decode(const unsigned char* p, size_t left, uint32_t* cp)
{
    if (p[0] < 0x80) {
        *cp = p[0];
        return 1;
    }
    if (p[0] >= kLeadFirst && p[0] <= kLeadLast && left >= 2 && p[1] >= kTrailFirst && p[1] <= kTrailLast) {
        const uint16_t c = g_gbk.pair[p[0] - kLeadFirst][p[1] - kTrailFirst];
        if (c != 0) {
            *cp = c;
            return 2;
        }
    }
    *cp = g_gbk.single[p[0] - 0x80];
    return *cp != 0 ? 1 : 0;
}

// Code points from the tables are in the Basic Multilingual Plane.
size_t PutUtf8(uint32_t cp, char* out)
{
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
}

constexpr uint32_t kReplacement = 0xFFFD;

// How many bytes from p on are ASCII, eight at a time where it can.
size_t AsciiRun(const unsigned char* p, size_t len)
{
    size_t n = 0;
    for (uint64_t word; n + 8 <= len; n += 8) {
        memcpy(&word, p + n, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (n < len && p[n] < 0x80) ++n;
    return n;
}

// Converts into dst, at most cap bytes of whole characters; every byte
// that is not GBK becomes U+FFFD (strict: ends the conversion there). The
// bytes written; *whole says whether all of the input went in.
size_t ConvertInto(const char* data, size_t len, bool strict, char* dst, size_t cap, bool* whole)
{
    NeedTables();
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    size_t written = 0;
    *whole = true;
    for (size_t at = 0; at < len;) {
        // A run of ASCII is itself in UTF-8 (most of a reply is).
        const size_t ascii = AsciiRun(in + at, len - at);
        const size_t run = ascii < cap - written ? ascii : cap - written;
        if (run > 0) {
            memcpy(dst + written, in + at, run);
            written += run;
            at += run;
            continue;
        }
        if (in[at] < 0x80) {  // no room left
            *whole = false;
            break;
        }
        uint32_t cp;
        size_t n = Decode(in + at, len - at, &cp);
        if (n == 0) {
            *whole = false;
            if (strict) break;
            cp = kReplacement;
            n = 1;
        }
        char bytes[3];
        const size_t size = PutUtf8(cp, bytes);
        if (cap - written < size) {
            *whole = false;
            break;
        }
        memcpy(dst + written, bytes, size);
        written += size;
        at += n;
    }
    return written;
}

// The same, appended to out: at most 3 bytes out for each byte in.
bool Convert(const char* data, size_t len, bool strict, std::string* out)
{
    const size_t start = out->size();
    out->resize(start + 3 * len);
    bool whole;
    out->resize(start + ConvertInto(data, len, strict, &(*out)[start], 3 * len, &whole));
    return whole;
}

// GBK and UTF-8 share the ASCII bytes: text of nothing else converts to
// itself.
bool IsAscii(const char* data, size_t len)
{
    return AsciiRun(reinterpret_cast<const unsigned char*>(data), len) == len;
}

void ConvertAppend(const char* data, size_t len, std::string* out)
{
    if (IsAscii(data, len)) {
        out->append(data, len);
        return;
    }
    Convert(data, len, false, out);
}

// A reply whose every non-ASCII byte pairs with the next into a GBK
// character of two non-ASCII bytes, without \u escapes: no character takes
// in a quotation mark, a backslash or a bracket, the JSON around the strings
// is plain ASCII, and converting the reply whole gives what converting each
// string gives. Converted in one pass; false (out unusable) when a byte
// breaks the rule.
bool ConvertPairedWhole(const std::string& text, std::string* out)
{
    NeedTables();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t len = text.size();
    out->clear();
    out->reserve(len + len / 2 + 1);  // two bytes become at most three
    for (size_t at = 0;;) {
        const size_t run = AsciiRun(p + at, len - at);
        out->append(text.data() + at, run);
        at += run;
        if (at == len) return true;
        uint32_t cp;
        if (at + 1 >= len || p[at] == 0x80 || p[at] == 0xFF || p[at + 1] < 0x80 || p[at + 1] == 0xFF ||
            Decode(p + at, 2, &cp) != 2) {
            return false;
        }
        char bytes[3];
        out->append(bytes, PutUtf8(cp, bytes));
        at += 2;
    }
}

// Re-writes a reply document with every string converted on its own.
class Utf8Rewriter : public rapidjson::Writer<rapidjson::StringBuffer> {
public:
    explicit Utf8Rewriter(rapidjson::StringBuffer& buf) : rapidjson::Writer<rapidjson::StringBuffer>(buf) {}

    bool String(const char* str, rapidjson::SizeType length, bool copy = false)
    {
        Reconvert(str, length);
        return rapidjson::Writer<rapidjson::StringBuffer>::String(m_text.data(),
                                                                  static_cast<rapidjson::SizeType>(m_text.size()), copy);
    }
    bool Key(const char* str, rapidjson::SizeType length, bool copy = false)
    {
        Reconvert(str, length);
        return rapidjson::Writer<rapidjson::StringBuffer>::Key(m_text.data(),
                                                               static_cast<rapidjson::SizeType>(m_text.size()), copy);
    }

    // Numbers pass through as written: one beyond a double's range could
    // not be written back, and the whole reply would fall back to plain text.
    bool RawNumber(const char* str, rapidjson::SizeType length, bool)
    {
        return RawValue(str, length, rapidjson::kNumberType);
    }

private:
    void Reconvert(const char* str, size_t length)
    {
        m_text.clear();
        ConvertAppend(str, length, &m_text);
    }
    std::string m_text;
};

}  // namespace

void FillGbkTables()
{
    NeedTables();
}

void AppendCanonicalGbk(const char* data, size_t len, std::string* out)
{
    if (IsAscii(data, len)) {
        out->append(data, len);
        return;
    }
    NeedTables();
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    for (size_t at = 0; at < len;) {
        uint32_t cp;
        const size_t n = Decode(in + at, len - at, &cp);
        if (n == 0) {
            out->push_back('\xFF');  // no GBK character holds it
            ++at;
        } else {
            out->append(data + at, n);
            at += n;
        }
    }
}

namespace {

// The UTF-8 character at p: its length and code point, or 0 when the bytes
// there are not one (overlong forms and surrogates included).
size_t DecodeUtf8(const unsigned char* p, size_t left, uint32_t* cp)
{
    const unsigned char b = p[0];
    size_t n;
    uint32_t c, min;
    if (b < 0x80) {
        *cp = b;
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        n = 2, c = b & 0x1Fu, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3, c = b & 0x0Fu, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4, c = b & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (left < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3Fu);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *cp = c;
    return n;
}

// Code point to GBK, filled from the tables above at the first host text
// beyond ASCII: a pair as lead << 8 | trail, a single byte as itself, 0 for
// none. Where GBK has two forms, the first in table order.
uint16_t g_toGbk[0x10000];
std::atomic<bool> g_toGbkFilled{false};

void FillToGbk()
{
    // Made from the tables only once they are: never from empty ones.
    if (g_toGbkFilled.load(std::memory_order_relaxed) || !g_gbkFilled.load(std::memory_order_acquire)) return;
    for (unsigned lead = kLeadFirst; lead <= kLeadLast; ++lead) {
        for (unsigned t = 0; t < kTrails; ++t) {
            const uint16_t cp = g_gbk.pair[lead - kLeadFirst][t];
            if (cp >= 0x80 && g_toGbk[cp] == 0) g_toGbk[cp] = static_cast<uint16_t>(lead << 8 | (kTrailFirst + t));
        }
    }
    for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
        const uint16_t cp = g_gbk.single[byte - 0x80];
        if (cp >= 0x80 && g_toGbk[cp] == 0) g_toGbk[cp] = static_cast<uint16_t>(byte);
    }
    g_toGbkFilled.store(true, std::memory_order_release);
}

// The GBK bytes of a code point, appended; false when GBK has none.
bool AppendGbkOf(uint32_t cp, std::string* out)
{
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
        return true;
    }
    const uint16_t gbk = cp <= 0xFFFF ? g_toGbk[cp] : 0;
    if (gbk == 0) return false;
    if (gbk > 0xFF) out->push_back(static_cast<char>(gbk >> 8));
    out->push_back(static_cast<char>(gbk & 0xFF));
    return true;
}

}  // namespace

bool HostTextToGbk(const char* text, std::string* gbk)
{
    const size_t len = strlen(text);
    gbk->clear();
    if (IsAscii(text, len)) {
        gbk->assign(text, len);
        return true;
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    for (size_t at = 0; at < len;) {
        uint32_t cp;
        const size_t n = DecodeUtf8(in + at, len - at, &cp);
        if (n == 0) {
            gbk->assign(text, len);  // not UTF-8: GBK from a host of old
            return true;
        }
        at += n;
    }
    NeedTables();
    // Under the fork gate, as the tables: no child inherits it half filled.
    if (!g_toGbkFilled.load(std::memory_order_acquire)) dcjfork::UnderGate(FillToGbk);
    for (size_t at = 0; at < len;) {
        uint32_t cp;
        at += DecodeUtf8(in + at, len - at, &cp);
        if (!AppendGbkOf(cp, gbk)) return false;
    }
    return true;
}

std::string CanonicalGbk(const char* data, size_t len)
{
    std::string out;
    out.reserve(len);
    AppendCanonicalGbk(data, len, &out);
    return out;
}

std::string GbkToUtf8Lenient(const char* data, size_t len)
{
    std::string out;
    ConvertAppend(data, len, &out);
    return out;
}

std::string ReplyToUtf8(const std::string& gbkReply)
{
    if (gbkReply.find("\\u") == std::string::npos) {
        // Plain ASCII is the same text in UTF-8.
        const unsigned char* p = reinterpret_cast<const unsigned char*>(gbkReply.data());
        if (AsciiRun(p, gbkReply.size()) == gbkReply.size()) return gbkReply;
        std::string whole;
        if (ConvertPairedWhole(gbkReply, &whole)) return whole;
    }
    rapidjson::StringBuffer buf;
    Utf8Rewriter writer(buf);
    rapidjson::Reader reader;
    rapidjson::StringStream stream(gbkReply.c_str());
    if (gbkReply.find('\0') == std::string::npos && gbkReply.find('{') != std::string::npos &&
        !reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag>(stream, writer)
             .IsError()) {
        return std::string(buf.GetString(), buf.GetSize());
    }
    return GbkToUtf8Lenient(gbkReply.data(), gbkReply.size());
}

}  // namespace dcjtext

bool GBKToUtf8(char* src_data, const int data_len, char* dest_data)
{
    if (src_data == nullptr || dest_data == nullptr || data_len < 0) return false;
    const CancelDeferred cancelAfterTheCall;  // the first call loads the converter
    // As the C library's converter did: what converts before a byte that is
    // not GBK, or the whole characters that fit, is written all the same.
    bool whole;
    dcjtext::ConvertInto(src_data, static_cast<size_t>(data_len), true, dest_data, dcjtext::kReplyScratchSize, &whole);
    return whole;
}

int GB2312ToUtf8(const char* /*gb2312*/, char* /*utf8*/)
{
    return 0;
}
