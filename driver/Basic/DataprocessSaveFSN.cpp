// The FSN download: receive every packet of every file, store it durably,
// deliver the files one by one or packed in one archive.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include <utility>

#include "../ForkSafety.h"
#include "../LoadLogDll.h"
#include "../MERV_QOLT_DCJ.h"
#include "Dataprocess.h"
#include "DataprocessFiles.h"
#include "pathModule.h"
#include "ResultCodes.h"

namespace {

const char kSuccess[] = DCJ_RC_SUCCESS;
const char kNetworkFailed[] = DCJ_RC_NETWORK_FAILED;
const char kBadResponse[] = DCJ_RC_RESPONSE_DATA_ERROR;
const char kZipFailed[] = DCJ_RC_ZIP_FAILED;
const char kBadParameter[] = DCJ_RC_BAD_PARAMETER;
// Storage failures (write, sync, rename, folders, memory) have no code of
// their own; they must still never pass for success.
const char kStorageFailed[] = DCJ_RC_UNKNOWN_ERROR;

// The folder fd is still the one path names: a folder moved away or
// unmounted (lazily: its files then vanish with the last descriptor) while
// the files went into it has delivered nothing under the listed names.
bool StillAt(int fd, const std::string& path)
{
    struct stat open, named;
    return fstat(fd, &open) == 0 && open.st_nlink > 0 && stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Attempts at a 14-digit archive name that no earlier archive holds: this
// second and the ones after it.
constexpr int kArchiveNameAttempts = 60;

// snprintf into a fixed buffer; false instead of a cut path.
__attribute__((format(printf, 3, 4))) bool FormatInto(char* buf, size_t size, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const int n = vsnprintf(buf, size, fmt, args);
    va_end(args);
    return n >= 0 && static_cast<size_t>(n) < size;
}
template <size_t N, typename... Args>
bool FormatFits(char (&buf)[N], const char* fmt, Args... args)
{
    return FormatInto(buf, N, fmt, args...);
}

// One block for the packet data, grown to the largest packet of this
// download and released with it.
class PacketBuffer {
public:
    char* Reserve(uint32_t bytes)
    {
        if (bytes > m_size || !m_data) {
            m_data.reset(static_cast<char*>(malloc(bytes ? bytes : 1)));
            m_size = m_data ? bytes : 0;
        }
        return m_data.get();
    }

private:
    struct Free {
        void operator()(char* p) const { free(p); }
    };
    std::unique_ptr<char, Free> m_data;
    uint32_t m_size = 0;
};

// The file being received, open from its first packet to its last: each
// packet costs one write, the file one sync. One descriptor at a time,
// closed on every path.
class GrowingFile {
public:
    GrowingFile() = default;
    GrowingFile(const GrowingFile&) = delete;
    GrowingFile& operator=(const GrowingFile&) = delete;
    ~GrowingFile() { Close(); }

    // Appends to what is there (a name repeated in one archive download keeps
    // both contents). Never through a link, never a pipe or a device.
    // writeBehind: the file will be forced to disk when complete, so its
    // pages are handed to the disk as they fill, and the final sync finds
    // little left to wait for.
    bool Open(int dir, const std::string& name, bool writeBehind)
    {
        Close();
        m_writeBehind = writeBehind;
        m_unsubmitted = 0;
        // A file this call creates is a regular file of ours: only one that
        // was there already needs a look.
        const int flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK;
        bool created = true;
        m_fd = dcjfork::OpenTrackedAt(dir, name.c_str(), flags | O_EXCL, 0666);
        if (m_fd < 0 && errno == EEXIST) {
            created = false;
            m_fd = dcjfork::OpenTrackedAt(dir, name.c_str(), flags, 0666);
        }
        struct stat st;
        if (m_fd >= 0 && !created && (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            Close();
            errno = EEXIST;  // something that is no file holds the name
        }
        return m_fd >= 0;
    }

    bool Append(const char* data, size_t len)
    {
        while (len > 0) {
            const ssize_t n = write(m_fd, data, len);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            len -= static_cast<size_t>(n);
            m_unsubmitted += static_cast<size_t>(n);
        }
        if (m_writeBehind && m_unsubmitted >= kWriteBehindBytes) {
            // Starts write-back without waiting for it; a file system that
            // cannot is synced at the end all the same.
            sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            m_unsubmitted = 0;
        }
        return true;
    }

    // Forces the content to disk (when durable) and closes; false when
    // either fails, for a file that is not safely stored cannot be confirmed.
    bool Finish(bool durable)
    {
        bool ok = m_fd >= 0 && (!durable || fsync(m_fd) == 0);
        if (m_fd >= 0) {
            if (dcjfork::CloseTracked(m_fd) != 0 && errno != EINTR) ok = false;
        }
        m_fd = -1;
        return ok;
    }

    void Close()
    {
        if (m_fd >= 0) {
            dcjfork::CloseTracked(m_fd);
        }
        m_fd = -1;
    }

private:
    static constexpr size_t kWriteBehindBytes = 1 << 20;
    int m_fd = -1;
    bool m_writeBehind = false;
    size_t m_unsubmitted = 0;
};

// A folder held open for the download: names inside it are given relative
// to it, so only the file system's name limit bounds them.
class FolderFd {
public:
    FolderFd() = default;
    FolderFd(const FolderFd&) = delete;
    FolderFd& operator=(const FolderFd&) = delete;
    ~FolderFd()
    {
        if (m_fd >= 0) dcjfork::CloseTracked(m_fd);
    }
    bool Open(const std::string& path)
    {
        if (m_fd >= 0) return true;
        m_fd = dcjfork::OpenTracked(path.c_str(), O_RDONLY | O_DIRECTORY);
        return m_fd >= 0;
    }
    // A tracked descriptor of the folder, opened already.
    void Adopt(int fd)
    {
        if (m_fd < 0) m_fd = fd;
        else dcjfork::CloseTracked(fd);
    }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// A file delivered in direct mode, under the name it has in the upload folder.
struct DeliveredFile {
    std::string diskName;
    std::string listedName;
    std::pair<dev_t, ino_t> inode{0, 0};
    // Where the next bytes under this name are expected in the file: at its
    // end, unless it is a copy of an earlier download that holds them.
    unsigned long long cursor = ~0ull;
    bool earlier = false;  // that copy, not compared yet: its bytes are searched
};

// Equal but for ASCII case: the folding every FAT and exFAT does.
bool EqualIgnoringCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// "YYYYMMDDhhmmss" of a local time.
bool LocalStamp(time_t when, char (&stamp)[16])
{
    struct tm local;
    return dcjfork::LocalTime(when, &local) && strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &local) == 14;
}

const char* ErrorText(int err)
{
    return err == 0 ? "unknown" : strerror(err);
}

}  // namespace

// Everything one download knows, shared by its steps.
struct CDataProcess::FsnDownload {
    dcjfile::FolderLock workingFolderLock;  // held until the download has ended
    InputFSNPara* para = nullptr;
    int timeOut = 0;
    bool archiveMode = false;
    char qoltTempDir[256] = {0};  // the working folder "<temp>QOLT/"
    std::string uploadDir;
    FolderFd uploadFolder;

    // The packet in hand.
    RESPONSE_UP header = null_Response_Up;
    char* data = nullptr;
    uint32_t dataLen = 0;
    uint32_t packetIndex = 0, packetCount = 0, fileIndex = 0, fileCount = 0;

    // Where the stream stands.
    bool inFile = false;  // a file has begun and its last packet is still to come
    uint32_t nextPacket = 0;
    uint32_t filesDone = 0;
    uint32_t announcedFiles = 0;    // fileCount of the first header
    uint32_t announcedPackets = 0;  // packetCount of the file's first packet
    unsigned long long bytesReceived = 0;

    // The file being received.
    std::string listedName;  // its name as the reply lists it
    std::string diskName;    // its name on disk (UTF-8)
    PacketBuffer buffer;
    GrowingFile growing;

    // What is delivered (direct mode): by name, and by the file on disk, for
    // a file system may take a new name for one delivered already.
    std::vector<DeliveredFile> delivered;
    std::unordered_map<std::string, size_t> deliveredByName;
    std::map<std::pair<dev_t, ino_t>, size_t> deliveredByInode;
    std::vector<size_t> inodesToRead;  // delivered files whose inode is not read yet
    std::unordered_set<std::string> folderNames;  // the upload folder's entries, read once when needed
    bool folderRead = false;
    std::string list;  // the names as the reply lists them, '|' between them
    bool leftEmpty = false;  // the working folder holds nothing more to remove

    bool namesFit = false;  // qoltTempDir holds the whole working folder's path
    bool ready = false;     // the folders were made ready while the device answered
};

std::shared_ptr<CDataProcess::FsnDownload> CDataProcess::NewDownload(InputFSNPara* fsnPara, int timeOut)
{
    if (fsnPara == nullptr || !fsnPara->strInstNo || !fsnPara->strEmpNo || !fsnPara->strRelativeFilePath ||
        !fsnPara->strUploadDir || !fsnPara->strTempDir) {
        return nullptr;
    }
    std::shared_ptr<FsnDownload> d = std::make_shared<FsnDownload>();
    d->para = fsnPara;
    d->timeOut = timeOut;
    d->archiveMode = fsnPara->strRelativeFilePath[0] != '\0';
    // The folders' names, with the host's backslashes made slashes.
    char path[256] = {0};
    char backslash[] = "\\";
    char slash[] = "/";
    strrpl(fsnPara->strTempDir, path, sizeof(path), backslash, slash);
    d->namesFit = FormatFits(d->qoltTempDir, "%sQOLT/", path);
    memset(path, 0, sizeof(path));
    strrpl(fsnPara->strUploadDir, path, sizeof(path), backslash, slash);
    d->uploadDir = path;
    if (dcjfile::CheckedFolders* checked = fsnPara->checked) {
        d->uploadFolder.Adopt(std::exchange(checked->upload, -1));
        d->workingFolderLock.Adopt(std::exchange(checked->working, -1));
    }
    return d;
}

// The folders as they are, quietly: nothing is made, nothing waited for,
// nothing logged. Whatever that leaves undone (a folder to make, a working
// folder another download holds, a failure) is done after the answer, as
// ever, and only when the device has accepted: a refused or lost download
// leaves the folders as they were, but for leftovers of earlier ones.
void CDataProcess::PrepareWhileAnswering(FsnDownload& d)
{
    if (!d.namesFit || !d.workingFolderLock.Open(d.qoltTempDir, false) || !d.workingFolderLock.Acquire(0) ||
        !d.uploadFolder.Open(d.uploadDir)) {
        return;
    }
    ClearLeftovers(d);
    d.ready = true;
}

void CDataProcess::ProcSaveFSN(InputFSNPara* fsnPara, char** strRet, int* /*strRet1Count*/, int timeOut)
{
    LOG_INFO(">>CDataProcess::ProcSaveFSN");
    std::shared_ptr<FsnDownload> download = std::move(m_Download);
    if (!download || download->para != fsnPara || download->timeOut != timeOut) {
        download = NewDownload(fsnPara, timeOut);
    }
    if (!download) {
        SetResult(strRet, kBadParameter);
        return;
    }
    FsnDownload& d = *download;
    if (!d.ready) {
        if (const char* refused = PrepareDownloadFolders(d)) {
            SetResult(strRet, refused);
            return;
        }
    }
    if (const char* failure = ReceiveFiles(d)) {
        SetResult(strRet, failure);
    } else if (d.archiveMode) {
        DeliverArchive(d, strRet);
    } else {
        DeliverDirect(d, strRet);
    }
    if (!d.leftEmpty) EmptyWorkingFolder(d);
}

// The working folder "<temp>/QOLT/", locked and emptied, and the upload
// folder. Nothing is left to clean up when it fails.
const char* CDataProcess::PrepareDownloadFolders(FsnDownload& d)
{
    if (!d.namesFit) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: temp path too long");
        return kBadParameter;
    }
    if (!d.workingFolderLock.Open(d.qoltTempDir)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot create %s", d.qoltTempDir);
        return kStorageFailed;
    }
    if (!d.workingFolderLock.Acquire(d.timeOut)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: %s is in use by another download", d.qoltTempDir);
        return kStorageFailed;
    }
    // Usually there: opened at once, and made only when that fails.
    if (!d.uploadFolder.Open(d.uploadDir)) {
        if (!pathModuleSpace::CMakePahtModule().makePath(d.uploadDir.c_str())) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot create %s", d.uploadDir.c_str());
            return kStorageFailed;
        }
        if (!d.uploadFolder.Open(d.uploadDir)) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot open %s: %s", d.uploadDir.c_str(), ErrorText(errno));
            return kStorageFailed;
        }
    }
    ClearLeftovers(d);
    return nullptr;
}

