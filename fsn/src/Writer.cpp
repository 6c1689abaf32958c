// The writer, field by field in the order of the layout tables.
#include "dcjfsn/Fsn.h"

namespace dcjfsn {

namespace {

class Out {
public:
    explicit Out(std::string* bytes) : m_bytes(bytes) {}
    void U16(uint16_t v)
    {
        m_bytes->push_back(static_cast<char>(v & 0xFF));
        m_bytes->push_back(static_cast<char>(v >> 8));
    }
    void U32(uint32_t v)
    {
        U16(static_cast<uint16_t>(v & 0xFFFF));
        U16(static_cast<uint16_t>(v >> 16));
    }
    template <size_t N>
    void Units(const std::array<uint16_t, N>& units)
    {
        for (uint16_t u : units) U16(u);
    }

private:
    std::string* m_bytes;
};

void WriteHeader(Out& o, const Header& h, bool v2018)
{
    o.Units(h.headStart);
    o.Units(h.headString);
    if (v2018) o.U16(h.headDataTypeFlag);
    o.U32(h.counter);
    if (v2018) {
        o.Units(h.finanIns);
        o.U32(h.enableTime);
        o.Units(h.machineSNo);
        o.Units(h.machineType);
        o.Units(h.machineModel);
        o.Units(h.hardVerNo);
        o.Units(h.authSoftVerNo);
        o.Units(h.applidenom);
        o.Units(h.finanInst);
        o.Units(h.finanInstOutlet);
        o.Units(h.operatorNo);
        o.U16(h.reserve1);
    }
    o.Units(h.headEnd);
}

void WriteRecord(Out& o, const Record& r, bool v2018, bool images)
{
    o.U16(r.date);
    o.U16(r.time);
    o.U16(r.tfFlag);
    o.Units(r.errorCode);
    o.Units(r.moneyFlag);
    o.U16(r.ver);
    o.U16(r.valuta);
    o.U16(r.charNum);
    o.Units(r.sNo);
    if (v2018) {
        o.Units(r.reserved2018);
    } else {
        o.Units(r.machineSNo);
        o.U16(r.reserve1);
    }
    if (!images) return;
    o.U16(r.image.num);
    o.U16(r.image.height);
    o.U16(r.image.width);
    o.U16(r.image.reserved);
    for (const auto& ch : r.image.chars) {
        for (uint32_t col : ch) o.U32(col);
    }
}

}  // namespace

std::string Write(const File& file)
{
    const bool v2018 = file.layout == Layout::V2018;
    const Layout layout = v2018 ? Layout::V2018 : Layout::V2014;
    std::string bytes;
    bytes.reserve(HeaderSize(layout) + file.records.size() * RecordSize(layout, file.images));
    Out o(&bytes);
    WriteHeader(o, file.header, v2018);
    for (const Record& r : file.records) WriteRecord(o, r, v2018, file.images);
    return bytes;
}

}  // namespace dcjfsn
