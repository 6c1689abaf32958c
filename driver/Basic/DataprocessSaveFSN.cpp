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
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

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

// Attempts at a 14-digit archive name that no earlier archive holds.
constexpr int kArchiveNameAttempts = 3;

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

void SleepUntilNextSecond()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long ns = 1000000000L - now.tv_nsec + 1000000L;  // just past the next second
    struct timespec pause = {ns / 1000000000L, ns % 1000000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
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
    bool Open(const char* path, bool writeBehind)
    {
        Close();
        m_writeBehind = writeBehind;
        m_unsubmitted = 0;
        do {
            m_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
        } while (m_fd < 0 && errno == EINTR);
        if (m_fd >= 0) dcjfile::TrackForFork(m_fd);
        struct stat st;
        if (m_fd >= 0 && (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))) Close();
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
            dcjfile::UntrackForFork(m_fd);
            if (close(m_fd) != 0 && errno != EINTR) ok = false;
        }
        m_fd = -1;
        return ok;
    }

    void Close()
    {
        if (m_fd >= 0) {
            dcjfile::UntrackForFork(m_fd);
            close(m_fd);
        }
        m_fd = -1;
    }

private:
    static constexpr size_t kWriteBehindBytes = 1 << 20;
    int m_fd = -1;
    bool m_writeBehind = false;
    size_t m_unsubmitted = 0;
};

}  // namespace

// Everything one download knows, shared by its steps.
struct CDataProcess::FsnDownload {
    dcjfile::FolderLock workingFolderLock;  // held until the download has ended
    InputFSNPara* para = nullptr;
    int timeOut = 0;
    bool archiveMode = false;
    char qoltTempDir[256] = {0};  // the working folder "<temp>QOLT/"
    std::string uploadDir;

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
    char fsnName[256] = {0};
    char fsnTempPath[256] = {0};
    PacketBuffer buffer;
    GrowingFile growing;

    // What is delivered.
    std::set<std::string> delivered;  // direct mode: names already in the upload folder
    std::vector<std::string> names;   // as the reply lists them
    size_t namesLen = 0;
    bool leftEmpty = false;  // the working folder holds nothing more to remove
};

void CDataProcess::ProcSaveFSN(InputFSNPara* fsnPara, char** strRet, int* /*strRet1Count*/, int timeOut)
{
    LOG_INFO(">>CDataProcess::ProcSaveFSN");
    if (fsnPara == nullptr || !fsnPara->strInstNo || !fsnPara->strEmpNo || !fsnPara->strRelativeFilePath ||
        !fsnPara->strUploadDir || !fsnPara->strTempDir) {
        SetResult(strRet, kBadParameter);
        return;
    }
    FsnDownload d;
    d.para = fsnPara;
    d.timeOut = timeOut;
    d.archiveMode = fsnPara->strRelativeFilePath[0] != '\0';

    if (const char* refused = PrepareDownloadFolders(d)) {
        SetResult(strRet, refused);
        return;
    }
    if (const char* failure = ReceiveFiles(d)) {
        SetResult(strRet, failure);
    } else if (d.archiveMode) {
        DeliverArchive(d, strRet);
    } else {
        DeliverDirect(d, strRet);
    }
    if (!d.leftEmpty) RemoveDir(d.qoltTempDir);
}