// What earlier downloads left: the working folder's files, and part files
// of copies that did not end. Under the working folder's lock, as every
// download into this upload folder from this temp folder; a copy of another
// process that is still going keeps its part file (see RemoveStalePartFiles).
// Both folders were opened for this download and are listed here first.
// Only a process that died leaves a part file, so each process looks once
// in each upload folder: a host may keep thousands of files there, and
// listing them at every download would cost more than the download.
void CDataProcess::ClearLeftovers(FsnDownload& d)
{
    EmptyWorkingFolder(d, true);
    dcjfile::FolderIdentity id;
    if (dcjfile::LookedForPartFiles(d.uploadDir, d.uploadFolder.fd(), &id)) return;
    if (dcjfile::RemoveStalePartFiles(d.uploadFolder.fd(), true) >= 0) dcjfile::NoteLookedForPartFiles(d.uploadDir, id);
}

// Removes what the working folder holds, through the descriptor the lock
// holds, never by a path: a link put in the folder's place must not lead the
// removal elsewhere. A folder in it that is the upload folder stays.
void CDataProcess::EmptyWorkingFolder(FsnDownload& d, bool justOpened)
{
    const int dir = d.workingFolderLock.fd();
    dcjfile::ForEachName(
        dir,
        [&](const char* name, bool isFileOrLink) {
            if (!isFileOrLink || unlinkat(dir, name, 0) != 0) dcjfile::RemoveEntryAt(dir, name, d.uploadFolder.fd());
        },
        justOpened);
}

