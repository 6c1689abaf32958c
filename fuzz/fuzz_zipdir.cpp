// The archive check: any bytes as an archive file. Reading never goes out of
// bounds, and an accepted archive's entries all lie in its directory.
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Basic/DataprocessFiles.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = memfd_create("fuzz-zip", MFD_CLOEXEC);
    if (fd < 0) abort();
    if (ftruncate(fd, 0) != 0) abort();
    for (size_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::vector<dcjfile::ZipEntry> entries = {{"stale", 1}};
    if (dcjfile::ReadZipEntries(path, &entries)) {
        size_t names = 0;
        for (const auto& entry : entries) names += entry.name.size();
        // Every entry takes a 46-byte header plus its name in the file.
        FUZZ_CHECK(entries.size() * 46 + names <= size);
    } else {
        FUZZ_CHECK(entries.empty());
    }
    return 0;
}
