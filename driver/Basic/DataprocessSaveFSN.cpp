// The FSN download: receive every packet of every file, store it durably,
// deliver the files one by one or packed in one archive.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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

#include "../ForkSafety.h"
#include "../LoadLogDll.h"
#include "../MERV_QOLT_DCJ.h"
#include "Dataprocess.h"
#include "DataprocessFiles.h"
#include "pathModule.h"

namespace {

const char kSuccess[] = "ECPWS0000000";
const char kNetworkFailed[] = "ECPWSDCJ0002";
const char kBadResponse[] = "DRVDCJ1003";
const char kZipFailed[] = "DRVDCJ1004";
const char kBadParameter[] = "ECPWSCOM0005";
// Storage failures (write, sync, rename, folders, memory) have no code of
// their own; they must still never pass for success.
const char kStorageFailed[] = "DRV0000001";

// Attempts at a 14-digit archive name that no earlier archive holds.
constexpr int kArchiveNameAttempts = 3;

// snprintf into a fixed buffer; false instead of a cut path.
template <size_t N, typename... Args>
bool FormatFits(char (&buf)[N], const char* fmt, Args... args)
{
    int n = snprintf(buf, N, fmt, args...);
    return n >= 0 && static_cast<size_t>(n) < N;
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
        m_fd = dcjfork::OpenTracked(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK, 0666);
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

}  // namespace

void CDataProcess::ProcSaveFSN(InputFSNPara* fsnPara, char** strRet, int* /*strRet1Count*/, int timeOut)
{
    LOG_INFO(">>CDataProcess::ProcSaveFSN");
    if (fsnPara == nullptr || !fsnPara->strInstNo || !fsnPara->strEmpNo || !fsnPara->strRelativeFilePath ||
        !fsnPara->strUploadDir || !fsnPara->strTempDir) {
        SetResult(strRet, kBadParameter);
        return;
    }

    char tempPath[256] = {0};
    char qoltTempDir[256] = {0};
    char fsnName[256] = {0};
    char fsnTempPath[256] = {0};
    char fsnZipPath[256] = {0};
    char backslash[] = "\\";
    char slash[] = "/";
    RESPONSE_UP resUp = null_Response_Up;
    std::vector<std::string> fsnNameVec;
    size_t fsnNameVecLen = 0;
    std::set<std::string> delivered;  // direct mode: names already in the upload folder
    std::string listedName;           // the current file's name as the reply lists it
    bool inFile = false;              // a file has begun and its last packet is still to come
    uint32_t nextPacket = 0;
    uint32_t filesDone = 0;
    uint32_t announcedFiles = 0;  // fileCount of the first header
    uint32_t announcedPackets = 0;  // packetCount of the file's first packet
    PacketBuffer resBuf;
    GrowingFile growing;
    unsigned long long bytesReceived = 0;
    const bool archiveMode = fsnPara->strRelativeFilePath[0] != '\0';
    const char* failure = nullptr;
    bool leftEmpty = false;  // the working folder holds nothing more to remove

    // Working folder "<temp>/QOLT/" and the upload folder.
    strrpl(fsnPara->strTempDir, tempPath, sizeof(tempPath), backslash, slash);
    if (!FormatFits(qoltTempDir, "%sQOLT/", tempPath)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: temp path too long");
        SetResult(strRet, kBadParameter);
        return;
    }
    if (!dcjfile::EnsureRealDir(qoltTempDir)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot create %s", qoltTempDir);
        SetResult(strRet, kStorageFailed);
        return;
    }
    dcjfile::FolderLock workingFolderLock;
    if (!workingFolderLock.Acquire(qoltTempDir, timeOut)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: %s is in use by another download", qoltTempDir);
        SetResult(strRet, kStorageFailed);
        return;
    }
    memset(tempPath, 0, sizeof(tempPath));
    strrpl(fsnPara->strUploadDir, tempPath, sizeof(tempPath), backslash, slash);
    if (!pathModuleSpace::CMakePahtModule().makePath(tempPath)) {
        LOG_ERRORF("CDataProcess::ProcSaveFSN: cannot create %s", tempPath);
        SetResult(strRet, kStorageFailed);
        return;
    }
    const std::string uploadDir(tempPath);
    RemoveDir(qoltTempDir);

    for (;;) {
        unsigned int dataBufLen = sizeof(RESPONSE_UP);
        // A header must arrive whole within the time-out.
        if (!m_TcpClinet->Recv(reinterpret_cast<char*>(&resUp), dataBufLen, timeOut)) {
            LOG_ERROR("CDataProcess::ProcSaveFSN: Recv resUp error");
            failure = kNetworkFailed;
            break;
        }
        if (!ParseResUpData(&resUp)) {
            LOG_ERROR("CDataProcess::ProcSaveFSN: ParseResUpData error");
            failure = kBadResponse;
            break;
        }
        unsigned int dataLen = FromWire32(resUp.msg_length) - static_cast<uint32_t>(sizeof(RESPONSE_UP));
        const uint32_t packetIndex = FromWire32(resUp.packetIndex);
        const uint32_t packetCount = FromWire32(resUp.packetCount);
        const uint32_t fileIndex = FromWire32(resUp.fileIndex);
        const uint32_t fileCount = FromWire32(resUp.fileCount);
        // Packets come file by file, each file's in order and of a count that
        // does not change, and the files likewise: a file left unfinished or
        // skipped would be confirmed and then cleared unreceived.
        if (announcedFiles == 0) announcedFiles = fileCount;
        if (packetIndex == 0) announcedPackets = packetCount;
        if ((packetIndex == 0 ? inFile : (!inFile || packetIndex != nextPacket)) || fileIndex != filesDone ||
            fileCount != announcedFiles || packetCount != announcedPackets) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: packet %u of file %u/%u out of order", packetIndex, fileIndex,
                       fileCount);
            failure = kBadResponse;
            break;
        }

