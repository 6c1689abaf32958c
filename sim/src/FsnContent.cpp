// Plausible FSN content for the simulator: what a counter records for a
// stack of banknotes, with each serial drawn as the counter's camera would
// leave it, from a 5x7 glyph set scaled into the character cell.
#include "dcjsim/FsnContent.h"

#include <string.h>
#include <time.h>

#include <algorithm>

#include "Internal.h"

namespace dcjsim {

namespace {

// Rows top to bottom, bit 4 the leftmost column.
struct Glyph {
    char ch;
    uint8_t rows[7];
};

const Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
};

const Glyph* FindGlyph(char c)
{
    for (const Glyph& g : kGlyphs) {
        if (g.ch == c) return &g;
    }
    return nullptr;
}

// Serial letters leave out I and O, as the notes do.
const char kLetters[] = "ABCDEFGHJKLMNPQRSTUVWXYZ";

struct Note {
    uint16_t valuta;
    uint16_t ver;
    unsigned weight;
};
const Note kNotes[] = {{100, 3, 50}, {100, 2, 10}, {50, 4, 12}, {20, 4, 10}, {10, 4, 10}, {5, 5, 5}, {1, 4, 3}};

uint64_t Next(uint64_t& state)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The stamp of the first record; a text that is no time stands for the
// simulator's default date.
time_t BaseTime(const std::string& dateTime)
{
    struct tm t;
    memset(&t, 0, sizeof t);
    if (dateTime.size() != 14 || strptime(dateTime.c_str(), "%Y%m%d%H%M%S", &t) == nullptr || t.tm_year < 81) {
        memset(&t, 0, sizeof t);
        t.tm_year = 126;
        t.tm_mon = 11;
        t.tm_mday = 6;
        t.tm_hour = 9;
        t.tm_min = 5;
        t.tm_sec = 7;
    }
    return timegm(&t);
}

// Units of a byte text, cut to the field (simulated content only).
template <size_t N>
void Fill(std::array<uint16_t, N>* units, const std::string& bytes)
{
    units->fill(0);
    for (size_t i = 0; i < N && i < bytes.size(); ++i) (*units)[i] = static_cast<unsigned char>(bytes[i]);
}

dcjfsn::Header MakeHeader(const FsnContent& content, const std::string& machineNo, size_t records)
{
    dcjfsn::Header h;
    h.headStart = dcjfsn::kHeadStart;
    const bool v2018 = content.layout == dcjfsn::Layout::V2018;
    h.headString = {0, v2018 ? dcjfsn::kVersion2018 : dcjfsn::kVersion2014,
                    content.images ? dcjfsn::kWithImages : dcjfsn::kWithoutImages, 'S', 'N', 'o'};
    h.counter = static_cast<uint32_t>(records);
    h.headEnd = dcjfsn::kHeadEnd;
    if (v2018) {
        Fill(&h.finanIns, "B0001");
        h.enableTime = 20260101;
        Fill(&h.machineSNo, machineNo);
        Fill(&h.machineType, "DCJ");
        Fill(&h.machineModel, "QOLT-SIM");
        Fill(&h.hardVerNo, "HW1.0");
        Fill(&h.authSoftVerNo, "AUTH1.0");
        Fill(&h.applidenom, "CNY");
        Fill(&h.finanInst, "QOLT SIM BANK");
        Fill(&h.finanInstOutlet, "BRANCH 001");
        Fill(&h.operatorNo, "0001");
    }
    return h;
}

}  // namespace

dcjfsn::Image DrawSerial(const std::string& text, uint16_t width, uint16_t height)
{
    dcjfsn::Image im;
    width = std::min<uint16_t>(width, dcjfsn::kImageColumns);
    height = std::min<uint16_t>(height, dcjfsn::kImageColumns);
    im.num = static_cast<uint16_t>(std::min(text.size(), dcjfsn::kImageChars));
    im.width = width;
    im.height = height;
    // The largest whole scale that fits, centred in the cell.
    const int scale = std::max(1, std::min((width - 1) / 5, (height - 1) / 7));
    const int left = (width - 5 * scale) / 2, top = (height - 7 * scale) / 2;
    for (size_t c = 0; c < im.num; ++c) {
        const Glyph* g = FindGlyph(text[c]);
        if (g == nullptr) continue;
        for (int x = 0; x < width; ++x) {
            uint32_t column = 0;
            for (int y = 0; y < height; ++y) {
                const int gx = (x - left) / scale, gy = (y - top) / scale;
                const bool inside = x >= left && y >= top && gx < 5 && gy < 7;
                if (inside && (g->rows[gy] >> (4 - gx) & 1)) column |= 1u << (31 - y);
            }
            im.chars[c][static_cast<size_t>(x)] = column;
        }
    }
    return im;
}

