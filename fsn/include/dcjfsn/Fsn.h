// FSN files: the counter's banknote records (serial number, denomination,
// authenticity, serial-number images). A pure reader and writer of both
// layouts: it is handed bytes (or a path to read them from) and keeps no
// state. Every disagreement between the header, the records and the size of
// the data is a problem text; the reader never reads past the data.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>
#include <vector>

namespace dcjfsn {

enum class Layout { Unknown, V2014, V2018 };

constexpr uint16_t kVersion2014 = 1;
constexpr uint16_t kVersion2018 = 2;
constexpr uint16_t kWithImages = 0x2E;
constexpr uint16_t kWithoutImages = 0x2D;

constexpr size_t kHeaderSize2014 = 32;
constexpr size_t kHeaderSize2018 = 350;
constexpr size_t kRecordSize2014 = 100;
constexpr size_t kRecordSize2018 = 88;
constexpr size_t kImageSize = 1544;
// The records of one file are read into at most this much memory.
constexpr size_t kMostRecordMemory = size_t(512) << 20;
constexpr size_t kImageChars = 12;
constexpr size_t kImageColumns = 32;  // also the most rows: one u32 per column

constexpr std::array<uint16_t, 4> kHeadStart = {20, 10, 7, 26};
constexpr std::array<uint16_t, 4> kHeadEnd = {0, 1, 2, 3};

// Both layouts' header; the fields after counter are the 2018 layout's only
// (zero in a 2014 file).
struct Header {
    std::array<uint16_t, 4> headStart{};
    std::array<uint16_t, 6> headString{};  // 0, version, image flag, 'S', 'N', 'o'
    uint16_t headDataTypeFlag = 0;
    uint32_t counter = 0;
    std::array<uint16_t, 6> finanIns{};
    uint32_t enableTime = 0;
    std::array<uint16_t, 24> machineSNo{};
    std::array<uint16_t, 15> machineType{};
    std::array<uint16_t, 24> machineModel{};
    std::array<uint16_t, 24> hardVerNo{};
    std::array<uint16_t, 24> authSoftVerNo{};
    std::array<uint16_t, 6> applidenom{};
    std::array<uint16_t, 14> finanInst{};
    std::array<uint16_t, 14> finanInstOutlet{};
    std::array<uint16_t, 4> operatorNo{};
    uint16_t reserve1 = 0;
    std::array<uint16_t, 4> headEnd{};

    uint16_t Version() const { return headString[1]; }
    uint16_t ImageFlag() const { return headString[2]; }
    bool operator==(const Header& o) const;
};

// The serial-number images: num characters of width columns by height rows;
// each column is one u32 with bit 31 the top row.
struct Image {
    uint16_t num = 0;
    uint16_t height = 0;
    uint16_t width = 0;
    uint16_t reserved = 0;
    std::array<std::array<uint32_t, kImageColumns>, kImageChars> chars{};

    // Pixel of character c at row y, column x (false outside the image).
    bool Pixel(size_t c, size_t x, size_t y) const;
    bool operator==(const Image& o) const;
};

struct Record {
    uint16_t date = 0;  // bits 15-9 year - 1980, 8-5 month, 4-0 day
    uint16_t time = 0;  // bits 15-11 hour, 10-5 minute, 4-0 seconds / 2
    uint16_t tfFlag = 0;
    std::array<uint16_t, 3> errorCode{};
    std::array<uint16_t, 4> moneyFlag{};
    uint16_t ver = 0;
    uint16_t valuta = 0;
    uint16_t charNum = 0;
    std::array<uint16_t, 12> sNo{};
    std::array<uint16_t, 24> machineSNo{};  // 2014 layout only
    uint16_t reserve1 = 0;                  // 2014 layout only
    std::array<uint16_t, 19> reserved2018{};  // 2018 layout: the 38 bytes after SNo
    bool hasImage = false;
    Image image;

    bool operator==(const Record& o) const;
};

struct File {
    Layout layout = Layout::Unknown;
    bool images = false;
    Header header;
    std::vector<Record> records;
    // Empty for a clean file; otherwise one text per disagreement found.
    std::vector<std::string> problems;

    bool Clean() const { return problems.empty(); }
};

size_t HeaderSize(Layout layout);
size_t RecordSize(Layout layout, bool images);

// Reads everything that can be read from size bytes at data: the header,
// then every whole record the data holds, whatever the header claims.
File Parse(const uint8_t* data, size_t size);
// The whole file at path if it is a regular file of at most maxBytes (a
// larger one is a problem, not read), its records in at most
// kMostRecordMemory (more is a problem too). False with error set when it
// cannot be opened or read.
bool ReadPath(const std::string& path, File* out, std::string* error, size_t maxBytes = size_t(256) << 20);

// The bytes of file in its layout (V2014 unless V2018), with header.counter
// as it stands and every record's image written when file.images is set.
std::string Write(const File& file);

// ---------------------------------------------------------------------------
// Field meanings, for showing records.

// "YYYY-MM-DD hh:mm:ss" from the packed date and time (fields as stored,
// even when out of range).
std::string TimeText(uint16_t date, uint16_t time);
uint16_t PackDate(int year, int month, int day);
uint16_t PackTime(int hour, int minute, int second);
// "suspect", "genuine", "damaged", "old", or "unknown(N)".
std::string AuthenticityText(uint16_t tfFlag);
// The edition's year ("2015") or "unknown" (9999) or the number itself.
std::string EditionText(uint16_t ver);
// UTF-8 of the code units up to the first zero; a lone surrogate becomes
// U+FFFD.
std::string TextOf(const uint16_t* units, size_t count);
template <size_t N>
std::string Text(const std::array<uint16_t, N>& units)
{
    return TextOf(units.data(), N);
}
// ASCII text into zero-padded code units; false if it does not fit.
template <size_t N>
bool SetText(std::array<uint16_t, N>* units, const std::string& ascii)
{
    if (ascii.size() > N) return false;
    units->fill(0);
    for (size_t i = 0; i < ascii.size(); ++i) (*units)[i] = static_cast<unsigned char>(ascii[i]);
    return true;
}

}  // namespace dcjfsn
