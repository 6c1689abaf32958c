// The FSN reader: any bytes as a file. It reads only whole records inside
// the data, every text it returns is valid UTF-8, a clean file is exactly
// what its fields say, and what it read writes back as the bytes it came from.
#include <string.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "dcjfsn/Fsn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly size bytes, so a read past them shows.
    std::vector<uint8_t> bytes(data, data + size);
    const dcjfsn::File f = dcjfsn::Parse(bytes.data(), bytes.size());
    if (f.layout == dcjfsn::Layout::Unknown) {
        FUZZ_CHECK(!f.Clean());
        FUZZ_CHECK(f.records.empty());
        return 0;
    }
    const size_t header = dcjfsn::HeaderSize(f.layout), record = dcjfsn::RecordSize(f.layout, f.images);
    FUZZ_CHECK(header + f.records.size() * record <= size);
    if (f.Clean()) {
        FUZZ_CHECK(header + f.header.counter * static_cast<uint64_t>(record) == size);
        FUZZ_CHECK(f.records.size() == f.header.counter);
    }
    const std::string written = dcjfsn::Write(f);
    FUZZ_CHECK(written.size() == header + f.records.size() * record);
    FUZZ_CHECK(memcmp(written.data(), bytes.data(), written.size()) == 0);
    for (const dcjfsn::Record& r : f.records) {
        FUZZ_CHECK(dcjfuzz::ValidUtf8(dcjfsn::Text(r.sNo)));
        FUZZ_CHECK(dcjfuzz::ValidUtf8(dcjfsn::Text(r.moneyFlag)));
        FUZZ_CHECK(dcjfsn::TimeText(r.date, r.time).size() == 19);
    }
    for (const std::string& p : f.problems) FUZZ_CHECK(!p.empty() && dcjfuzz::ValidUtf8(p));
    return 0;
}