// Every packet of every announced file, each file stored as it completes.
// Returns the failure's code, or nullptr when all arrived and nothing more.
const char* CDataProcess::ReceiveFiles(FsnDownload& d)
{
    for (;;) {
        if (const char* failure = ReceivePacket(d)) return failure;
        if (d.packetIndex == 0) {
            if (const char* failure = BeginFile(d)) return failure;
        }
        if (!d.growing.Append(d.data, d.dataLen)) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: SaveFile error:%s%s: %s", d.qoltTempDir, d.diskName.c_str(),
                       ErrorText(errno));
            return kStorageFailed;
        }
        d.nextPacket = d.packetIndex + 1;
        if (d.packetIndex < d.packetCount - 1) continue;
        if (const char* failure = FinishFile(d)) return failure;
        if (d.fileIndex < d.fileCount - 1) continue;
        // More than the device announced: what follows would be cleared
        // with the rest once confirmed. A device that is done closes the
        // stream; one that sends on after a pause is caught in the wait.
        if (m_TcpClinet->DataBeforeEnd(EndOfStreamWaitMs(d.timeOut))) {
            LOG_ERROR("CDataProcess::ProcSaveFSN: data after the last announced file");
            return kBadResponse;
        }
        return nullptr;
    }
}

// One header and its data, in the order the stream must keep.
const char* CDataProcess::ReceivePacket(FsnDownload& d)
{
    unsigned int headerLen = sizeof(RESPONSE_UP);
    // The frame (header and data, msg_length bytes) shares one deadline.
    const long long frameStartMs = CTCPClient::NowMs();
    // A header must arrive whole within the time-out.
    if (!m_TcpClinet->Recv(reinterpret_cast<char*>(&d.header), headerLen, d.timeOut)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: Recv resUp error");
        return kNetworkFailed;
    }
    if (!ParseResUpData(&d.header)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: ParseResUpData error");
        return kBadResponse;
    }
    d.dataLen = FromWire32(d.header.msg_length) - static_cast<uint32_t>(sizeof(RESPONSE_UP));
    d.packetIndex = FromWire32(d.header.packetIndex);
    d.packetCount = FromWire32(d.header.packetCount);
    d.fileIndex = FromWire32(d.header.fileIndex);
    d.fileCount = FromWire32(d.header.fileCount);
    // Packets come file by file, each file's in order and of a count that
    // does not change, and the files likewise: a file left unfinished or
    // skipped would be confirmed and then cleared unreceived.
    if (d.announcedFiles == 0) d.announcedFiles = d.fileCount;
    if (d.packetIndex == 0) d.announcedPackets = d.packetCount;
    if ((d.packetIndex == 0 ? d.inFile : (!d.inFile || d.packetIndex != d.nextPacket)) ||
        d.fileIndex != d.filesDone || d.fileCount != d.announcedFiles || d.packetCount != d.announcedPackets) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: packet %u of file %u/%u out of order", d.packetIndex, d.fileIndex,
                   d.fileCount);
        return kBadResponse;
    }

    d.data = d.buffer.Reserve(d.dataLen);
    if (d.data == nullptr) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: no memory for %u bytes", d.dataLen);
        return kStorageFailed;
    }
    // The whole frame gets the time-out from the start of its read, plus
    // what its data needs at the least rate a working device keeps.
    const long long frameDeadlineMs =
        d.timeOut < 0 ? CTCPClient::kExpired
                      : frameStartMs + static_cast<long long>(d.timeOut) * 1000 +
                            static_cast<long long>(d.dataLen) * 1000 / static_cast<long long>(m_MinDataRate);
    // A packet without data (an empty file) has nothing more to read.
    if (d.dataLen > 0 && !m_TcpClinet->RecvBefore(d.data, d.dataLen, frameDeadlineMs)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: Recv resBuf data error");
        return kNetworkFailed;
    }
    d.bytesReceived += d.dataLen;
    return nullptr;
}

