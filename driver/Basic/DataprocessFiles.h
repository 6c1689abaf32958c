// File-system helpers of the FSN download that are not engine members.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dcjfork {
class WatchFolder;
}

namespace dcjfile {

// Runs argv[0] (found on PATH) with the given arguments, without a shell,
// with stdin, stdout and stderr on /dev/null and no other descriptor, in a
// process group of its own, with no signal blocked or ignored. It dies with
// the host, and so does anything it started (a watchdog shell in its group
// kills the group when the host dies); what it leaves running in its group
// is killed when it ends; after timeLimitSeconds (<= 0: 60) it is killed
// with its whole group. Returns its exit status, -1 when it could not be started or did not
// exit normally, kTimedOut when it was killed for its time, or
// kOutcomeUnknown when it ran to its end but the host reaped it first (a
// host that ignores SIGCHLD, or reaps every child itself).
constexpr int kOutcomeUnknown = -2;
constexpr int kTimedOut = -3;
int RunProgram(const std::vector<std::string>& argv, int timeLimitSeconds);
// The same, waiting as on kernels without pidfd_open (by polling), so that
// path runs in the tests on any kernel.
int RunProgramPolling(const std::vector<std::string>& argv, int timeLimitSeconds);

struct ZipEntry {
    std::string name;
    unsigned long long size;  // uncompressed
};
// The entries of a zip archive's central directory, in archive order
// (zip64 included). False when the file is not a readable, consistent zip.
bool ReadZipEntries(const std::string& zip, std::vector<ZipEntry>* entries);

// A path as a program argument: one starting with "-" is given as "./-..."
// so the program never takes it for an option.
std::string PathArg(const std::string& path);

// Names in dir other than "." and "..", sorted bytewise. False when dir
// cannot be read.
bool ListDir(const std::string& dir, std::vector<std::string>* names);

// Calls f with each name in the folder dir refers to, other than "." and
// ".." (isFileOrLink: the file system says it is a regular file or a link),
// read from its start through that very descriptor. False when it cannot
// be read. A descriptor nothing has read yet is at its start already:
// justOpened spares the rewind.
bool ForEachName(int dir, const std::function<void(const char* name, bool isFileOrLink)>& f,
                 bool justOpened = false);

enum class MoveResult { Moved, Exists, Failed };
// Moves a finished file to dst and forces it to disk. replace=false never
// touches an existing dst, on any file system (FAT and exFAT included).
// Works across file systems by copying into a part file beside dst.
MoveResult MoveFile(const std::string& src, const std::string& dst, bool replace);
// The same with names relative to folder descriptors (AT_FDCWD: the current
// folder), so only the file system's own limit bounds a name.
MoveResult MoveFileAt(int srcDir, const std::string& src, int dstDir, const std::string& dst, bool replace);
// A file that should be new under dst, moved only if nothing holds the
// name; unlike replace=false, the final name never carries an empty file for
// a moment where the file system has no rename that refuses to replace: the
// name is looked up and then renamed (another writer in that gap could be
// replaced).
MoveResult MoveNewFileAt(int srcDir, const std::string& src, int dstDir, const std::string& dst);

// Part files are named "<kPartPrefix><pid>.<sequence>.<ns><kPartSuffix>".
constexpr char kPartPrefix[] = ".qolt-dcj.";
constexpr char kPartSuffix[] = ".part";
// Removes the part files a copy of this driver left in dir when its process
// died mid-copy: only names of that form, only when the process named is
// gone and nobody holds the file's lock. Returns how many were removed, -1
// when the folder could not be listed.
int RemoveStalePartFiles(int dir, bool justOpened = false);
// Whether this process has looked for part files in the folder dir, opened
// by that path, already: the same path naming the same folder (*id gets
// its identity, zero when it cannot be had). Noted... records a look. For
// one caller at a time (the device lock).
struct FolderIdentity {
    uint64_t dev = 0, ino = 0;
    int64_t bornSec = 0;
    uint32_t bornNsec = 0;
};
bool LookedForPartFiles(const std::string& folder, int dir, FolderIdentity* id);
void NoteLookedForPartFiles(const std::string& folder, const FolderIdentity& id);

// Removes the entry name of the folder dir, a folder with all it holds,
// through descriptors only: a link put in place of a folder meanwhile is
// removed as a link, never followed. The folder keep refers to (the upload
// folder, mounted in here) stays with what it holds, and so does what lies
// deeper than a few folders; pipes and devices are left as they are.
void RemoveEntryAt(int dir, const char* name, int keep, int depth = 0);

// True when something (a link included) has that name.
bool PathExists(const std::string& path);

// Appends src to the end of dst (to its first dstKeep bytes, when given),
// forces it to disk, then removes src.
bool AppendFile(const std::string& src, const std::string& dst);
bool AppendFileAt(int srcDir, const std::string& src, int dstDir, const std::string& dst,
                  unsigned long long dstKeep = ~0ull);

// How the bytes of a new file stand to a copy already under its name, from
// a place `at` in the copy on: Replace, the copy is gone or no regular file;
// Held, the copy holds them all there; Extends, the copy's rest is their
// beginning; Added, neither (or the copy cannot be read or compared: nothing
// of it is given up).
struct Continuation {
    enum Kind { Replace, Held, Extends, Added } kind = Added;
    unsigned long long at = 0;
    unsigned long long size = 0;  // of the new file, when compared
};
// The first such place from `from` on (search), or `from` only. A place
// needs the first 64 new bytes (all, when fewer) to match: a few bytes that
// happen to agree are no copy.
Continuation Continues(int dir, const std::string& copy, int newDir, const std::string& name,
                       unsigned long long from, bool search);

// Forces a directory's entries (new names, renames) to disk.
bool SyncDir(const std::string& dir);
// Forces a file's data to disk.
bool SyncFile(const std::string& path);

// Makes dir (and its parents) a real directory: a symbolic link in its place
// is removed, never followed.
bool EnsureRealDir(const std::string& dir);

// An exclusive lock on a folder, shared by every process that uses it: two
// downloads through one working folder would delete each other's files.
// A child forked while it is held keeps no descriptor of the folder or of
// anything in it (see ForkSafety.h), so it never holds the lock.
class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    // Opens dir, made a real directory first when it is missing or a link
    // (see EnsureRealDir), unless not make. False when it cannot be made or
    // opened. Once open, it stays.
    bool Open(const std::string& dir, bool make = true);
    // Takes over a tracked descriptor of the real directory, opened already.
    void Adopt(int fd);
    // Waits at most timeoutSec seconds for the opened folder to be free.
    bool Acquire(int timeoutSec);
    // The folder, for names relative to it.
    int fd() const { return m_fd; }

private:
    void WatchOpened();
    int m_fd = -1;
    std::unique_ptr<dcjfork::WatchFolder> m_watch;
};

// The upload folder and the working folder, opened where the check that
// one lies outside the other found no link on their paths, for the
// download to take over (tracked descriptors; what is not taken is closed).
struct CheckedFolders {
    CheckedFolders() = default;
    ~CheckedFolders();
    CheckedFolders(const CheckedFolders&) = delete;
    CheckedFolders& operator=(const CheckedFolders&) = delete;
    int upload = -1;
    int working = -1;
};

}  // namespace dcjfile
