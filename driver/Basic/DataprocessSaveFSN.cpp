// The FSN download: receive every packet of every file, store it durably,
// deliver the files one by one or packed in one archive.
#include <errno.h>
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
    bool inFile = false;              // a file has begun and its last packet is still to come
    uint32_t nextPacket = 0;
    uint32_t filesDone = 0;
    uint32_t announcedFiles = 0;  // fileCount of the first header
    uint32_t announcedPackets = 0;  // packetCount of the file's first packet
    PacketBuffer resBuf;
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
        if (!m_TcpClinet->Recv(data, dataLen, timeOut)) {
            LOG_ERROR("CDataProcess::ProcSaveFSN: Recv resBuf data error");
            failure = kNetworkFailed;
            break;
        }

        if (packetIndex == 0) {
            const std::string machineNo = dcjframe::FieldText(resUp.MachineNo, sizeof(resUp.MachineNo));
            const std::string dateTime = dcjframe::FieldText(resUp.DateTime, sizeof(resUp.DateTime));
            const std::string sNo = dcjframe::FieldText(resUp.SNo, sizeof(resUp.SNo));
            if (!FormatFits(fsnName, "%s_%s_%s_%s_%s.FSN", fsnPara->strInstNo, machineNo.c_str(),
                            fsnPara->strEmpNo, dateTime.c_str(), sNo.c_str()) ||
                !FormatFits(fsnTempPath, "%s%s", qoltTempDir, fsnName)) {
                LOG_ERROR("CDataProcess::ProcSaveFSN: file name too long");
                failure = kBadParameter;
                break;
            }
            inFile = true;
        }

        if (!SaveFile(data, static_cast<int>(dataLen), fsnTempPath)) {
            LOG_ERRORF("CDataProcess::ProcSaveFSN: SaveFile error:%s", fsnTempPath);
            failure = kStorageFailed;
            break;
        }

        nextPacket = packetIndex + 1;
        if (packetIndex < packetCount - 1) continue;
        inFile = false;

        if (!archiveMode) {
            if (!FormatFits(fsnZipPath, "%s%s", fsnPara->strUploadDir, fsnName)) {
                LOG_ERROR("CDataProcess::ProcSaveFSN: upload path too long");
                failure = kBadParameter;
                break;
            }
            // A name this download has delivered already gets the new data
            // added, as it would inside an archive: replacing it would lose
            // the first file once the device clears its copies.
            const bool repeated = !delivered.insert(fsnName).second;
            const bool stored = repeated ? dcjfile::AppendFile(fsnTempPath, fsnZipPath)
                                         : dcjfile::MoveFile(fsnTempPath, fsnZipPath, true) == dcjfile::MoveResult::Moved;
            if (!stored || !sysSyncFile(fsnZipPath)) {
                LOG_ERRORF("CDataProcess::ProcSaveFSN: rename error:%s", fsnZipPath);
                failure = kStorageFailed;
                break;
            }
        }
        fsnNameVec.push_back(fsnName);
        fsnNameVecLen += strlen(fsnName) + 1;
        ++filesDone;
        if (fileIndex < fileCount - 1) continue;
        // More than the device announced: what follows would be cleared
        // with the rest once confirmed.
        if (m_TcpClinet->HasUnreadData()) {
            LOG_ERROR("CDataProcess::ProcSaveFSN: data after the last announced file");
            failure = kBadResponse;
        }
        break;
    }

    if (failure != nullptr) {
        SetResult(strRet, failure);
    } else if (archiveMode) {
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
                {"cp", dcjfile::PathArg(fsnPara->strRelativeFilePath), dcjfile::PathArg(qoltTempDir)});
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
                if (published) published = sysSyncFile(fsnZipPath) && dcjfile::SyncDir(uploadDir);
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