// Names the file of the first packet and opens it in the working folder.
const char* CDataProcess::BeginFile(FsnDownload& d)
{
    const RESPONSE_UP& h = d.header;
    // The host reads the list in UTF-8: the file on disk carries the
    // UTF-8 name the reply will list, byte for byte, and the list
    // keeps the GBK form that converts to it.
    // Each field on its own: a lead byte at a field's end must not
    // swallow the separator after it.
    const struct {
        const char* text;
        size_t len;
    } fields[] = {{d.para->strInstNo, strlen(d.para->strInstNo)},
                  {h.MachineNo, strnlen(h.MachineNo, sizeof(h.MachineNo))},
                  {d.para->strEmpNo, strlen(d.para->strEmpNo)},
                  {h.DateTime, strnlen(h.DateTime, sizeof(h.DateTime))},
                  {h.SNo, strnlen(h.SNo, sizeof(h.SNo))}};
    d.listedName.clear();
    for (size_t i = 0; i < sizeof(fields) / sizeof(fields[0]); ++i) {
        if (i > 0) d.listedName += '_';
        dcjtext::AppendCanonicalGbk(fields[i].text, fields[i].len, &d.listedName);
    }
    d.listedName += ".FSN";
    d.diskName = dcjtext::GbkToUtf8Lenient(d.listedName.data(), d.listedName.size());
    if (d.diskName.find('/') != std::string::npos) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: file name with a folder in it");
        return kBadParameter;
    }
    if (d.diskName.find('|') != std::string::npos) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: file name with the list's separator in it");
        return kBadResponse;
    }
    // Only the file system's limit on one name counts: paths are never built.
    if (d.diskName.size() > NAME_MAX) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: file name of %zu bytes, longer than a file system takes: %s",
                   d.diskName.size(), d.diskName.c_str());
        return kStorageFailed;
    }
    if (!d.growing.Open(d.workingFolderLock.fd(), d.diskName, !d.archiveMode)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot store %s in %s: %s", d.diskName.c_str(), d.qoltTempDir,
                   ErrorText(errno));
        return kStorageFailed;
    }
    d.inFile = true;
    return nullptr;
}

