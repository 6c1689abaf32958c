// The reader: every field taken through a cursor that knows how many bytes
// are left, so no input, however cut or forged, is read beyond its end.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "dcjfsn/Fsn.h"

namespace dcjfsn {

namespace {

class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : m_data(data), m_left(size) {}
    size_t Left() const { return m_left; }
    uint16_t U16()
    {
        const uint16_t v = static_cast<uint16_t>(m_data[0] | (m_data[1] << 8));
        Skip(2);
        return v;
    }
    uint32_t U32()
    {
        const uint32_t v = static_cast<uint32_t>(m_data[0]) | (static_cast<uint32_t>(m_data[1]) << 8) |
                           (static_cast<uint32_t>(m_data[2]) << 16) | (static_cast<uint32_t>(m_data[3]) << 24);
        Skip(4);
        return v;
    }
    template <size_t N>
    void Units(std::array<uint16_t, N>* out)
    {
        for (uint16_t& u : *out) u = U16();
    }

private:
    // Callers check Left() for the whole structure before they read it.
    void Skip(size_t n)
    {
        m_data += n;
        m_left -= n;
    }
    const uint8_t* m_data;
    size_t m_left;
};

std::string Num(uint64_t v)
{
    return std::to_string(v);
}

Header ReadHeader(Cursor& c, Layout layout)
{
    Header h;
    c.Units(&h.headStart);
    c.Units(&h.headString);
    if (layout == Layout::V2018) h.headDataTypeFlag = c.U16();
    h.counter = c.U32();
    if (layout == Layout::V2018) {
        c.Units(&h.finanIns);
        h.enableTime = c.U32();
        c.Units(&h.machineSNo);
        c.Units(&h.machineType);
        c.Units(&h.machineModel);
        c.Units(&h.hardVerNo);
        c.Units(&h.authSoftVerNo);
        c.Units(&h.applidenom);
        c.Units(&h.finanInst);
        c.Units(&h.finanInstOutlet);
        c.Units(&h.operatorNo);
        h.reserve1 = c.U16();
    }
    c.Units(&h.headEnd);
    return h;
}

Record ReadRecord(Cursor& c, Layout layout, bool images)
{
    Record r;
    r.date = c.U16();
    r.time = c.U16();
    r.tfFlag = c.U16();
    c.Units(&r.errorCode);
    c.Units(&r.moneyFlag);
    r.ver = c.U16();
    r.valuta = c.U16();
    r.charNum = c.U16();
    c.Units(&r.sNo);
    if (layout == Layout::V2014) {
        c.Units(&r.machineSNo);
        r.reserve1 = c.U16();
    } else {
        c.Units(&r.reserved2018);
    }
    r.hasImage = images;
    if (images) {
        r.image.num = c.U16();
        r.image.height = c.U16();
        r.image.width = c.U16();
        r.image.reserved = c.U16();
        for (auto& ch : r.image.chars) {
            for (uint32_t& col : ch) col = c.U32();
        }
    }
    return r;
}

// What a single record says that cannot be so.
void CheckRecord(const Record& r, size_t index, std::vector<std::string>* problems)
{
    const std::string at = "record " + Num(index + 1) + ": ";
    const int month = (r.date >> 5) & 0x0F, day = r.date & 0x1F;
    const int hour = r.time >> 11, minute = (r.time >> 5) & 0x3F, second = (r.time & 0x1F) * 2;
    if (month < 1 || month > 12 || day < 1 || day > 31) problems->push_back(at + "invalid date " + TimeText(r.date, 0).substr(0, 10));
    if (hour > 23 || minute > 59 || second > 59) problems->push_back(at + "invalid time " + TimeText(r.date, r.time).substr(11));
    if (r.tfFlag > 3) problems->push_back(at + "unknown authenticity flag " + Num(r.tfFlag));
    size_t length = 0;
    while (length < r.sNo.size() && r.sNo[length] != 0) ++length;
    if (r.charNum > r.sNo.size()) {
        problems->push_back(at + "serial length " + Num(r.charNum) + " exceeds the 12-character field");
    } else if (r.charNum != length) {
        problems->push_back(at + "serial length " + Num(r.charNum) + " but " + Num(length) + " characters in the serial");
    }
    if (r.hasImage) {
        const Image& im = r.image;
        if (im.num > kImageChars || im.height > kImageColumns || im.width > kImageColumns) {
            problems->push_back(at + "image of " + Num(im.num) + " characters of " + Num(im.width) + "x" +
                                Num(im.height) + " exceeds 12 characters of 32x32");
        }
    }
}

Layout LayoutOf(uint16_t version)
{
    if (version == kVersion2014) return Layout::V2014;
    if (version == kVersion2018) return Layout::V2018;
    return Layout::Unknown;
}

void CheckMagic(const Header& h, std::vector<std::string>* problems)
{
    if (h.headStart != kHeadStart) problems->push_back("wrong header start (HeadStart is not 20, 10, 7, 26)");
    if (h.headString[0] != 0 || h.headString[3] != 'S' || h.headString[4] != 'N' || h.headString[5] != 'o') {
        problems->push_back("wrong header mark (HeadString is not 0, version, flag, 'S', 'N', 'o')");
    }
    if (h.headEnd != kHeadEnd) problems->push_back("wrong header end (HeadEnd is not 0, 1, 2, 3)");
}

// With an unknown image flag, the record size that makes the data hold
// exactly Counter records, if only one of the two does.
bool GuessImages(Layout layout, uint32_t counter, size_t body, bool* images)
{
    const bool with = counter != 0 && body == static_cast<uint64_t>(counter) * RecordSize(layout, true);
    const bool without = body == static_cast<uint64_t>(counter) * RecordSize(layout, false);
    if (with == without) return false;
    *images = with;
    return true;
}

}  // namespace

