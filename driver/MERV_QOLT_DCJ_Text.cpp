// GBK to UTF-8 conversion.
#include <errno.h>
#include <iconv.h>
#include <string.h>

#include <mutex>
#include <new>

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "MERV_QOLT_DCJ.h"

bool GBKToUtf8(char* src_data, const int data_len, char* dest_data)
{
    if (src_data == nullptr || dest_data == nullptr || data_len < 0) return false;
    iconv_t hConv = iconv_open("UTF-8", "GBK");
    if (hConv == reinterpret_cast<iconv_t>(-1)) return false;
    char* in = src_data;
    size_t inLeft = static_cast<size_t>(data_len);
    char* out = dest_data;
    size_t outLeft = dcjtext::kReplyScratchSize;
    const size_t rc = iconv(hConv, &in, &inLeft, &out, &outLeft);
    iconv_close(hConv);
    return rc != static_cast<size_t>(-1);
}

int GB2312ToUtf8(const char* /*gb2312*/, char* /*utf8*/)
{
    return 0;
}

namespace dcjtext {

namespace {

// Opening a descriptor costs more than converting a reply, so one is kept;
// a caller that finds it busy opens its own.
std::mutex g_convMutex;
iconv_t g_conv = reinterpret_cast<iconv_t>(-1);

void Convert(iconv_t conv, const char* data, size_t len, std::string* out)
{
    static const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
    const bool usable = conv != reinterpret_cast<iconv_t>(-1);
    const size_t start = out->size();
    out->resize(start + 3 * len);  // worst case: every byte replaced
    char* in = const_cast<char*>(data);
    size_t inLeft = len;
    char* dst = &(*out)[start];
    size_t outLeft = 3 * len;
    if (usable) iconv(conv, nullptr, nullptr, nullptr, nullptr);
    while (inLeft > 0) {
        if (usable) {
            if (iconv(conv, &in, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1)) break;
            if (errno == E2BIG) break;  // cannot happen: sized for the worst case
        }
        // `in` stops at a byte that is not GBK (or all bytes, without iconv).
        if (static_cast<unsigned char>(*in) < 0x80) {
            *dst++ = *in;
            outLeft -= 1;
        } else {
            memcpy(dst, kReplacement, 3);
            dst += 3;
            outLeft -= 3;
        }
        ++in;
        --inLeft;
    }
    out->resize(static_cast<size_t>(dst - out->data()));
}

// GBK and UTF-8 share the ASCII bytes: text of nothing else converts to
// itself, without a converter or its lock.
bool IsAscii(const char* data, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        if (static_cast<unsigned char>(data[i]) >= 0x80) return false;
    }
    return true;
}

void ConvertAppend(const char* data, size_t len, std::string* out)
{
    if (IsAscii(data, len)) {
        out->append(data, len);
        return;
    }
    std::unique_lock<std::mutex> lock(g_convMutex, std::try_to_lock);
    if (lock.owns_lock()) {
        if (g_conv == reinterpret_cast<iconv_t>(-1)) g_conv = iconv_open("UTF-8", "GBK");
        Convert(g_conv, data, len, out);
        return;
    }
    iconv_t own = iconv_open("UTF-8", "GBK");
    Convert(own, data, len, out);
    if (own != reinterpret_cast<iconv_t>(-1)) iconv_close(own);
}

// Converts all of text or nothing: false at the first byte iconv cannot
// read. ASCII is copied as it is; only the runs of other bytes go through
// iconv (GBK keeps no state from one character to the next).
bool ConvertStrict(iconv_t conv, const std::string& text, std::string* out)
{
    if (conv == reinterpret_cast<iconv_t>(-1)) return false;
    out->resize(3 * text.size());
    char* dst = &(*out)[0];
    size_t outLeft = out->size();
    iconv(conv, nullptr, nullptr, nullptr, nullptr);
    for (size_t at = 0; at < text.size();) {
        size_t end = at;
        while (end < text.size() && static_cast<unsigned char>(text[end]) < 0x80) ++end;
        memcpy(dst, text.data() + at, end - at);
        dst += end - at;
        outLeft -= end - at;
        at = end;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80) ++end;
        char* in = const_cast<char*>(text.data() + at);
        size_t inLeft = end - at;
        if (inLeft > 0 && (iconv(conv, &in, &inLeft, &dst, &outLeft) == static_cast<size_t>(-1) || inLeft != 0)) {
            return false;
        }
        at = end;
    }
    out->resize(static_cast<size_t>(dst - out->data()));
    return true;
}