dcjfsn::File MakeFsnFile(const FsnContent& content, const std::string& machineNo, const std::string& dateTime,
                         uint32_t seed, size_t fileIndex)
{
    dcjfsn::File f;
    f.layout = content.layout == dcjfsn::Layout::V2018 ? dcjfsn::Layout::V2018 : dcjfsn::Layout::V2014;
    f.images = content.images;
    f.header = MakeHeader(content, machineNo, content.records);
    uint64_t state = Mix((static_cast<uint64_t>(seed) << 32) ^ fileIndex ^ 0x46534E) | 1;
    // Serial numbers step through 10^8 by a stride prime to it (so they look
    // scattered), from a start fixed by the seed: distinct across every file
    // of a run.
    const uint64_t start = Mix(seed) % 100000000u;
    const time_t base = BaseTime(dateTime);
    unsigned totalWeight = 0;
    for (const Note& n : kNotes) totalWeight += n.weight;
    f.records.resize(content.records);
    for (size_t i = 0; i < content.records; ++i) {
        dcjfsn::Record& r = f.records[i];
        const uint64_t global = static_cast<uint64_t>(fileIndex) * content.records + i;
        const time_t at = base + static_cast<time_t>(global * 2);
        struct tm t;
        gmtime_r(&at, &t);
        r.date = dcjfsn::PackDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
        r.time = dcjfsn::PackTime(t.tm_hour, t.tm_min, t.tm_sec);
        unsigned pick = static_cast<unsigned>(Next(state) % totalWeight);
        const Note* note = kNotes;
        while (pick >= note->weight) pick -= note++->weight;
        r.valuta = note->valuta;
        r.ver = note->ver;
        // About one note in 25 is refused, with its reason in the first code.
        const bool suspect = Next(state) % 25 == 0;
        r.tfFlag = suspect ? 0 : 1;
        if (suspect) r.errorCode[0] = static_cast<uint16_t>(1 + Next(state) % 9);
        dcjfsn::SetText(&r.moneyFlag, "CNY");
        char serial[16];
        snprintf(serial, sizeof serial, "%c%c%08llu", kLetters[Next(state) % 24], kLetters[Next(state) % 24],
                 static_cast<unsigned long long>((start + global * 61803397u) % 100000000u));
        dcjfsn::SetText(&r.sNo, serial);
        r.charNum = static_cast<uint16_t>(strlen(serial));
        if (f.layout == dcjfsn::Layout::V2014) Fill(&r.machineSNo, machineNo);
        r.hasImage = content.images;
        if (content.images) r.image = DrawSerial(serial, 18, 25);
    }
    return f;
}

std::vector<FsnFile> GenerateFsnFiles(size_t files, const FsnContent& content, size_t packetSize,
                                      const std::string& machineNo, const std::string& dateTime,
                                      const std::string& sNo, uint32_t seed, std::vector<dcjfsn::File>* contents)
{
    if (packetSize == 0) packetSize = 1;
    std::vector<FsnFile> out(files);
    if (contents) contents->clear();
    for (size_t i = 0; i < files; ++i) {
        dcjfsn::File records = MakeFsnFile(content, machineNo, dateTime, seed, i);
        const std::string bytes = dcjfsn::Write(records);
        FsnFile& f = out[i];
        f.machineNo = machineNo;
        f.dateTime = dateTime;
        f.sNo = detail::SerialFor(sNo, i);
        for (size_t at = 0; at < bytes.size(); at += packetSize) f.packets.push_back(bytes.substr(at, packetSize));
        if (contents) contents->push_back(std::move(records));
    }
    return out;
}

}  // namespace dcjsim