// The working folder "<temp>/QOLT/", locked and emptied, and the upload
// folder. Nothing is left to clean up when it fails.
const char* CDataProcess::PrepareDownloadFolders(FsnDownload& d)
{
    char tempPath[256] = {0};
    char backslash[] = "\\";
    char slash[] = "/";
    strrpl(d.para->strTempDir, tempPath, sizeof(tempPath), backslash, slash);
    if (!FormatFits(d.qoltTempDir, "%sQOLT/", tempPath)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: temp path too long");
        return kBadParameter;
    }
    if (!dcjfile::EnsureRealDir(d.qoltTempDir)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot create %s", d.qoltTempDir);
        return kStorageFailed;
    }
    if (!d.workingFolderLock.Acquire(d.qoltTempDir, d.timeOut)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: %s is in use by another download", d.qoltTempDir);
        return kStorageFailed;
    }
    memset(tempPath, 0, sizeof(tempPath));
    strrpl(d.para->strUploadDir, tempPath, sizeof(tempPath), backslash, slash);
    if (!pathModuleSpace::CMakePahtModule().makePath(tempPath)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot create %s", tempPath);
        return kStorageFailed;
    }
    d.uploadDir = tempPath;
    RemoveDir(d.qoltTempDir);
    return nullptr;
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
            LOG_ERRORF("CDataProcess::ProcSaveFSN: SaveFile error:%s", d.fsnTempPath);
            return kStorageFailed;
        }
        d.nextPacket = d.packetIndex + 1;
        if (d.packetIndex < d.packetCount - 1) continue;
        if (const char* failure = FinishFile(d)) return failure;
        if (d.fileIndex < d.fileCount - 1) continue;
        // More than the device announced: what follows would be cleared
        // with the rest once confirmed.
        if (m_TcpClinet->HasUnreadData()) {
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
    // Data gets the time-out plus what it needs at the least rate a
    // working device keeps.
    const long long dataDeadline = CTCPClient::DeadlineAfterMs(
        d.timeOut < 0 ? -1
                      : static_cast<long long>(d.timeOut) * 1000 +
                            static_cast<long long>(d.dataLen) * 1000 / static_cast<long long>(m_MinDataRate));
    if (!m_TcpClinet->RecvBefore(d.data, d.dataLen, dataDeadline)) {
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
    const std::string machineNo = dcjframe::FieldText(h.MachineNo, sizeof(h.MachineNo));
    const std::string dateTime = dcjframe::FieldText(h.DateTime, sizeof(h.DateTime));
    const std::string sNo = dcjframe::FieldText(h.SNo, sizeof(h.SNo));
    // The host reads the list in UTF-8: the file on disk carries the
    // UTF-8 name the reply will list, byte for byte, and the list
    // keeps the GBK form that converts to it.
    // Each field on its own: a lead byte at a field's end must not
    // swallow the separator after it.
    auto canonical = [](const std::string& field) { return dcjtext::CanonicalGbk(field.data(), field.size()); };
    d.listedName = canonical(d.para->strInstNo) + "_" + canonical(machineNo) + "_" + canonical(d.para->strEmpNo) +
                   "_" + canonical(dateTime) + "_" + canonical(sNo) + ".FSN";
    const std::string diskName = dcjtext::GbkToUtf8Lenient(d.listedName.data(), d.listedName.size());
    if (diskName.find('/') != std::string::npos || !FormatFits(d.fsnName, "%s", diskName.c_str()) ||
        !FormatFits(d.fsnTempPath, "%s%s", d.qoltTempDir, d.fsnName)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: file name too long");
        return kBadParameter;
    }
    if (!d.growing.Open(d.fsnTempPath, !d.archiveMode)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: SaveFile error:%s", d.fsnTempPath);
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
        LOG_ERRORF("CDataProcess::ProcSaveFSN: SaveFile error:%s", d.fsnTempPath);
        return kStorageFailed;
    }
    if (!d.archiveMode) {
        if (const char* failure = MoveIntoUploadFolder(d)) return failure;
    }
    d.names.push_back(d.listedName);
    d.namesLen += d.listedName.size() + 1;
    ++d.filesDone;
    return nullptr;
}

const char* CDataProcess::MoveIntoUploadFolder(FsnDownload& d)
{
    char uploadPath[256] = {0};
    if (!FormatFits(uploadPath, "%s%s", d.para->strUploadDir, d.fsnName)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: upload path too long");
        return kBadParameter;
    }
    // A name this download has delivered already gets the new data
    // added, as it would inside an archive: replacing it would lose
    // the first file once the device clears its copies. The content
    // was synced before the move; the upload folder's new names are
    // synced once, before the confirmation.
    const bool repeated = !d.delivered.insert(d.fsnName).second;
    const bool stored = repeated ? dcjfile::AppendFile(d.fsnTempPath, uploadPath)
                                 : dcjfile::MoveFile(d.fsnTempPath, uploadPath, true) == dcjfile::MoveResult::Moved;
    if (!stored) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: rename error:%s", uploadPath);
        return kStorageFailed;
    }
    return nullptr;
}

// Direct mode: every file is in the upload folder; its names go to disk,
// then the list into the reply.
void CDataProcess::DeliverDirect(FsnDownload& d, char** strRet)
{
    if (!dcjfile::SyncDir(d.uploadDir)) {
        // The renames must be on disk before the device is told to clear.
        LOG_ERRORF("CDataProcess::ProcSaveFSN: sync error:%s", d.uploadDir.c_str());
        SetResult(strRet, kStorageFailed);
        return;
    }
    if (d.namesLen > 1023 && !GrowSlot2(d.namesLen + 1)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: no memory for the file list");
        SetResult(strRet, kStorageFailed);
        return;
    }
    d.leftEmpty = true;  // every file was moved out, and nobody else uses the folder
    SetResult(strRet, kSuccess);
    std::string list;
    list.reserve(d.namesLen);
    for (size_t i = 0; i < d.names.size(); ++i) {
        if (i) list += '|';
        list += d.names[i];
    }
    WriteSlot(strRet, 2, list.c_str());
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
    if (!published) {
        SetResult(strRet, kZipFailed);
        LOG_ERROR("CDataProcess::ProcSaveFSN: CreateZipFile error");
        return;
    }
    RemoveDir(d.qoltTempDir);
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
// earlier one, and forces its name to disk. CreateZipFile synced the archive.
bool CDataProcess::PublishArchive(FsnDownload& d, const char* partialZip, char* stamp, int stampSize)
{
    char zipPath[256] = {0};
    bool published = false;
    for (int attempt = 0; attempt < kArchiveNameAttempts && !published; ++attempt) {
        if (attempt > 0) SleepUntilNextSecond();
        memset(stamp, 0, static_cast<size_t>(stampSize));
        GetCurTime(stamp, stampSize);
        if (!FormatFits(zipPath, "%s%s.zip", d.para->strUploadDir, stamp)) break;
        const dcjfile::MoveResult moved = dcjfile::MoveFile(partialZip, zipPath, false);
        if (moved == dcjfile::MoveResult::Failed) break;
        published = moved == dcjfile::MoveResult::Moved;
    }
    return published && dcjfile::SyncDir(d.uploadDir);
}
