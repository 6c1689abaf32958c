// Serial-number images as PNG files (libpng) or as text, and FSN files read
// out of a download's zip archive.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "Fsn.h"

#ifdef DCJCTL_HAVE_PNG
#include <png.h>
#endif

extern char** environ;

namespace dcjctl {

namespace {

constexpr size_t kScale = 4;  // screen pixels per image pixel
constexpr size_t kGap = 2;    // image pixels between characters

struct Extent {
    size_t chars, width, height;
};

// What the image says, cut to what its fields can hold.
Extent ExtentOf(const dcjfsn::Image& image)
{
    return {std::min<size_t>(image.num, dcjfsn::kImageChars), std::min<size_t>(image.width, dcjfsn::kImageColumns),
            std::min<size_t>(image.height, dcjfsn::kImageColumns)};
}

bool IsFsnName(const std::string& name)
{
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return ext == ".FSN";
}

// The names in dir, sorted, without "." and "..".
std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The unpacking folder holds plain files only (unzip -j makes no folders).
void RemoveFolder(const std::string& dir)
{
    for (const std::string& name : Entries(dir)) unlink((dir + "/" + name).c_str());
    rmdir(dir.c_str());
}

}  // namespace

#ifdef DCJCTL_HAVE_PNG
bool PngSupported()
{
    return true;
}

bool WriteSerialPng(const std::string& path, const dcjfsn::Image& image, std::string* error)
{
    const Extent e = ExtentOf(image);
    const size_t cols = std::max<size_t>(1, e.chars * (e.width + kGap) + kGap);
    const size_t rows = e.height + 2 * kGap;
    const size_t w = cols * kScale, h = rows * kScale;
    std::vector<png_byte> pixels(w * h, 0xFF);
    for (size_t c = 0; c < e.chars; ++c) {
        for (size_t x = 0; x < e.width; ++x) {
            for (size_t y = 0; y < e.height; ++y) {
                if (!image.Pixel(c, x, y)) continue;
                const size_t px = (kGap + c * (e.width + kGap) + x) * kScale, py = (kGap + y) * kScale;
                for (size_t dy = 0; dy < kScale; ++dy) memset(&pixels[(py + dy) * w + px], 0, kScale);
            }
        }
    }
    png_image png;
    memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(w);
    png.height = static_cast<png_uint_32>(h);
    png.format = PNG_FORMAT_GRAY;
    // Written beside its name and renamed over it: a link planted at the
    // name is replaced, never written through, and a run cut short leaves
    // no half image under the name.
    // A short name in the same folder: the image's own name may be as long
    // as a name can be.
    const size_t slash = path.rfind('/');
    std::string temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + ".dcjctl-XXXXXX";
    const int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    // The mode a plain create would give, not the temporary file's 0600.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE* out = fdopen(fd, "wb");
    if (out == nullptr) {
        *error = path + ": " + strerror(errno);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    const bool drawn = png_image_write_to_stdio(&png, out, 0, pixels.data(), static_cast<png_int_32>(w), nullptr);
    if (!drawn) *error = path + ": " + png.message;
    png_image_free(&png);
    const bool closed = fclose(out) == 0;
    if (drawn && !closed) *error = path + ": " + strerror(errno);
    if (!drawn || !closed || rename(temp.c_str(), path.c_str()) != 0) {
        if (drawn && closed) *error = path + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}
#else
bool PngSupported()
{
    return false;
}

bool WriteSerialPng(const std::string& path, const dcjfsn::Image&, std::string* error)
{
    *error = path + ": this dcjctl was built without PNG support";
    return false;
}
#endif

std::string DrawSerialText(const dcjfsn::Image& image)
{
    const Extent e = ExtentOf(image);
    std::string out;
    for (size_t y = 0; y < e.height; ++y) {
        out += "    ";
        for (size_t c = 0; c < e.chars; ++c) {
            for (size_t x = 0; x < e.width; ++x) out += image.Pixel(c, x, y) ? '#' : '.';
            out += ' ';
        }
        out += '\n';
    }
    return out;
}

bool ReadFsnInZip(const std::string& zip, std::vector<NamedFsn>* files, std::string* error)
{
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/dcjctl-check-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) {
        *error = dir + ": " + strerror(errno);
        return false;
    }
    // unzip -j: only the entries' base names, so nothing lands outside dir.
    // A relative name starting with "-" would be read as options.
    const std::string zipArg = !zip.empty() && zip[0] == '-' ? "./" + zip : zip;
    const char* argv[] = {"unzip", "-qq", "-j", "-o", zipArg.c_str(), "-d", dir.c_str(), nullptr};
    pid_t pid = -1;
    int status = -1;
    const int spawned = posix_spawnp(&pid, "unzip", nullptr, nullptr, const_cast<char**>(argv), environ);
    if (spawned == 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    std::vector<std::string> names;
    for (const std::string& name : Entries(dir)) {
        if (IsFsnName(name)) names.push_back(name);
    }
    const bool ok = spawned == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (ok) {
        for (const std::string& name : names) {
            NamedFsn f{name, {}};
            std::string readError;
            if (!dcjfsn::ReadPath(dir + "/" + name, &f.file, &readError)) f.file.problems.push_back("cannot read: " + readError);
            files->push_back(std::move(f));
        }
    } else {
        *error = zip + ": unzip " + (spawned != 0 ? std::string("could not start: ") + strerror(spawned) : "failed");
    }
    RemoveFolder(dir);
    return ok;
}

}  // namespace dcjctl