        char* data = resBuf.Reserve(dataLen);
        if (data == nullptr) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: no memory for %u bytes", dataLen);
            failure = kStorageFailed;
            break;
        }
        // Data gets the time-out plus what it needs at the least rate a
        // working device keeps.
        const long long dataDeadline = CTCPClient::DeadlineAfterMs(
            timeOut < 0 ? -1
                        : static_cast<long long>(timeOut) * 1000 +
                              static_cast<long long>(dataLen) * 1000 / static_cast<long long>(m_MinDataRate));
        if (!m_TcpClinet->RecvBefore(data, dataLen, dataDeadline)) {
            LOG_ERROR("CDataProcess::ProcSaveFSN: Recv resBuf data error");
            failure = kNetworkFailed;
            break;
        }

        bytesReceived += dataLen;

        if (packetIndex == 0) {
            const std::string machineNo = dcjframe::FieldText(resUp.MachineNo, sizeof(resUp.MachineNo));
            const std::string dateTime = dcjframe::FieldText(resUp.DateTime, sizeof(resUp.DateTime));
            const std::string sNo = dcjframe::FieldText(resUp.SNo, sizeof(resUp.SNo));
            // The host reads the list in UTF-8: the file on disk carries the
            // UTF-8 name the reply will list, byte for byte, and the list
            // keeps the GBK form that converts to it.
            // Each field on its own: a lead byte at a field's end must not
            // swallow the separator after it.
            auto canonical = [](const std::string& field) { return dcjtext::CanonicalGbk(field.data(), field.size()); };
            listedName = canonical(fsnPara->strInstNo) + "_" + canonical(machineNo) + "_" +
                         canonical(fsnPara->strEmpNo) + "_" + canonical(dateTime) + "_" + canonical(sNo) + ".FSN";
            const std::string diskName = dcjtext::GbkToUtf8Lenient(listedName.data(), listedName.size());
            if (diskName.find('/') != std::string::npos || !FormatFits(fsnName, "%s", diskName.c_str()) ||
                !FormatFits(fsnTempPath, "%s%s", qoltTempDir, fsnName)) {
                LOG_ERROR("CDataProcess::ProcSaveFSN: file name too long");
                failure = kBadParameter;
                break;
            }
            if (!growing.Open(fsnTempPath, !archiveMode)) {
                LOG_ERRORF("CDataProcess::ProcSaveFSN: SaveFile error:%s", fsnTempPath);
                failure = kStorageFailed;
                break;
            }
            inFile = true;
        }

        if (!growing.Append(data, dataLen)) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: SaveFile error:%s", fsnTempPath);
            failure = kStorageFailed;
            break;
        }

        nextPacket = packetIndex + 1;
        if (packetIndex < packetCount - 1) continue;
        inFile = false;

        // A delivered file is on disk before it is moved; files of an archive
        // only need to be readable by zip, the archive itself is synced.
        if (!growing.Finish(!archiveMode)) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: SaveFile error:%s", fsnTempPath);
            failure = kStorageFailed;
            break;
        }

        if (!archiveMode) {
            if (!FormatFits(fsnZipPath, "%s%s", fsnPara->strUploadDir, fsnName)) {
                LOG_ERROR("CDataProcess::ProcSaveFSN: upload path too long");
                failure = kBadParameter;
                break;
            }
            // A name this download has delivered already gets the new data
            // added, as it would inside an archive: replacing it would lose
            // the first file once the device clears its copies. The content
            // was synced before the move; the upload folder's new names are
            // synced once, before the confirmation.
            const bool repeated = !delivered.insert(fsnName).second;
            const bool stored = repeated ? dcjfile::AppendFile(fsnTempPath, fsnZipPath)
                                         : dcjfile::MoveFile(fsnTempPath, fsnZipPath, true) == dcjfile::MoveResult::Moved;
            if (!stored) {
                LOG_ERRORF("CDataProcess::ProcSaveFSN: rename error:%s", fsnZipPath);
                failure = kStorageFailed;
                break;
            }
        }
        fsnNameVec.push_back(listedName);
        fsnNameVecLen += listedName.size() + 1;
        ++filesDone;
        if (fileIndex < fileCount - 1) continue;
        // More than the device announced: what follows would be cleared
        // with the rest once confirmed. A device that is done closes the
        // stream; one that sends on after a pause is caught in the wait.
        if (m_TcpClinet->DataBeforeEnd(EndOfStreamWaitMs(timeOut))) {
            LOG_ERROR("CDataProcess::ProcSaveFSN: data after the last announced file");
            failure = kBadResponse;
        }
        break;
    }

    if (failure != nullptr) {
        SetResult(strRet, failure);
    } else if (archiveMode) {
        // cp and zip may take the time-out plus a second per MiB, and never
        // less than the minimum; then they are killed.
        const long long toolSeconds = (timeOut > 0 ? timeOut : 0) + static_cast<long long>(bytesReceived >> 20);
        SetToolSeconds(toolSeconds < m_MinToolSeconds ? m_MinToolSeconds
                                                     : toolSeconds > INT_MAX ? INT_MAX : static_cast<int>(toolSeconds));
        std::string strName(fsnPara->strRelativeFilePath);
        strName = basename(&strName[0]);
        LOG_INFOF("CDataProcess::ProcSaveFSN basename strName:%s", strName.c_str());

        // The related file must not overwrite a downloaded file of its name.
        int cpStatus = -1;
        if (dcjfile::PathExists(std::string(qoltTempDir) + strName)) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: related file %s would replace a downloaded file",
                       strName.c_str());
        } else {
            cpStatus = dcjfile::RunProgram(
                {"cp", dcjfile::PathArg(fsnPara->strRelativeFilePath), dcjfile::PathArg(qoltTempDir)}, ToolSeconds());
            LOG_INFOF("cp %s %s", fsnPara->strRelativeFilePath, qoltTempDir);
            // The host reaped cp itself: the copy, whole, is cp's answer.
            if (cpStatus == dcjfile::kOutcomeUnknown) {
                struct stat from, to;
                const bool whole = stat(fsnPara->strRelativeFilePath, &from) == 0 &&
                                   lstat((std::string(qoltTempDir) + strName).c_str(), &to) == 0 &&
                                   S_ISREG(to.st_mode) && to.st_size == from.st_size;
                cpStatus = whole ? 0 : -1;
            }
        }

        // Packed inside the working folder under a name that is not listed,
        // then moved into the upload folder without replacing anything.
        char qoltTempFiles[256] = {0};
        char partialZip[256] = {0};
        const bool pathsFit = FormatFits(qoltTempFiles, "%s*", qoltTempDir) &&
                              FormatFits(partialZip, "%s.archive.zip.part", qoltTempDir);
        LOG_INFOF("CDataProcess::ProcSaveFSN qoltTempFiles:%s", qoltTempFiles);

        char stamp[16] = {0};
        bool published = false;
        if (cpStatus == 0 && pathsFit) {
            if (CreateZipFile(qoltTempFiles, partialZip)) {
                for (int attempt = 0; attempt < kArchiveNameAttempts && !published; ++attempt) {
                    if (attempt > 0) SleepUntilNextSecond();
                    memset(stamp, 0, sizeof(stamp));
                    GetCurTime(stamp, sizeof(stamp));
                    if (!FormatFits(fsnZipPath, "%s%s.zip", fsnPara->strUploadDir, stamp)) break;
                    const dcjfile::MoveResult moved = dcjfile::MoveFile(partialZip, fsnZipPath, false);
                    if (moved == dcjfile::MoveResult::Failed) break;
                    published = moved == dcjfile::MoveResult::Moved;
                }
                // CreateZipFile synced the archive; its name is synced here.
                if (published) published = dcjfile::SyncDir(uploadDir);
            }
        }
        if (!published) {
            SetResult(strRet, kZipFailed);
            LOG_ERROR("CDataProcess::ProcSaveFSN: CreateZipFile error");
        } else {
            RemoveDir(qoltTempDir);
            leftEmpty = true;
            SetResult(strRet, kSuccess);
            char zipName[32];
            snprintf(zipName, sizeof(zipName), "%s.zip", stamp);
            WriteSlot(strRet, 2, zipName);
        }
    } else if (!dcjfile::SyncDir(uploadDir)) {
        // The renames must be on disk before the device is told to clear.
        LOG_ERRORF("CDataProcess::ProcSaveFSN: sync error:%s", uploadDir.c_str());
        SetResult(strRet, kStorageFailed);
    } else if (fsnNameVecLen > 1023 && !GrowSlot2(fsnNameVecLen + 1)) {
        LOG_ERROR("CDataProcess::ProcSaveFSN: no memory for the file list");
        SetResult(strRet, kStorageFailed);
    } else {
        leftEmpty = true;  // every file was moved out, and nobody else uses the folder
        SetResult(strRet, kSuccess);
        std::string list;
        list.reserve(fsnNameVecLen);
        for (size_t i = 0; i < fsnNameVec.size(); ++i) {
            if (i) list += '|';
            list += fsnNameVec[i];
        }
        WriteSlot(strRet, 2, list.c_str());
    }

    if (!leftEmpty) RemoveDir(qoltTempDir);
}