// The file's last packet is written: store it, and in direct mode move it
// into the upload folder.
const char* CDataProcess::FinishFile(FsnDownload& d)
{
    d.inFile = false;
    // A delivered file is on disk before it is moved; files of an archive
    // only need to be readable by zip, the archive itself is synced.
    if (!d.growing.Finish(!d.archiveMode)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: SaveFile error:%s%s: %s", d.qoltTempDir, d.diskName.c_str(),
                   ErrorText(errno));
        return kStorageFailed;
    }
    const std::string* listed = &d.listedName;
    if (!d.archiveMode) {
        size_t index = 0;
        if (const char* failure = MoveIntoUploadFolder(d, &index)) return failure;
        listed = &d.delivered[index].listedName;
    }
    if (d.filesDone > 0) d.list += '|';
    d.list += *listed;
    ++d.filesDone;
    return nullptr;
}

// Moves the finished file into the upload folder; *index is the delivered
// file that now holds its content. A name this download has delivered
// already gets the new data added, as it would inside an archive: replacing
// it would lose the first file once the device clears its copies. So does a
// name the folder's file system takes for a delivered one (case folded on
// FAT and exFAT, ...): the reply then lists the name on disk. The content was
// synced before the move; the folder's new names are synced once, before the
// confirmation.
const char* CDataProcess::MoveIntoUploadFolder(FsnDownload& d, size_t* index)
{
    const int up = d.uploadFolder.fd();
    const int work = d.workingFolderLock.fd();
    long found = -1;
    dcjfile::MoveResult moved = dcjfile::MoveResult::Exists;
    const auto byName = d.deliveredByName.find(d.diskName);
    if (byName != d.deliveredByName.end()) {
        found = static_cast<long>(byName->second);
    } else {
        // Nearly every name is new: the move that replaces nothing says so
        // itself, and only a name that finds an entry is looked into.
        moved = dcjfile::MoveNewFileAt(work, d.diskName, up, d.diskName);
        if (moved == dcjfile::MoveResult::Exists) {
            if (const char* refusal = FindDeliveredFile(d, &found)) return refusal;
            if (found < 0) moved = dcjfile::MoveFileAt(work, d.diskName, up, d.diskName, true);
        }
    }
    bool stored = moved == dcjfile::MoveResult::Moved;
    bool unchanged = false;
    if (found >= 0) {
        DeliveredFile& to = d.delivered[static_cast<size_t>(found)];
        stored = StoreUnderDeliveredName(d, static_cast<size_t>(found));
        unchanged = to.cursor != ~0ull;
    }
    if (!stored) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot store %s in %s: %s", d.diskName.c_str(), d.uploadDir.c_str(),
                   ErrorText(errno));
        return kStorageFailed;
    }
    if (found >= 0) {
        *index = static_cast<size_t>(found);
    } else {
        *index = d.delivered.size();
        d.delivered.push_back({d.diskName, d.listedName});
        d.deliveredByName[d.diskName] = *index;
        if (d.folderRead) d.folderNames.insert(d.diskName);
    }
    if (unchanged) return nullptr;  // it held the bytes already
    // The file on disk is new either way (an append replaces it): its former
    // inode number is free for another file now, and its own is read when
    // a name next finds an entry.
    DeliveredFile& file = d.delivered[*index];
    d.deliveredByInode.erase(file.inode);
    file.inode = {0, 0};
    d.inodesToRead.push_back(*index);
    return nullptr;
}

