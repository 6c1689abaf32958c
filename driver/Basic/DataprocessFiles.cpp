// File utilities of the engine and the helpers behind them.
#include "DataprocessFiles.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "../ForkSafety.h"
#include "../LoadLogDll.h"
#include "Dataprocess.h"
#include "fileModule/fileWrite.h"
#include "pathModule.h"

namespace dcjfile {

namespace {

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

bool SyncPath(const std::string& path, int flags)
{
    // Registered: a child the host forks meanwhile keeps no descriptor of
    // the call (the archive, the upload folder).
    const int fd = dcjfork::OpenTracked(path.c_str(), flags);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    dcjfork::CloseTracked(fd);
    return ok;
}

namespace {

int OpenAt(int dir, const std::string& name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = openat(dir, name.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A file to read: a name relative to a folder descriptor.
struct Source {
    int dir;
    const std::string* name;
    unsigned long long limit = ~0ull;  // bytes to take from its start
};

// Appends everything of src to out. Only a regular file is read: a link or
// a pipe put in place of a delivered file must neither have another file's
// content copied into the upload folder nor hold the call forever.
bool CopyInto(int out, const Source& src)
{
    const int in = dcjfork::OpenTrackedAt(src.dir, src.name->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) return false;
    struct stat st;
    bool ok = fstat(in, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) errno = EINVAL;
    char buf[64 * 1024];
    for (unsigned long long left = src.limit; ok && left > 0;) {
        const ssize_t n = read(in, buf, static_cast<size_t>(std::min<unsigned long long>(sizeof(buf), left)));
        if (n == 0) break;
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        left -= static_cast<unsigned long long>(n);
        for (ssize_t done = 0; done < n && ok;) {
            const ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            ok = w > 0;
            if (ok) done += w;
        }
    }
    const int err = errno;
    dcjfork::CloseTracked(in);
    errno = err;
    return ok;
}

// Writes the sources, one after the other, into a new part file of its own
// in dir, forced to disk. The name is unique to this call and short whatever
// the final name's length: two processes publishing into one folder at once
// never write into each other's part file. It carries the writer's pid, and
// the writer holds its lock while it writes (see RemoveStalePartFiles).
bool WritePartFile(const std::vector<Source>& sources, int dir, const std::string& folder, std::string* part)
{
    static std::atomic<unsigned> sequence{0};
    int out = -1;
    for (int attempt = 0; attempt < 16 && out < 0; ++attempt) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        char unique[80];
        snprintf(unique, sizeof(unique), "%s%ld.%u.%ld%s", kPartPrefix, static_cast<long>(getpid()),
                 sequence.fetch_add(1), static_cast<long>(now.tv_nsec), kPartSuffix);
        *part = folder + unique;
        // Registered: a child forked meanwhile keeps neither the file nor its lock.
        out = dcjfork::OpenTrackedAt(dir, part->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
        if (out < 0 && errno != EEXIST) return false;
    }
    if (out < 0) return false;
    flock(out, LOCK_EX | LOCK_NB);
    bool ok = true;
    for (const Source& src : sources) ok = ok && CopyInto(out, src);
    ok = ok && fsync(out) == 0;
    const int err = errno;
    if (dcjfork::CloseTracked(out) != 0) ok = false;
    if (!ok) unlinkat(dir, part->c_str(), 0);
    errno = err;
    return ok;
}

// The folder part of a name relative to a descriptor ("" or "a/b/").
std::string FolderPart(const std::string& name)
{
    const std::string::size_type slash = name.find_last_of('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

// Copies src into a part file beside dst (so on dst's file system).
bool CopyBeside(int srcDir, const std::string& src, int dstDir, const std::string& dst, std::string* part)
{
    return WritePartFile({{srcDir, &src}}, dstDir, FolderPart(dst), part);
}

// Publishes src as dst where the file system has no rename that refuses to
// replace (FAT, exFAT): the name is reserved with an exclusive create, which
// fails on any existing file, then src is renamed over the reservation. Only
// an empty file ever carries the final name before the whole one does; a
// reservation that cannot be used is removed.
MoveResult RenameOverReservation(int srcDir, const std::string& src, int dstDir, const std::string& dst)
{
    const int fd = OpenAt(dstDir, dst, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0) return errno == EEXIST ? MoveResult::Exists : MoveResult::Failed;
    close(fd);
    if (renameat(srcDir, src.c_str(), dstDir, dst.c_str()) == 0) return MoveResult::Moved;
    const int err = errno;
    unlinkat(dstDir, dst.c_str(), 0);
    errno = err;
    return MoveResult::Failed;
}

// No-replace move within one file system.
MoveResult RenameNoReplace(int srcDir, const std::string& src, int dstDir, const std::string& dst)
{
    if (renameat2(srcDir, src.c_str(), dstDir, dst.c_str(), RENAME_NOREPLACE) == 0) return MoveResult::Moved;
    if (errno == EEXIST) return MoveResult::Exists;
    if (errno != EINVAL && errno != ENOSYS) return MoveResult::Failed;
    return RenameOverReservation(srcDir, src, dstDir, dst);
}

uint64_t LittleEndian(const unsigned char* p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

bool ReadAt(int fd, uint64_t offset, size_t size, std::vector<unsigned char>* out)
{
    out->resize(size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, out->data() + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

constexpr size_t kEndRecordSize = 22, kZip64LocatorSize = 20, kZip64EndSize = 56, kCentralHeaderSize = 46;
constexpr size_t kMaxCommentSize = 0xFFFF;
constexpr uint64_t kMaxCentralDirectory = 256ull << 20;  // far beyond any download's archive

bool ParseCentralDirectory(const std::vector<unsigned char>& cd, uint64_t count, std::vector<ZipEntry>* entries)
{
    size_t at = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (cd.size() - at < kCentralHeaderSize || LittleEndian(&cd[at], 4) != 0x02014b50) return false;
        const size_t nameLen = LittleEndian(&cd[at + 28], 2);
        const size_t extraLen = LittleEndian(&cd[at + 30], 2);
        const size_t commentLen = LittleEndian(&cd[at + 32], 2);
        const size_t total = kCentralHeaderSize + nameLen + extraLen + commentLen;
        if (cd.size() - at < total) return false;
        ZipEntry entry;
        entry.name.assign(reinterpret_cast<const char*>(&cd[at + kCentralHeaderSize]), nameLen);
        entry.size = LittleEndian(&cd[at + 24], 4);
        if (entry.size == 0xFFFFFFFFu) {
            // The real size is the first field of the zip64 extra block.
            bool found = false;
            for (size_t x = at + kCentralHeaderSize + nameLen, end = x + extraLen; end - x >= 4;) {
                const size_t id = LittleEndian(&cd[x], 2), len = LittleEndian(&cd[x + 2], 2);
                if (end - x - 4 < len) return false;
                if (id == 0x0001 && len >= 8) {
                    entry.size = LittleEndian(&cd[x + 4], 8);
                    found = true;
                    break;
                }
                x += 4 + len;
            }
            if (!found) return false;
        }
        entries->push_back(entry);
        at += total;
    }
    return at == cd.size();
}

}  // namespace

bool ReadZipEntries(const std::string& zip, std::vector<ZipEntry>* entries)
{
    entries->clear();
    const int fd = dcjfork::OpenTracked(zip.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = false;
    struct stat st;
    std::vector<unsigned char> tail, cd;
    do {
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) < kEndRecordSize) break;
        const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
        const uint64_t tailSize = std::min<uint64_t>(fileSize, kEndRecordSize + kMaxCommentSize);
        if (!ReadAt(fd, fileSize - tailSize, static_cast<size_t>(tailSize), &tail)) break;
        // The end record is the last "PK\5\6" whose comment reaches the end.
        size_t end = tail.size() - kEndRecordSize + 1;
        bool found = false;
        while (end-- > 0) {
            if (LittleEndian(&tail[end], 4) == 0x06054b50 &&
                end + kEndRecordSize + LittleEndian(&tail[end + 20], 2) == tail.size()) {
                found = true;
                break;
            }
        }
        if (!found) break;
        uint64_t count = LittleEndian(&tail[end + 10], 2);
        uint64_t cdSize = LittleEndian(&tail[end + 12], 4);
        uint64_t cdOffset = LittleEndian(&tail[end + 16], 4);
        if (count == 0xFFFF || cdSize == 0xFFFFFFFFu || cdOffset == 0xFFFFFFFFu) {
            const uint64_t endAt = fileSize - tailSize + end;
            std::vector<unsigned char> locator, record;
            if (endAt < kZip64LocatorSize || !ReadAt(fd, endAt - kZip64LocatorSize, kZip64LocatorSize, &locator) ||
                LittleEndian(&locator[0], 4) != 0x07064b50) {
                break;
            }
            const uint64_t recordAt = LittleEndian(&locator[8], 8);
            if (recordAt > fileSize || fileSize - recordAt < kZip64EndSize ||
                !ReadAt(fd, recordAt, kZip64EndSize, &record) || LittleEndian(&record[0], 4) != 0x06064b50) {
                break;
            }
            count = LittleEndian(&record[32], 8);
            cdSize = LittleEndian(&record[40], 8);
            cdOffset = LittleEndian(&record[48], 8);
        }
        if (cdSize > kMaxCentralDirectory || cdOffset > fileSize || fileSize - cdOffset < cdSize ||
            count > cdSize / kCentralHeaderSize) {
            break;
        }
        if (!ReadAt(fd, cdOffset, static_cast<size_t>(cdSize), &cd)) break;
        ok = ParseCentralDirectory(cd, count, entries);
    } while (false);
    dcjfork::CloseTracked(fd);
    if (!ok) entries->clear();
    return ok;
}

std::string PathArg(const std::string& path)
{
    return !path.empty() && path[0] == '-' ? "./" + path : path;
}

bool ListDir(const std::string& dir, std::vector<std::string>* names)
{
    // Registered: a child the host forks meanwhile keeps no descriptor of
    // the call.
    const int fd = dcjfork::OpenTracked(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    const bool ok = ForEachName(fd, [&](const char* name, bool) { names->push_back(name); }, true);
    dcjfork::CloseTracked(fd);
    std::sort(names->begin(), names->end());
    return ok;
}

bool PathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool AppendFile(const std::string& src, const std::string& dst)
{
    return AppendFileAt(AT_FDCWD, src, AT_FDCWD, dst);
}

bool AppendFileAt(int srcDir, const std::string& src, int dstDir, const std::string& dst, unsigned long long dstKeep)
{
    // Both contents are written into a new file beside dst, which then
    // replaces it: dst is never seen half-appended, and no file system has
    // to grow a file it has closed (some FUSE ones cannot).
    std::string part;
    if (!WritePartFile({{dstDir, &dst, dstKeep}, {srcDir, &src}}, dstDir, FolderPart(dst), &part)) return false;
    if (renameat(dstDir, part.c_str(), dstDir, dst.c_str()) != 0) {
        const int err = errno;
        unlinkat(dstDir, part.c_str(), 0);
        errno = err;
        return false;
    }
    unlinkat(srcDir, src.c_str(), 0);
    return true;
}

namespace {

// A regular file opened for reading, never a link or a pipe; -1 otherwise.
int OpenRegular(int dir, const std::string& name, struct stat* st)
{
    const int fd = dcjfork::OpenTrackedAt(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd >= 0 && (fstat(fd, st) != 0 || !S_ISREG(st->st_mode))) {
        dcjfork::CloseTracked(fd);
        return -1;
    }
    return fd;
}

bool ReadWhole(int fd, size_t size, std::string* out)
{
    out->resize(size);
    for (size_t done = 0; done < size;) {
        const ssize_t n = pread(fd, &(*out)[done], size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

Continuation Continues(int dir, const std::string& copy, int newDir, const std::string& name,
                       unsigned long long from, bool search)
{
    // Files larger than this are not compared: added whole, never lost.
    static constexpr off_t kMostCompared = 64 << 20;
    Continuation c;
    struct stat st;
    if (fstatat(dir, copy.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
        c.kind = Continuation::Replace;
        return c;
    }
    // Expected past the copy's end (a name this download delivered, added
    // to as usual): nothing to read.
    if (from > static_cast<unsigned long long>(st.st_size)) return c;
    std::string e, n;
    struct stat es, ns;
    const int a = OpenRegular(dir, copy, &es);
    const int b = a < 0 ? -1 : OpenRegular(newDir, name, &ns);
    const bool read = b >= 0 && es.st_size <= kMostCompared && ns.st_size <= kMostCompared &&
                      ReadWhole(a, static_cast<size_t>(es.st_size), &e) &&
                      ReadWhole(b, static_cast<size_t>(ns.st_size), &n);
    if (b >= 0) dcjfork::CloseTracked(b);
    if (a >= 0) dcjfork::CloseTracked(a);
    if (!read || from > e.size()) return c;
    const size_t need = std::min<size_t>(n.size(), 64);
    for (size_t p = static_cast<size_t>(from), tries = 0; p + need <= e.size() && tries < 4096; ++p, ++tries) {
        const void* hit = need == 0 || !search ? e.data() + p : memmem(e.data() + p, e.size() - p, n.data(), need);
        if (hit == nullptr) break;
        p = static_cast<size_t>(static_cast<const char*>(hit) - e.data());
        const size_t common = std::min(n.size(), e.size() - p);
        if (memcmp(e.data() + p, n.data(), common) == 0) {
            c.kind = e.size() - p >= n.size() ? Continuation::Held : Continuation::Extends;
            c.at = p;
            c.size = n.size();
            return c;
        }
        if (!search) break;
    }
    return c;
}

bool SyncDir(const std::string& dir)
{
    return SyncPath(dir.empty() ? std::string(".") : dir, O_RDONLY | O_DIRECTORY);
}

bool SyncFile(const std::string& path)
{
    return SyncPath(path, O_RDONLY);
}

MoveResult MoveFile(const std::string& src, const std::string& dst, bool replace)
{
    return MoveFileAt(AT_FDCWD, src, AT_FDCWD, dst, replace);
}

namespace {

enum class Publish { Replace, NoReplace, NewFile };

bool NameTaken(int dir, const std::string& name)
{
    struct stat st;
    return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

MoveResult Rename(Publish how, int srcDir, const std::string& src, int dstDir, const std::string& dst)
{
    if (how == Publish::NoReplace) return RenameNoReplace(srcDir, src, dstDir, dst);
    if (how == Publish::NewFile) {
        if (renameat2(srcDir, src.c_str(), dstDir, dst.c_str(), RENAME_NOREPLACE) == 0) return MoveResult::Moved;
        if (errno == EEXIST) return MoveResult::Exists;
        if (errno != EINVAL && errno != ENOSYS) return MoveResult::Failed;
        // No such rename here (FAT, exFAT): a reservation would show an
        // empty file under the final name, so the name is looked up first.
        if (NameTaken(dstDir, dst)) {
            errno = EEXIST;
            return MoveResult::Exists;
        }
    }
    return renameat(srcDir, src.c_str(), dstDir, dst.c_str()) == 0 ? MoveResult::Moved : MoveResult::Failed;
}

MoveResult MoveAt(Publish how, int srcDir, const std::string& src, int dstDir, const std::string& dst)
{
    const MoveResult first = Rename(how, srcDir, src, dstDir, dst);
    if (first != MoveResult::Failed || errno != EXDEV) return first;
    // Another file system: nothing is copied for a name that is taken, and
    // the copy goes into a part file beside the destination first, so no
    // half-written file ever carries the final name.
    if (how != Publish::Replace && NameTaken(dstDir, dst)) {
        errno = EEXIST;
        return MoveResult::Exists;
    }
    std::string part;
    if (!CopyBeside(srcDir, src, dstDir, dst, &part)) return MoveResult::Failed;
    const MoveResult result = Rename(how, dstDir, part, dstDir, dst);
    const int err = errno;
    unlinkat(result == MoveResult::Moved ? srcDir : dstDir, result == MoveResult::Moved ? src.c_str() : part.c_str(),
             0);
    errno = err;
    return result;
}

}  // namespace

MoveResult MoveFileAt(int srcDir, const std::string& src, int dstDir, const std::string& dst, bool replace)
{
    return MoveAt(replace ? Publish::Replace : Publish::NoReplace, srcDir, src, dstDir, dst);
}

MoveResult MoveNewFileAt(int srcDir, const std::string& src, int dstDir, const std::string& dst)
{
    return MoveAt(Publish::NewFile, srcDir, src, dstDir, dst);
}

bool IsStalePartFile(int dir, const char* name)
{
    // ".<anything>.<pid>.<sequence>.<nanoseconds>.part", as CopyBeside names
    // them (and as it did before, with the final name in front).
    const size_t len = strlen(name);
    const size_t suffixLen = strlen(kPartSuffix);
    if (name[0] != '.' || len <= suffixLen || strcmp(name + len - suffixLen, kPartSuffix) != 0) return false;
    std::string rest(name, len - suffixLen);
    long numbers[3];
    for (int i = 2; i >= 0; --i) {
        const std::string::size_type dot = rest.find_last_of('.');
        const std::string digits = dot == std::string::npos ? std::string() : rest.substr(dot + 1);
        if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        numbers[i] = strtol(digits.c_str(), nullptr, 10);
        rest.resize(dot);
    }
    const long pid = numbers[0];
    // Its writer is gone: no such process, and nobody holds the file's lock
    // (a writer in another pid namespace still does).
    if (pid <= 0 || pid > INT32_MAX || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) return false;
    const int fd = OpenAt(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    const bool stale = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return stale;
}

int RemoveStalePartFiles(int dir, bool justOpened)
{
    int removed = 0;
    const bool listed = ForEachName(
        dir,
        [&](const char* name, bool) {
            if (IsStalePartFile(dir, name) && unlinkat(dir, name, 0) == 0) {
                LOG_INFOF("RemoveStalePartFiles: removed %s, left by a copy that did not end", name);
                ++removed;
            }
        },
        justOpened);
    return listed ? removed : -1;
}

void RemoveEntryAt(int dir, const char* name, int keep, int depth)
{
    // Each level holds a descriptor and a listing buffer on the stack; the
    // driver itself never makes a folder in the working folder.
    constexpr int kDeepest = 4;
    struct stat st, kept;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
        unlinkat(dir, name, 0);
        return;
    }
    // A pipe or a device is left where it is, as it always was.
    if (!S_ISDIR(st.st_mode)) {
        LOG_ERROR("CDataProcess::RemoveDir unknow file type!");
        return;
    }
    if (depth >= kDeepest) return;
    const int sub = dcjfork::OpenTrackedAt(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (sub < 0) return;
    const bool isKept = keep >= 0 && fstat(sub, &st) == 0 && fstat(keep, &kept) == 0 && st.st_dev == kept.st_dev &&
                        st.st_ino == kept.st_ino;
    if (isKept) {
        LOG_ERRORF("RemoveEntryAt: %s is the upload folder: kept", name);
    } else {
        ForEachName(
            sub, [&](const char* inner, bool) { RemoveEntryAt(sub, inner, keep, depth + 1); }, true);
    }
    dcjfork::CloseTracked(sub);
    if (!isKept) unlinkat(dir, name, AT_REMOVEDIR);
}

namespace {

// Plain arrays: a child forked while one is written finds at worst a wrong
// entry (one more look), never a broken string.
struct LookedIn {
    size_t len = 0;
    char path[512];
    FolderIdentity id;
};
constexpr int kLookedIn = 8;
LookedIn g_lookedIn[kLookedIn];
int g_nextLookedIn = 0;

bool operator==(const FolderIdentity& a, const FolderIdentity& b)
{
    return a.dev == b.dev && a.ino == b.ino && a.bornSec == b.bornSec && a.bornNsec == b.bornNsec;
}

}  // namespace

bool LookedForPartFiles(const std::string& folder, int dir, FolderIdentity* id)
{
    // Its birth time too, where the file system keeps one: a folder made
    // anew under the same name may get the inode number of the one before.
    *id = FolderIdentity();
    struct statx sx;
    if (statx(dir, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_INO)) {
        id->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        id->ino = sx.stx_ino;
        id->bornSec = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : 0;
        id->bornNsec = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_nsec : 0;
    } else {
        // A kernel or an emulator without statx.
        struct stat st;
        if (fstat(dir, &st) != 0) return false;
        id->dev = st.st_dev;
        id->ino = st.st_ino;
    }
    for (const LookedIn& l : g_lookedIn) {
        if (l.len == folder.size() && memcmp(l.path, folder.data(), l.len) == 0 && l.id == *id) return true;
    }
    return false;
}

void NoteLookedForPartFiles(const std::string& folder, const FolderIdentity& id)
{
    if (folder.empty() || folder.size() > sizeof(g_lookedIn[0].path) || id.ino == 0) return;
    LookedIn& l = g_lookedIn[g_nextLookedIn];
    g_nextLookedIn = (g_nextLookedIn + 1) % kLookedIn;
    l.len = 0;
    memcpy(l.path, folder.data(), folder.size());
    l.id = id;
    l.len = folder.size();
}

bool ForEachName(int dir, const std::function<void(const char* name, bool isFileOrLink)>& f, bool justOpened)
{
    // The descriptor itself is read: no second descriptor of the folder and
    // no DIR stream, whose set-up costs more system calls than the listing.
    if (!justOpened && lseek(dir, 0, SEEK_SET) != 0) return false;
    alignas(8) char buf[8192];
    for (;;) {
        const long n = syscall(SYS_getdents64, dir, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        for (long at = 0; at < n;) {
            // struct linux_dirent64: inode (8), offset (8), record length
            // (2), type (1), name.
            unsigned short length;
            memcpy(&length, buf + at + 16, sizeof(length));
            const unsigned char type = static_cast<unsigned char>(buf[at + 18]);
            const char* name = buf + at + 19;
            at += length;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
            f(name, type == DT_REG || type == DT_LNK);
        }
    }
}

bool FolderLock::Open(const std::string& dir, bool make)
{
    if (m_fd >= 0) return true;
    // Opened without following a link it is a real directory: the usual
    // case needs no look before. Anything else is mended, then opened.
    const std::string bare = WithoutTrailingSlashes(dir);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
    m_fd = dcjfork::OpenTracked(bare.c_str(), flags);
    if (m_fd < 0 && make && EnsureRealDir(dir)) m_fd = dcjfork::OpenTracked(bare.c_str(), flags);
    if (m_fd < 0) return false;
    WatchOpened();
    return true;
}

void FolderLock::Adopt(int fd)
{
    if (fd < 0) return;
    if (m_fd >= 0) {
        dcjfork::CloseTracked(fd);
        return;
    }
    m_fd = fd;
    WatchOpened();
}

// The descriptor is tracked, so a child never keeps it; nothing inside the
// folder is opened before the folder is watched.
void FolderLock::WatchOpened()
{
    if (!m_watch) m_watch.reset(new (std::nothrow) dcjfork::WatchFolder(m_fd));
}

bool FolderLock::Acquire(int timeoutSec)
{
    if (m_fd < 0) return false;
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (bool first = true;; first = false) {
        if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (first) LogFlushBeforeWait();  // waiting on another process: held records go out first
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= (timeoutSec > 0 ? timeoutSec : 0)) return false;
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

FolderLock::~FolderLock()
{
    if (m_fd < 0) return;
    m_watch.reset();
    dcjfork::CloseTracked(m_fd);  // releases the lock
}

CheckedFolders::~CheckedFolders()
{
    dcjfork::CloseTracked(upload);
    dcjfork::CloseTracked(working);
}

bool EnsureRealDir(const std::string& dir)
{
    const std::string bare = WithoutTrailingSlashes(dir);
    struct stat st;
    const bool found = lstat(bare.c_str(), &st) == 0;
    if (found && S_ISDIR(st.st_mode)) return true;
    if (found) {
        if (!S_ISLNK(st.st_mode)) return false;  // a file in the way is not ours to delete
        if (unlink(bare.c_str()) != 0) return false;
    }
    return pathModuleSpace::CMakePahtModule().makePath(dir.c_str());
}

}  // namespace dcjfile

// ---------------------------------------------------------------------------
// Engine members.

char* CDataProcess::strrpl(char* in, char* out, int outlen, const char* src, char* dst)
{
    if (src == nullptr || dst == nullptr || in == nullptr || out == nullptr) return nullptr;
    if (in[0] == '\0' || src[0] == '\0' || outlen <= 0) return nullptr;

    const size_t srcLen = strlen(src);
    const size_t dstLen = strlen(dst);
    size_t capacity = static_cast<size_t>(outlen) - 1;
    char* pos = out + strlen(out);
    while (capacity > 0 && *in != '\0') {
        if (strncmp(in, src, srcLen) == 0) {
            if (dstLen > capacity) break;  // a replacement is written whole or not at all
            memcpy(pos, dst, dstLen);
            pos += dstLen;
            in += srcLen;
            capacity -= dstLen;
        } else {
            *pos++ = *in++;
            --capacity;
        }
        *pos = '\0';
    }
    return out;
}

bool CDataProcess::RemoveDir(const char* szFileDir)
{
    if (szFileDir == nullptr) return false;
    // lstat, and without a trailing slash, which would make it follow a
    // link: links are removed as links, never followed into another tree.
    std::string path(szFileDir);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        LOG_ERROR(errno == ENOENT || errno == ENOTDIR ? "CDataProcess::RemoveDir szFileDir is not access"
                                                      : "CDataProcess::RemoveDir get directory stat error");
        return false;
    }
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
        remove(path.c_str());
        return true;
    }
    if (S_ISDIR(st.st_mode)) {
        DIR* dp = opendir(path.c_str());
        if (dp == nullptr) return true;  // unreadable: nothing of ours can be inside
        while (struct dirent* entry = readdir(dp)) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
            const std::string dir_name = std::string(szFileDir) + "/" + entry->d_name;
            RemoveDir(dir_name.c_str());
        }
        closedir(dp);
        return true;
    }
    LOG_ERROR("CDataProcess::RemoveDir unknow file type!");
    return true;
}

bool CDataProcess::SaveFile(char* data, int dataLen, char* filePath)
{
    if (filePath == nullptr || dataLen < 0) return false;
    fileWriteModuleSpace::CFileWriteModule writer;
    return writer.writeFile(filePath, data, static_cast<unsigned long>(dataLen), false, true);
}

bool CDataProcess::sysSyncFile(char* filePathName)
{
    return filePathName != nullptr && dcjfile::SyncFile(filePathName);
}

bool CDataProcess::GetCurTime(char* buf, int bufSize)
{
    if (buf == nullptr || bufSize <= 13) return false;
    // The clock the same-second retry waits on: time() may lag it by a tick.
    struct timespec precise;
    clock_gettime(CLOCK_REALTIME, &precise);
    const time_t now = precise.tv_sec;
    struct tm local;
    if (!dcjfork::LocalTime(now, &local)) return false;
    char stamp[32];
    if (strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &local) != 14) return false;
    // 14 digits and the terminator; a 14-byte buffer keeps the digits only.
    const size_t n = strnlen(stamp, static_cast<size_t>(bufSize) - 1);
    memcpy(buf, stamp, n);
    buf[n] = '\0';
    return true;
}

namespace {

// Bytes of arguments one command line can still take: the kernel counts the
// environment in (a quarter of the stack limit, at least 128 KiB).
size_t ArgumentRoom()
{
    long most = sysconf(_SC_ARG_MAX);
    if (most < 128 * 1024) most = 128 * 1024;
    size_t taken = 8192;  // the program, its options, the archive's path
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) taken += strlen(*e) + 1 + sizeof(char*);
    return static_cast<size_t>(most) > taken + 8192 ? static_cast<size_t>(most) - taken : 8192;
}

// zip with as many of the files a run as a command line takes (one argument
// a file passed the limit, E2BIG, near ten thousand files): the runs after
// the first add to its archive. All of them within timeLimitSeconds; an
// outcome a host that reaps children hides is left to the entry check.
bool ZipInRuns(const std::vector<std::string>& command, const std::vector<std::string>& files, int timeLimitSeconds)
{
    const size_t room = ArgumentRoom();
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (size_t next = 0; next < files.size();) {
        std::vector<std::string> argv = command;
        for (size_t used = 0; next < files.size() && (argv.size() == command.size() ||
                                                      used + files[next].size() + 1 + sizeof(char*) <= room);) {
            used += files[next].size() + 1 + sizeof(char*);
            argv.push_back(files[next++]);
        }
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long left = timeLimitSeconds - static_cast<long long>(now.tv_sec - start.tv_sec);
        if (left <= 0) return false;
        const int status = dcjfile::RunProgram(argv, static_cast<int>(left));
        if (status != 0 && status != dcjfile::kOutcomeUnknown) return false;
    }
    return true;
}

}  // namespace

bool CDataProcess::CreateZipFile(char* cSrcFile, char* cZipName)
{
    if (cSrcFile == nullptr || cZipName == nullptr || cSrcFile[0] == '\0' || cZipName[0] == '\0') return false;

    char sysCMD[512];
    snprintf(sysCMD, sizeof(sysCMD), "%s%s %s", "zip -j -r ", cZipName, cSrcFile);
    LOG_ERROR(sysCMD);

    // zip would add to an archive that is already there.
    struct stat st;
    if (lstat(cZipName, &st) == 0) return false;

    std::vector<dcjfile::ZipEntry> expected;
    const size_t srcLen = strlen(cSrcFile);
    if (cSrcFile[srcLen - 1] == '*') {
        // "<folder>/*": the folder's regular files, listed here rather than
        // by a shell, so no character of the path is ever interpreted. A
        // folder in it (the upload folder mounted there, say) is not the
        // download's, and stays out.
        const std::string folder(cSrcFile, srcLen - 1);
        std::vector<std::string> names, files;
        if (!dcjfile::ListDir(folder.empty() ? "." : folder, &names)) return false;
        for (const std::string& name : names) {
            if (lstat((folder + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            files.push_back(dcjfile::PathArg(folder + name));
            expected.push_back({name, static_cast<unsigned long long>(st.st_size)});
        }
        if (files.empty() || !ZipInRuns({"zip", "-j", dcjfile::PathArg(cZipName)}, files, m_ToolSeconds)) return false;
    } else {
        const int status = dcjfile::RunProgram({"zip", "-j", "-r", dcjfile::PathArg(cZipName), dcjfile::PathArg(cSrcFile)},
                                               m_ToolSeconds);
        if (status != 0) return false;
    }
    if (!expected.empty()) {
        // Exactly the files given, at their sizes: zip's own word is lost in
        // a host that reaps its children itself, and may be wrong anyway.
        std::vector<dcjfile::ZipEntry> packed;
        if (!dcjfile::ReadZipEntries(cZipName, &packed) || packed.size() != expected.size()) return false;
        std::sort(packed.begin(), packed.end(),
                  [](const dcjfile::ZipEntry& a, const dcjfile::ZipEntry& b) { return a.name < b.name; });
        for (size_t i = 0; i < packed.size(); ++i) {
            if (packed[i].name != expected[i].name || packed[i].size != expected[i].size) return false;
        }
    }
    return sysSyncFile(cZipName);
}