bool ConvertWhole(const std::string& text, std::string* out)
{
    std::unique_lock<std::mutex> lock(g_convMutex, std::try_to_lock);
    if (lock.owns_lock()) {
        if (g_conv == reinterpret_cast<iconv_t>(-1)) g_conv = iconv_open("UTF-8", "GBK");
        return ConvertStrict(g_conv, text, out);
    }
    iconv_t own = iconv_open("UTF-8", "GBK");
    const bool ok = ConvertStrict(own, text, out);
    if (own != reinterpret_cast<iconv_t>(-1)) iconv_close(own);
    return ok;
}

// Whether every non-ASCII byte of a reply pairs with the next into a GBK
// character of two non-ASCII bytes, and nothing is \u-escaped: then no
// character takes in a quotation mark, a backslash or a bracket, the JSON
// around the strings is plain ASCII, and converting the reply whole (when
// iconv reads all of it) gives what converting each string gives.
bool PairsKeepToThemselves(const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) continue;
        if (lead == 0x80 || lead == 0xFF || i + 1 >= text.size()) return false;
        const unsigned char trail = static_cast<unsigned char>(text[++i]);
        if (trail < 0x80 || trail == 0xFF) return false;
    }
    return text.find("\\u") == std::string::npos;
}

// Keeps every character iconv reads as GBK and turns each byte it cannot read
// into 0xFF, which no GBK character holds: the result converts (with U+FFFD
// for each 0xFF) to the same text as the input, character for character,
// and ends on a whole character, so nothing appended after it is swallowed.
void Canonicalise(iconv_t conv, const char* data, size_t len, std::string* out)
{
    const bool usable = conv != reinterpret_cast<iconv_t>(-1);
    std::string scratch(3 * len + 4, '\0');
    char* in = const_cast<char*>(data);
    size_t inLeft = len;
    if (usable) iconv(conv, nullptr, nullptr, nullptr, nullptr);
    while (inLeft > 0) {
        if (usable) {
            char* dst = &scratch[0];
            size_t outLeft = scratch.size();
            const char* from = in;
            const size_t rc = iconv(conv, &in, &inLeft, &dst, &outLeft);
            out->append(from, static_cast<size_t>(in - from));
            if (rc != static_cast<size_t>(-1)) break;
            if (errno == E2BIG) continue;
        }
        out->push_back(static_cast<unsigned char>(*in) < 0x80 ? *in : '\xFF');
        ++in;
        --inLeft;
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

bool ConversionBeforeFork()
{
    // Never waits: a converting thread just keeps the shared descriptor.
    return g_convMutex.try_lock();
}

void ConversionAfterForkInParent(bool held)
{
    if (held) g_convMutex.unlock();
}

void ConversionAfterForkInChild(bool held)
{
    if (held) {
        g_convMutex.unlock();
        return;
    }
    new (&g_convMutex) std::mutex();
    // Held by a thread the child does not have: its descriptor's state is
    // that thread's, so the child opens its own.
    g_conv = reinterpret_cast<iconv_t>(-1);
}

std::string CanonicalGbk(const char* data, size_t len)
{
    if (IsAscii(data, len)) return std::string(data, len);
    std::string out;
    out.reserve(len);
    std::unique_lock<std::mutex> lock(g_convMutex, std::try_to_lock);
    if (lock.owns_lock()) {
        if (g_conv == reinterpret_cast<iconv_t>(-1)) g_conv = iconv_open("UTF-8", "GBK");
        Canonicalise(g_conv, data, len, &out);
        return out;
    }
    iconv_t own = iconv_open("UTF-8", "GBK");
    Canonicalise(own, data, len, &out);
    if (own != reinterpret_cast<iconv_t>(-1)) iconv_close(own);
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
    // Plain ASCII without \u escapes is the same text in UTF-8.
    bool ascii = gbkReply.find("\\u") == std::string::npos;
    for (size_t i = 0; i < gbkReply.size() && ascii; ++i) ascii = static_cast<unsigned char>(gbkReply[i]) < 0x80;
    if (ascii) return gbkReply;
    std::string whole;
    if (PairsKeepToThemselves(gbkReply) && ConvertWhole(gbkReply, &whole)) return whole;
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