// Which file delivered in this download a name that finds an entry in the
// upload folder stands for (*found; -1: none, the entry is replaced): the
// same file (device and inode), or, where the file system keeps no stable
// inode numbers (some FUSE ones), an entry that differs only in case. The
// very name of a file of an earlier download is delivered again. A name
// that finds another file that cannot be told apart is refused: delivering
// it could replace a delivered file.
const char* CDataProcess::FindDeliveredFile(FsnDownload& d, long* found)
{
    const int up = d.uploadFolder.fd();
    struct stat st;
    for (size_t i : d.inodesToRead) {
        DeliveredFile& file = d.delivered[i];
        if (file.inode.second == 0 && fstatat(up, file.diskName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            file.inode = {st.st_dev, st.st_ino};
            d.deliveredByInode[file.inode] = i;
        }
    }
    d.inodesToRead.clear();
    if (fstatat(up, d.diskName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;  // gone again
    const auto byInode = d.deliveredByInode.find({st.st_dev, st.st_ino});
    if (byInode != d.deliveredByInode.end()) {
        *found = static_cast<long>(byInode->second);
        LOG_INFOF("CDataProcess::ProcSaveFSN: %s is %s on this file system: content added",
                  d.diskName.c_str(), d.delivered[byInode->second].diskName.c_str());
        return nullptr;
    }
    if (!d.folderRead) {
        dcjfile::ForEachName(up, [&](const char* name, bool) { d.folderNames.insert(name); });
        d.folderRead = true;
    }
    // The very name is in the folder: a file of an earlier download, whose
    // bytes StoreUnderDeliveredName weighs against the new ones.
    if (d.folderNames.count(d.diskName)) {
        *found = static_cast<long>(d.delivered.size());
        DeliveredFile earlier{d.diskName, d.listedName};
        earlier.cursor = 0;
        earlier.earlier = true;
        d.delivered.push_back(earlier);
        d.deliveredByName[d.diskName] = d.delivered.size() - 1;
        return nullptr;
    }
    for (size_t i = 0; i < d.delivered.size(); ++i) {
        if (EqualIgnoringCase(d.delivered[i].diskName, d.diskName)) {
            *found = static_cast<long>(i);
            LOG_INFOF("CDataProcess::ProcSaveFSN: %s is %s on this file system: content added",
                      d.diskName.c_str(), d.delivered[i].diskName.c_str());
            return nullptr;
        }
    }
    LOG_ERRORF("CDataProcess::ProcSaveFSN: the file system of %s takes %s for another file; not delivered",
               d.uploadDir.c_str(), d.diskName.c_str());
    return kStorageFailed;
}

// Stores the finished file under the name of a file already in the
// upload folder. A copy of an earlier download may hold the bytes already:
// that download was not confirmed, and the counter sends them again, so
// they are not added twice; nor are the bytes it holds ever given up, since
// they may be the only copy left (a counter whose clock went back names
// another file alike). Any other bytes are added to the file, as for a name
// that arrives twice.
bool CDataProcess::StoreUnderDeliveredName(FsnDownload& d, size_t index)
{
    DeliveredFile& to = d.delivered[index];
    const int up = d.uploadFolder.fd();
    const int work = d.workingFolderLock.fd();
    const bool earlier = to.earlier;
    const dcjfile::Continuation how = dcjfile::Continues(up, to.diskName, work, d.diskName, to.cursor, earlier);
    to.earlier = false;
    to.cursor = ~0ull;
    switch (how.kind) {
        case dcjfile::Continuation::Replace:  // gone, or no file of ours
            return dcjfile::MoveFileAt(work, d.diskName, up, to.diskName, true) == dcjfile::MoveResult::Moved;
        case dcjfile::Continuation::Held:
            LOG_INFOF("CDataProcess::ProcSaveFSN: %s holds these bytes already", to.diskName.c_str());
            to.cursor = how.at + how.size;
            return unlinkat(work, d.diskName.c_str(), 0) == 0;
        case dcjfile::Continuation::Extends:
            return dcjfile::AppendFileAt(work, d.diskName, up, to.diskName, how.at);
        case dcjfile::Continuation::Added:
            break;
    }
    if (earlier) {
        LOG_INFOF("CDataProcess::ProcSaveFSN: %s of an earlier download holds other bytes: content added",
                  to.diskName.c_str());
    }
    return dcjfile::AppendFileAt(work, d.diskName, up, to.diskName);
}

// Direct mode: every file is in the upload folder; its names go to disk,
// then the list into the reply.
void CDataProcess::DeliverDirect(FsnDownload& d, char** strRet)
{
    if (fsync(d.uploadFolder.fd()) != 0) {
        // The renames must be on disk before the device is told to clear.
        LOG_ERRORF("CDataProcess::ProcSaveFSN: sync error:%s", d.uploadDir.c_str());
        SetResult(strRet, kStorageFailed);
        return;
    }
    if (!StillAt(d.uploadFolder.fd(), d.uploadDir)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: %s is no longer the folder the files went into", d.uploadDir.c_str());
        SetResult(strRet, kStorageFailed);
        return;
    }
    if (d.list.size() > 1023 && !GrowSlot2(d.list.size() + 1)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: no memory for the file list");
        SetResult(strRet, kStorageFailed);
        return;
    }
    d.leftEmpty = true;  // every file was moved out, and nobody else uses the folder
    SetResult(strRet, kSuccess);
    WriteSlot(strRet, 2, d.list.c_str());
}

// Archive mode: the related file joins the downloaded ones, all are packed,
// and the archive is published under a name no earlier archive holds.
void CDataProcess::DeliverArchive(FsnDownload& d, char** strRet)
{
    // cp and zip may take the time-out plus a second per MiB, and never
    // less than the minimum; then they are killed.
    const long long toolSeconds = (d.timeOut > 0 ? d.timeOut : 0) + static_cast<long long>(d.bytesReceived >> 20);
    SetToolSeconds(toolSeconds < m_MinToolSeconds ? m_MinToolSeconds
                                                 : toolSeconds > INT_MAX ? INT_MAX : static_cast<int>(toolSeconds));
    char stamp[16] = {0};
    char partialZip[256] = {0};
    char qoltTempFiles[256] = {0};
    // Packed inside the working folder under a name that is not listed,
    // then moved into the upload folder without replacing anything.
    const bool pathsFit = FormatFits(qoltTempFiles, "%s*", d.qoltTempDir) &&
                          FormatFits(partialZip, "%s.archive.zip.part", d.qoltTempDir);
    const bool copied = CopyRelatedFile(d);
    LOG_INFOF("CDataProcess::ProcSaveFSN qoltTempFiles:%s", qoltTempFiles);
    const bool published = copied && pathsFit && CreateZipFile(qoltTempFiles, partialZip) &&
                           PublishArchive(d, partialZip, stamp, sizeof(stamp));
    if (published && !StillAt(d.uploadFolder.fd(), d.uploadDir)) {
        // Moved away or unmounted: a storage fault, and the archive, named
        // in no reply, goes (through the folder it is in, never by path).
        LOG_ERRORF("CDataProcess::ProcSaveFSN: %s is no longer the folder the archive went into", d.uploadDir.c_str());
        if (unlinkat(d.uploadFolder.fd(), (std::string(stamp) + ".zip").c_str(), 0) == 0) fsync(d.uploadFolder.fd());
        SetResult(strRet, kStorageFailed);
        return;
    }
    if (!published) {
        SetResult(strRet, kZipFailed);
        LOG_ERROR("CDataProcess::ProcSaveFSN: CreateZipFile error");
        return;
    }
    EmptyWorkingFolder(d);
    d.leftEmpty = true;
    SetResult(strRet, kSuccess);
    char zipName[32];
    snprintf(zipName, sizeof(zipName), "%s.zip", stamp);
    WriteSlot(strRet, 2, zipName);
}

// cp of the related file into the working folder; true when it is there whole.
bool CDataProcess::CopyRelatedFile(FsnDownload& d)
{
    std::string strName(d.para->strRelativeFilePath);
    strName = basename(&strName[0]);
    LOG_INFOF("CDataProcess::ProcSaveFSN basename strName:%s", strName.c_str());
    const std::string copy = std::string(d.qoltTempDir) + strName;

    // The related file must not overwrite a downloaded file of its name.
    if (dcjfile::PathExists(copy)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: related file %s would replace a downloaded file", strName.c_str());
        return false;
    }
    int cpStatus = dcjfile::RunProgram(
        {"cp", dcjfile::PathArg(d.para->strRelativeFilePath), dcjfile::PathArg(d.qoltTempDir)}, ToolSeconds());
    LOG_INFOF("cp %s %s", d.para->strRelativeFilePath, d.qoltTempDir);
    // The host reaped cp itself: the copy, whole, is cp's answer.
    if (cpStatus == dcjfile::kOutcomeUnknown) {
        struct stat from, to;
        const bool whole = stat(d.para->strRelativeFilePath, &from) == 0 && lstat(copy.c_str(), &to) == 0 &&
                           S_ISREG(to.st_mode) && to.st_size == from.st_size;
        cpStatus = whole ? 0 : -1;
    }
    return cpStatus == 0;
}

// Moves the packed archive to "<upload><stamp>.zip" without replacing an
// earlier one, on any file system, and forces its name to disk.
// CreateZipFile synced the archive. A name taken (another archive in this
// second) moves the stamp on by a second, without waiting for it.
bool CDataProcess::PublishArchive(FsnDownload& d, const char* partialZip, char* stamp, int stampSize)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const std::string partName = std::string(partialZip).substr(strlen(d.qoltTempDir));
    for (int attempt = 0; attempt < kArchiveNameAttempts; ++attempt) {
        char next[16] = {0};
        if (!LocalStamp(now.tv_sec + attempt, next) || stampSize < static_cast<int>(sizeof(next))) return false;
        const dcjfile::MoveResult moved = dcjfile::MoveFileAt(d.workingFolderLock.fd(), partName, d.uploadFolder.fd(),
                                                              std::string(next) + ".zip", false);
        if (moved == dcjfile::MoveResult::Failed) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot publish %s.zip in %s: %s", next, d.uploadDir.c_str(),
                       ErrorText(errno));
            return false;
        }
        if (moved == dcjfile::MoveResult::Moved) {
            memcpy(stamp, next, sizeof(next));
            return fsync(d.uploadFolder.fd()) == 0;
        }
    }
    LOG_ERRORF("CDataProcess::ProcSaveFSN: every archive name of the next %d seconds is taken in %s",
               kArchiveNameAttempts, d.uploadDir.c_str());
    return false;
}
