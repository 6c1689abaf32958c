// The FSN reader against files written here, field by field from the layout
// tables (not with the library's writer): clean files read back exactly;
// cut, miscounted, mislabelled and random files are reported, never read
// past their end.
#include <stdint.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjfsn/Fsn.h"

namespace {

// One row of a layout table: name, bytes per element, elements.
struct Field {
    const char* name;
    int bytes;
    int count;
};
using Table = std::vector<Field>;
using Values = std::map<std::string, std::vector<uint32_t>>;

const Table kHeader2014 = {{"HeadStart", 2, 4}, {"HeadString", 2, 6}, {"Counter", 4, 1}, {"HeadEnd", 2, 4}};
const Table kHeader2018 = {{"HeadStart", 2, 4},     {"HeadString", 2, 6},       {"HeadDataTypeFlag", 2, 1},
                           {"Counter", 4, 1},       {"FinanIns", 2, 6},         {"Enabletime", 4, 1},
                           {"MachineSNo", 2, 24},   {"MachineType", 2, 15},     {"MachineModel", 2, 24},
                           {"HardVerNo", 2, 24},    {"AuthSoftVerNo", 2, 24},   {"Applidenom", 2, 6},
                           {"FinanInst", 2, 14},    {"FinanInstOutlet", 2, 14}, {"Operator", 2, 4},
                           {"Reserve1", 2, 1},      {"HeadEnd", 2, 4}};
const Table kRecord2014 = {{"Date", 2, 1},    {"Time", 2, 1},   {"tfFlag", 2, 1},  {"ErrorCode", 2, 3},
                           {"MoneyFlag", 2, 4}, {"Ver", 2, 1},  {"Valuta", 2, 1},  {"CharNUM", 2, 1},
                           {"SNo", 2, 12},    {"MachineSNo", 2, 24}, {"Reserve1", 2, 1}};
const Table kRecord2018 = {{"Date", 2, 1},    {"Time", 2, 1},   {"tfFlag", 2, 1},  {"ErrorCode", 2, 3},
                           {"MoneyFlag", 2, 4}, {"Ver", 2, 1},  {"Valuta", 2, 1},  {"CharNUM", 2, 1},
                           {"SNo", 2, 12},    {"Reserved", 2, 19}};
const Table kImage = {{"Num", 2, 1}, {"height", 2, 1}, {"width", 2, 1}, {"reserved", 2, 1}, {"Columns", 4, 12 * 32}};

size_t SizeOf(const Table& t)
{
    size_t n = 0;
    for (const Field& f : t) n += static_cast<size_t>(f.bytes * f.count);
    return n;
}

void Put(std::string& out, const Table& table, const Values& values)
{
    for (const Field& f : table) {
        const std::vector<uint32_t>& v = values.at(f.name);
        ASSERT_EQ(v.size(), static_cast<size_t>(f.count)) << f.name;
        for (uint32_t x : v) {
            for (int b = 0; b < f.bytes; ++b) out += static_cast<char>((x >> (8 * b)) & 0xFF);
        }
    }
}

uint32_t U(std::mt19937& rng)
{
    return static_cast<uint32_t>(rng());
}

struct Sample {
    bool v2018;
    bool images;
    Values header;
    std::vector<Values> records;
    std::vector<Values> imageFields;
    std::string bytes;
};

std::vector<uint32_t> Units(std::mt19937& rng, int count, bool zeroTail = true)
{
    std::vector<uint32_t> v(static_cast<size_t>(count));
    const int used = zeroTail ? static_cast<int>(U(rng) % static_cast<unsigned>(count + 1)) : count;
    // Any non-zero UTF-16 unit that is no surrogate, Chinese included.
    for (int i = 0; i < used; ++i) v[static_cast<size_t>(i)] = U(rng) % 2 ? 0x41 + U(rng) % 26 : 0x4E00 + U(rng) % 0x5000;
    return v;
}

Sample MakeSample(bool v2018, bool images, size_t records, unsigned seed)
{
    std::mt19937 rng(seed);
    Sample s{v2018, images, {}, {}, {}, {}};
    Values& h = s.header;
    h["HeadStart"] = {20, 10, 7, 26};
    h["HeadString"] = {0, v2018 ? 2u : 1u, images ? 0x2Eu : 0x2Du, 'S', 'N', 'o'};
    h["Counter"] = {static_cast<uint32_t>(records)};
    h["HeadEnd"] = {0, 1, 2, 3};
    if (v2018) {
        h["HeadDataTypeFlag"] = {U(rng) & 0xFFFF};
        h["Enabletime"] = {U(rng)};
        h["Reserve1"] = {U(rng) & 0xFFFF};
        for (const Field& f : kHeader2018) {
            if (!h.count(f.name)) h[f.name] = Units(rng, f.count);
        }
    }
    for (size_t i = 0; i < records; ++i) {
        Values r;
        r["Date"] = {((2000 + U(rng) % 40 - 1980) << 9) | ((1 + U(rng) % 12) << 5) | (1 + U(rng) % 28)};
        r["Time"] = {((U(rng) % 24) << 11) | ((U(rng) % 60) << 5) | (U(rng) % 30)};
        r["tfFlag"] = {U(rng) % 4};
        r["ErrorCode"] = {U(rng) & 0xFFFF, U(rng) & 0xFFFF, U(rng) & 0xFFFF};
        r["MoneyFlag"] = {'C', 'N', 'Y', 0};
        r["Ver"] = {U(rng) % 2 ? U(rng) % 6 : 9999};
        r["Valuta"] = {U(rng) & 0xFFFF};
        r["SNo"] = Units(rng, 12);
        uint32_t length = 0;
        while (length < 12 && r["SNo"][length] != 0) ++length;
        r["CharNUM"] = {length};
        if (v2018) {
            r["Reserved"] = std::vector<uint32_t>(19);
            for (uint32_t& x : r["Reserved"]) x = U(rng) & 0xFFFF;
        } else {
            r["MachineSNo"] = Units(rng, 24);
            r["Reserve1"] = {U(rng) & 0xFFFF};
        }
        s.records.push_back(r);
        Values im;
        im["Num"] = {length};
        im["height"] = {1 + U(rng) % 32};
        im["width"] = {1 + U(rng) % 32};
        im["reserved"] = {U(rng) & 0xFFFF};
        im["Columns"] = std::vector<uint32_t>(12 * 32);
        for (uint32_t& x : im["Columns"]) x = U(rng);
        s.imageFields.push_back(im);
    }
    Put(s.bytes, v2018 ? kHeader2018 : kHeader2014, s.header);
    for (size_t i = 0; i < records; ++i) {
        Put(s.bytes, v2018 ? kRecord2018 : kRecord2014, s.records[i]);
        if (images) Put(s.bytes, kImage, s.imageFields[i]);
    }
    return s;
}

template <size_t N>
std::vector<uint32_t> V(const std::array<uint16_t, N>& a)
{
    return std::vector<uint32_t>(a.begin(), a.end());
}

// The reader's structures, named as in the layout tables.
Values HeaderValues(const dcjfsn::Header& h, bool v2018)
{
    Values v = {{"HeadStart", V(h.headStart)}, {"HeadString", V(h.headString)}, {"Counter", {h.counter}},
                {"HeadEnd", V(h.headEnd)}};
    if (v2018) {
        v["HeadDataTypeFlag"] = {h.headDataTypeFlag};
        v["FinanIns"] = V(h.finanIns);
        v["Enabletime"] = {h.enableTime};
        v["MachineSNo"] = V(h.machineSNo);
        v["MachineType"] = V(h.machineType);
        v["MachineModel"] = V(h.machineModel);
        v["HardVerNo"] = V(h.hardVerNo);
        v["AuthSoftVerNo"] = V(h.authSoftVerNo);
        v["Applidenom"] = V(h.applidenom);
        v["FinanInst"] = V(h.finanInst);
        v["FinanInstOutlet"] = V(h.finanInstOutlet);
        v["Operator"] = V(h.operatorNo);
        v["Reserve1"] = {h.reserve1};
    }
    return v;
}

Values RecordValues(const dcjfsn::Record& r, bool v2018)
{
    Values v = {{"Date", {r.date}},          {"Time", {r.time}},     {"tfFlag", {r.tfFlag}},
                {"ErrorCode", V(r.errorCode)}, {"MoneyFlag", V(r.moneyFlag)}, {"Ver", {r.ver}},
                {"Valuta", {r.valuta}},      {"CharNUM", {r.charNum}}, {"SNo", V(r.sNo)}};
    if (v2018) {
        v["Reserved"] = V(r.reserved2018);
    } else {
        v["MachineSNo"] = V(r.machineSNo);
        v["Reserve1"] = {r.reserve1};
    }
    return v;
}

Values ImageValues(const dcjfsn::Image& im)
{
    Values v = {{"Num", {im.num}}, {"height", {im.height}}, {"width", {im.width}}, {"reserved", {im.reserved}}};
    for (const auto& ch : im.chars) v["Columns"].insert(v["Columns"].end(), ch.begin(), ch.end());
    return v;
}

dcjfsn::File ParseBytes(const std::string& bytes)
{
    return dcjfsn::Parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool Mentions(const dcjfsn::File& f, const std::string& word)
{
    for (const std::string& p : f.problems) {
        if (p.find(word) != std::string::npos) return true;
    }
    return false;
}

std::string Joined(const dcjfsn::File& f)
{
    std::string all;
    for (const std::string& p : f.problems) all += p + "\n";
    return all;
}

TEST(FsnLayout, TablesHaveTheLayoutsSizes)
{
    EXPECT_EQ(SizeOf(kHeader2014), 32u);
    EXPECT_EQ(SizeOf(kHeader2018), 350u);
    EXPECT_EQ(SizeOf(kRecord2014), 100u);
    EXPECT_EQ(SizeOf(kRecord2018), 88u);
    EXPECT_EQ(SizeOf(kImage), 1544u);
}

TEST(FsnReader, EveryLayoutReadsBackFieldByField)
{
    for (bool v2018 : {false, true}) {
        for (bool images : {true, false}) {
            SCOPED_TRACE(std::string(v2018 ? "2018" : "2014") + (images ? " with images" : " without images"));
            const Sample s = MakeSample(v2018, images, 7, v2018 * 2 + images + 11);
            EXPECT_EQ(s.bytes.size(), (v2018 ? 350u : 32u) + 7 * ((v2018 ? 88u : 100u) + (images ? 1544u : 0u)));
            const dcjfsn::File f = ParseBytes(s.bytes);
            EXPECT_TRUE(f.Clean()) << Joined(f);
            EXPECT_EQ(f.layout, v2018 ? dcjfsn::Layout::V2018 : dcjfsn::Layout::V2014);
            EXPECT_EQ(f.images, images);
            Values header = s.header;
            EXPECT_EQ(HeaderValues(f.header, v2018), header);
            ASSERT_EQ(f.records.size(), 7u);
            for (size_t i = 0; i < 7; ++i) {
                EXPECT_EQ(RecordValues(f.records[i], v2018), s.records[i]) << "record " << i;
                EXPECT_EQ(f.records[i].hasImage, images);
                if (images) {
                    EXPECT_EQ(ImageValues(f.records[i].image), s.imageFields[i]) << "record " << i;
                }
            }
            // The library's own writer gives back the same bytes.
            EXPECT_EQ(dcjfsn::Write(f), s.bytes);
        }
    }
}

TEST(FsnReader, FieldMeaningsAreDecoded)
{
    dcjfsn::Record r;
    r.date = dcjfsn::PackDate(2026, 12, 6);
    r.time = dcjfsn::PackTime(9, 5, 7);
    EXPECT_EQ(dcjfsn::TimeText(r.date, r.time), "2026-12-06 09:05:06");
    EXPECT_EQ(dcjfsn::AuthenticityText(0), "suspect");
    EXPECT_EQ(dcjfsn::AuthenticityText(1), "genuine");
    EXPECT_EQ(dcjfsn::AuthenticityText(3), "old");
    EXPECT_EQ(dcjfsn::AuthenticityText(4), "unknown(4)");
    EXPECT_EQ(dcjfsn::EditionText(3), "2015");
    EXPECT_EQ(dcjfsn::EditionText(5), "2020");
    EXPECT_EQ(dcjfsn::EditionText(9999), "unknown");
    const std::array<uint16_t, 5> text = {0x4E2D, 'A', 0xD83D, 0xDE00, 0};
    EXPECT_EQ(dcjfsn::Text(text), "\xE4\xB8\xAD" "A\xF0\x9F\x98\x80");
    const std::array<uint16_t, 3> lone = {'X', 0xDC00, 'Y'};
    EXPECT_EQ(dcjfsn::Text(lone), "X\xEF\xBF\xBDY");
}

TEST(FsnReader, CutFilesAreReportedAtEveryLength)
{
    for (bool v2018 : {false, true}) {
        const Sample s = MakeSample(v2018, true, 2, 5);
        const size_t header = v2018 ? 350 : 32, record = (v2018 ? 88 : 100) + 1544;
        for (size_t n = 0; n < s.bytes.size(); ++n) {
            // Exactly the bytes of the cut file, so a read past them shows
            // under the sanitizers.
            const std::vector<uint8_t> cut(s.bytes.begin(), s.bytes.begin() + static_cast<long>(n));
            const dcjfsn::File f = dcjfsn::Parse(cut.data(), cut.size());
            ASSERT_FALSE(f.Clean()) << n;
            if (n < header) {
                EXPECT_TRUE(Mentions(f, "cut header")) << n << ": " << Joined(f);
                EXPECT_TRUE(f.records.empty());
                continue;
            }
            EXPECT_EQ(f.records.size(), (n - header) / record) << n;
            EXPECT_TRUE(Mentions(f, "the header counts 2 records")) << n << ": " << Joined(f);
            if ((n - header) % record) {
                EXPECT_TRUE(Mentions(f, "cut record")) << n << ": " << Joined(f);
            }
        }
    }
}

TEST(FsnReader, CountersThatDisagreeWithTheDataAreReported)
{
    Sample s = MakeSample(false, false, 3, 8);
    for (uint32_t counter : {0u, 2u, 4u, 0xFFFFFFFFu}) {
        std::string bytes = s.bytes;
        for (int b = 0; b < 4; ++b) bytes[20 + b] = static_cast<char>(counter >> (8 * b));
        const dcjfsn::File f = ParseBytes(bytes);
        EXPECT_EQ(f.records.size(), 3u);
        EXPECT_EQ(f.header.counter, counter);
        EXPECT_TRUE(Mentions(f, "the header counts " + std::to_string(counter) + " records, the data holds 3"))
            << Joined(f);
    }
    // A 2018 counter sits after the data type flag.
    const Sample s18 = MakeSample(true, false, 1, 9);
    std::string bytes = s18.bytes;
    bytes[22] = 5;
    EXPECT_TRUE(Mentions(ParseBytes(bytes), "the header counts 5 records, the data holds 1"));
}

TEST(FsnReader, MislabelledFilesAreReported)
{
    const Sample s = MakeSample(false, true, 2, 3);
    auto with = [&](size_t at, uint16_t value) {
        std::string b = s.bytes;
        b[at] = static_cast<char>(value & 0xFF);
        b[at + 1] = static_cast<char>(value >> 8);
        return ParseBytes(b);
    };
    EXPECT_TRUE(Mentions(with(0, 21), "wrong header start"));
    EXPECT_TRUE(Mentions(with(18, 'n'), "wrong header mark"));
    EXPECT_TRUE(Mentions(with(30, 4), "wrong header end"));
    const dcjfsn::File v3 = with(10, 3);
    EXPECT_TRUE(Mentions(v3, "unknown version 3")) << Joined(v3);
    EXPECT_EQ(v3.layout, dcjfsn::Layout::Unknown);
    EXPECT_TRUE(v3.records.empty());
    // Records with images under the flag for none: the sizes disagree.
    const dcjfsn::File noImages = with(12, 0x2D);
    EXPECT_FALSE(noImages.Clean());
    EXPECT_TRUE(Mentions(noImages, "the header counts 2 records")) << Joined(noImages);
    // An unknown flag: the size that fits the counter is taken, and said.
    const dcjfsn::File unknown = with(12, 0x41);
    EXPECT_TRUE(Mentions(unknown, "unknown image flag 65; the size fits records with images")) << Joined(unknown);
    EXPECT_EQ(unknown.records.size(), 2u);
    EXPECT_TRUE(unknown.images);
    // A 2014 file labelled 2018: its 32-byte header and records do not fit.
    const dcjfsn::File as2018 = with(10, 2);
    EXPECT_FALSE(as2018.Clean());
}

TEST(FsnReader, ImpossibleRecordFieldsAreReported)
{
    Sample s = MakeSample(false, true, 1, 4);
    const size_t rec = 32;
    auto with = [&](size_t at, uint16_t value) {
        std::string b = s.bytes;
        b[rec + at] = static_cast<char>(value & 0xFF);
        b[rec + at + 1] = static_cast<char>(value >> 8);
        return ParseBytes(b);
    };
    EXPECT_TRUE(Mentions(with(0, dcjfsn::PackDate(2026, 13, 1)), "record 1: invalid date"));
    EXPECT_TRUE(Mentions(with(2, dcjfsn::PackTime(24, 0, 0)), "record 1: invalid time"));
    EXPECT_TRUE(Mentions(with(4, 7), "record 1: unknown authenticity flag 7"));
    EXPECT_TRUE(Mentions(with(24, 13), "serial length 13 exceeds"));
    EXPECT_TRUE(Mentions(with(100 + 4, 33), "exceeds 12 characters of 32x32"));
}

TEST(FsnReader, RandomBytesNeverCrashAndAreReported)
{
    std::mt19937 rng(1234);
    size_t clean = 0;
    for (int i = 0; i < 3000; ++i) {
        const size_t n = U(rng) % 4000;
        std::vector<uint8_t> bytes(n);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(U(rng));
        // Half of them start like a real header, so the record paths run too.
        if (i % 2 && n >= 32) {
            const Sample s = MakeSample(i % 4 == 1, U(rng) % 2, 0, static_cast<unsigned>(i));
            std::copy(s.bytes.begin(), s.bytes.begin() + std::min<size_t>(n, s.bytes.size()), bytes.begin());
        }
        const dcjfsn::File f = dcjfsn::Parse(bytes.data(), bytes.size());
        if (f.Clean()) ++clean;
    }
    EXPECT_EQ(clean, 0u);
}

TEST(FsnReader, ReadPathReadsFilesAndRefusesOthers)
{
    dcjtest::TempDir tmp("fsn");
    const Sample s = MakeSample(true, true, 3, 21);
    dcjtest::WriteFile(tmp / "a.FSN", s.bytes);
    dcjfsn::File f;
    std::string error;
    ASSERT_TRUE(dcjfsn::ReadPath(tmp / "a.FSN", &f, &error)) << error;
    EXPECT_TRUE(f.Clean());
    EXPECT_EQ(f.records.size(), 3u);
    EXPECT_FALSE(dcjfsn::ReadPath(tmp / "missing.FSN", &f, &error));
    EXPECT_NE(error.find("missing.FSN"), std::string::npos);
    EXPECT_FALSE(dcjfsn::ReadPath(tmp.path(), &f, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos);
    // Larger than the limit: a problem, nothing read.
    ASSERT_TRUE(dcjfsn::ReadPath(tmp / "a.FSN", &f, &error, 100));
    EXPECT_TRUE(Mentions(f, "too large"));
    EXPECT_TRUE(f.records.empty());

    // Small records each take a whole image's room in memory: a file of
    // more than memory allows is a problem, not an allocation of gigabytes.
    const Sample small = MakeSample(true, false, 1, 3);
    const size_t tooMany = dcjfsn::kMostRecordMemory / sizeof(dcjfsn::Record) + 1;
    std::string many = small.bytes.substr(0, dcjfsn::HeaderSize(dcjfsn::Layout::V2018));
    many.resize(many.size() + tooMany * dcjfsn::RecordSize(dcjfsn::Layout::V2018, false), '\0');
    dcjtest::WriteFile(tmp / "many.FSN", many);
    ASSERT_TRUE(dcjfsn::ReadPath(tmp / "many.FSN", &f, &error)) << error;
    EXPECT_TRUE(Mentions(f, "too many records")) << f.problems.size();
    EXPECT_TRUE(f.records.empty());
}

}  // namespace