size_t HeaderSize(Layout layout)
{
    return layout == Layout::V2018 ? kHeaderSize2018 : kHeaderSize2014;
}

size_t RecordSize(Layout layout, bool images)
{
    return (layout == Layout::V2018 ? kRecordSize2018 : kRecordSize2014) + (images ? kImageSize : 0);
}

File Parse(const uint8_t* data, size_t size)
{
    File f;
    std::vector<std::string>& problems = f.problems;
    if (size < kHeaderSize2014) {
        problems.push_back("cut header: " + Num(size) + " bytes, a header takes at least " + Num(kHeaderSize2014));
        return f;
    }
    // The version sits at the same place in both layouts.
    const uint16_t version = static_cast<uint16_t>(data[10] | (data[11] << 8));
    f.layout = LayoutOf(version);
    if (f.layout == Layout::Unknown) {
        problems.push_back("unknown version " + Num(version) + " (1 is the 2014 layout, 2 the 2018 layout)");
        Cursor c(data, size);
        f.header = ReadHeader(c, Layout::V2014);
        CheckMagic(f.header, &problems);
        return f;
    }
    const size_t headerSize = HeaderSize(f.layout);
    if (size < headerSize) {
        problems.push_back("cut header: " + Num(size) + " bytes, the " + (f.layout == Layout::V2018 ? "2018" : "2014") +
                           " header takes " + Num(headerSize));
        f.layout = Layout::Unknown;
        return f;
    }
    Cursor c(data, size);
    f.header = ReadHeader(c, f.layout);
    CheckMagic(f.header, &problems);

    const size_t body = size - headerSize;
    const uint16_t flag = f.header.ImageFlag();
    if (flag == kWithImages || flag == kWithoutImages) {
        f.images = flag == kWithImages;
    } else if (GuessImages(f.layout, f.header.counter, body, &f.images)) {
        problems.push_back("unknown image flag " + Num(flag) + "; the size fits records " +
                           (f.images ? "with" : "without") + " images");
    } else {
        problems.push_back("unknown image flag " + Num(flag) + " and no record size fits the data");
        return f;
    }

    const size_t recordSize = RecordSize(f.layout, f.images);
    const size_t whole = body / recordSize;
    if (body % recordSize != 0) {
        problems.push_back("cut record: " + Num(body % recordSize) + " bytes after record " + Num(whole) +
                           ", a record takes " + Num(recordSize));
    }
    if (whole != f.header.counter) {
        problems.push_back("the header counts " + Num(f.header.counter) + " records, the data holds " +
                           (body % recordSize ? "more than " : "") + Num(whole));
    }
    // Each record takes room for a whole image in memory, so a file of
    // small records takes up to twenty times its size: bounded here.
    if (whole > kMostRecordMemory / sizeof(Record)) {
        problems.push_back("too many records to read: " + Num(whole) + ", at most " +
                           Num(kMostRecordMemory / sizeof(Record)));
        return f;
    }
    f.records.reserve(whole);
    for (size_t i = 0; i < whole; ++i) {
        f.records.push_back(ReadRecord(c, f.layout, f.images));
        CheckRecord(f.records.back(), i, &problems);
    }
    return f;
}

bool ReadPath(const std::string& path, File* out, std::string* error, size_t maxBytes)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (error) *error = path + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        if (error) *error = path + ": not a regular file";
        close(fd);
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        close(fd);
        *out = File();
        out->problems.push_back("too large to read: " + Num(static_cast<uint64_t>(st.st_size)) + " bytes");
        return true;
    }
    std::string bytes;
    try {
        bytes.resize(static_cast<size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        close(fd);
        *out = File();
        out->problems.push_back("not enough memory to read it");
        return true;
    }
    size_t got = 0;
    int readErrno = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, &bytes[got], bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readErrno = errno;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got < bytes.size()) {
        if (error) *error = path + ": " + (readErrno ? strerror(readErrno) : "file shrank while being read");
        return false;
    }
    try {
        *out = Parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    } catch (const std::bad_alloc&) {
        *out = File();
        out->problems.push_back("not enough memory to read its records");
    }
    return true;
}

}  // namespace dcjfsn
