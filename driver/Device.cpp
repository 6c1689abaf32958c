#include "Device.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Basic/DataprocessFiles.h"
#include "Basic/FileSizeSignal.h"
#include "Basic/GbkText.h"
#include "Basic/ResultCodes.h"
#include "ForkSafety.h"
#include "LoadLogDll.h"
#include "MERV_QOLT_DCJ.h"

namespace {

const char kSuccess[] = DCJ_RC_SUCCESS;

// Widest device text fields, each taken up to its full width: the longest
// FSN file name a well-formed device can make, beside the host's parts.
constexpr size_t kMachineNoWidth = 28;
constexpr size_t kDateTimeWidth = 16;
constexpr size_t kSNoWidth = 16;
constexpr size_t kNameDecoration = 4 + 4;  // four "_" and ".FSN"
constexpr size_t kPathCapacity = 255;      // 256-byte path buffers
constexpr size_t kIpCapacity = sizeof(TCPPara::ip) - 1;
constexpr size_t kNumberCapacity = 39;     // institution and employee numbers
constexpr int kMaxLinks = 40;              // as many as the kernel follows in one path

size_t LongestFsnName(const char* instNo, const char* empNo)
{
    return strlen(instNo) + strlen(empNo) + kMachineNoWidth + kDateTimeWidth + kSNoWidth + kNameDecoration;
}

void AppendSeparator(char* dir)
{
    const size_t len = strlen(dir);
    if (len > 0 && dir[len - 1] != '\\' && dir[len - 1] != '/') {
        dir[len] = '\\';
        dir[len + 1] = '\0';
    }
}

// A TCP port: a larger number would be cut to 16 bits, another port.
bool ValidPort(int port)
{
    return port >= 0 && port <= 65535;
}

bool ValidNumberText(const char* text)
{
    // A "/" would place files outside the upload folder, a "|" would split
    // the name in the reply's file list.
    return text[0] != '\0' && strlen(text) <= kNumberCapacity && strpbrk(text, "/|") == nullptr;
}

bool ReadLinkText(const std::string& link, size_t sizeHint, std::string* target)
{
    std::vector<char> buf(sizeHint < 64 ? 64 : sizeHint + 1);
    for (;;) {
        const ssize_t n = readlink(link.c_str(), buf.data(), buf.size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < buf.size()) {
            target->assign(buf.data(), static_cast<size_t>(n));
            return !target->empty();
        }
        buf.resize(buf.size() * 2);
    }
}

// What one look found at a path: a link's target, or "" for anything else
// (or nothing). Kept for the paths of one call, which share their folders,
// so both see the same answer for the same place.
typedef std::unordered_map<std::string, std::string> LinkTargets;

// The link target at path, looked at once per call; false when a link
// cannot be read.
bool LinkAt(const std::string& path, LinkTargets* seen, std::string* target)
{
    const auto known = seen->find(path);
    if (known != seen->end()) {
        *target = known->second;
        return true;
    }
    target->clear();
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        !ReadLinkText(path, static_cast<size_t>(st.st_size), target)) {
        return false;
    }
    seen->emplace(path, *target);
    return true;
}

// The folder the file system will reach through path: absolute, without
// ".", ".." or doubled slashes, every link followed (also one whose target
// is not made yet). Names that do not exist yet are taken as written, since
// the download creates them. Without seen, the path is known to hold no
// link: nothing is looked at.
bool ResolvePath(const std::string& path, std::string* resolved, LinkTargets* seen)
{
    std::string rest;  // what is still to walk
    if (path.empty() || path[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        if (cwd == nullptr) return false;
        rest = cwd;
        free(cwd);
        rest += '/';
    }
    rest += path;

    std::string walked;  // "" stands for the root
    std::string target;
    int linksFollowed = 0;
    size_t at = 0;
    while (at < rest.size()) {
        size_t end = rest.find('/', at);
        if (end == std::string::npos) end = rest.size();
        const size_t len = end - at;
        const char* name = rest.data() + at;
        const size_t nameAt = at;
        at = end + 1;
        if (len == 0 || (len == 1 && name[0] == '.')) continue;
        if (len == 2 && name[0] == '.' && name[1] == '.') {
            // walked holds no links, so its parent is lexical.
            const size_t slashAt = walked.rfind('/');
            walked.erase(slashAt == std::string::npos ? 0 : slashAt);
            continue;
        }
        const size_t parentLen = walked.size();
        walked += '/';
        walked.append(rest, nameAt, len);
        if (seen == nullptr) continue;
        if (!LinkAt(walked, seen, &target)) return false;
        if (target.empty()) continue;
        // A link: its target is walked in its place, from the root when
        // absolute, else from the link's folder.
        if (++linksFollowed > kMaxLinks) return false;
        walked.resize(target[0] == '/' ? 0 : parentLen);
        rest = at < rest.size() ? target + "/" + rest.substr(at) : target;
        at = 0;
    }
    *resolved = walked.empty() ? "/" : walked;
    return true;
}

bool Inside(const std::string& place, const std::string& folder)
{
    if (place.compare(0, folder.size(), folder) != 0) return false;
    return place.size() == folder.size() || folder == "/" || place[folder.size()] == '/';
}

// Names a file system that ignores case may take for one another: alike
// but for ASCII case, any run of other bytes standing for any other (exFAT
// folds far more than ASCII).
bool MayFoldTogether(const std::string& a, const std::string& b)
{
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[j]);
        if (x >= 0x80 && y >= 0x80) {
            while (i < a.size() && static_cast<unsigned char>(a[i]) >= 0x80) ++i;
            while (j < b.size() && static_cast<unsigned char>(b[j]) >= 0x80) ++j;
            continue;
        }
        if (x >= 0x80 || y >= 0x80 || lower(x) != lower(y)) return false;
        ++i;
        ++j;
    }
    return i == a.size() && j == b.size();
}

// Whether the file system a folder is on (or would be made on) may ignore
// case: FAT, exFAT, SMB shares, NTFS, HFS+, and any FUSE one, which cannot
// be told apart. A folder whose file system cannot be found is taken as one.
bool MayFoldCase(std::string dir)
{
    struct statfs fs;
    while (statfs(dir.c_str(), &fs) != 0) {
        if (dir.size() <= 1) return true;
        const size_t slash = dir.find_last_of('/', dir.size() - 2);
        if (slash == std::string::npos) return true;
        dir.resize(slash + 1);
    }
    switch (static_cast<unsigned long>(fs.f_type)) {
        case 0x4d44UL:      // FAT
        case 0x2011BAB0UL:  // exFAT
        case 0x65735546UL:  // FUSE
        case 0xFF534D42UL:  // CIFS
        case 0xFE534D42UL:  // SMB2
        case 0x517BUL:      // SMB
        case 0x5346544eUL:  // NTFS
        case 0x482bUL:      // HFS+
            return true;
        default:
            return false;
    }
}

std::vector<std::string> PathParts(const std::string& path)
{
    std::vector<std::string> parts;
    for (size_t at = 0; at < path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        if (end > at) parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

// Whether the folder lists both names (not one entry found under either).
// False when it cannot be read.
bool ListsBoth(const std::string& dir, const std::string& a, const std::string& b)
{
    // Registered: a child the host forks meanwhile keeps no descriptor of
    // the call.
    const int d = dcjfork::OpenTracked(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (d < 0) return false;
    bool seenA = false, seenB = false;
    const bool read = dcjfile::ForEachName(
        d,
        [&](const char* name, bool) {
            seenA = seenA || a == name;
            seenB = seenB || b == name;
        },
        true);
    dcjfork::CloseTracked(d);
    return read && seenA && seenB;
}

// FAT and exFAT take ".../qolt" for ".../QOLT": a place spelled otherwise is
// in the folder when, at every name spelled otherwise, the file system takes
// the two for one: both find an entry and the folder above lists only one,
// or neither is there yet and the file system may ignore case (inode numbers
// cannot tell: FUSE gives each spelling its own). No look at all unless the
// names differ that way.
bool InsideFoldingCase(const std::string& place, const std::string& folder)
{
    const std::vector<std::string> mine = PathParts(place), its = PathParts(folder);
    if (its.empty() || mine.size() < its.size()) return false;
    for (size_t i = 0; i < its.size(); ++i) {
        if (mine[i] != its[i] && !MayFoldTogether(mine[i], its[i])) return false;
    }
    std::string parent = "/";  // in the folder's spelling
    for (size_t i = 0; i < its.size(); parent += its[i++] + "/") {
        if (mine[i] == its[i]) continue;
        struct stat st;
        const bool mineThere = lstat((parent + mine[i]).c_str(), &st) == 0;
        const bool itsThere = lstat((parent + its[i]).c_str(), &st) == 0;
        const bool one = mineThere && itsThere ? !ListsBoth(parent, mine[i], its[i])
                                               : !mineThere && !itsThere && MayFoldCase(parent);
        if (!one) return false;
    }
    return true;
}

// One folder under two names a spelling cannot tell apart: a bind mount,
// or a name the file system trims ("QOLT." on FAT).
bool SameFolder(const struct stat& a, const struct stat& b)
{
    return S_ISDIR(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool SameFolder(int a, int b)
{
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && SameFolder(sa, sb);
}

bool SameFolder(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && SameFolder(sa, sb);
}

// Whether one of the folders in ids is the folder dir holds or a folder in
// it, down to the depth the working folder is ever emptied. Registered
// descriptors only: a child the host forks meanwhile keeps none of them.
bool HoldsOneOf(int dir, const std::vector<std::pair<dev_t, ino_t>>& ids, int depth = 0)
{
    struct stat st;
    if (fstat(dir, &st) != 0) return false;
    for (const auto& id : ids) {
        if (id.first == st.st_dev && id.second == st.st_ino) return true;
    }
    if (depth >= 4) return false;
    bool found = false;
    dcjfile::ForEachName(
        dir,
        [&](const char* name, bool isFileOrLink) {
            if (found || isFileOrLink) return;
            const int inner = dcjfork::OpenTrackedAt(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (inner < 0) return;
            found = HoldsOneOf(inner, ids, depth + 1);
            dcjfork::CloseTracked(inner);
        },
        true);
    return found;
}

// Whether a folder holding place (resolved, absolute) is the working folder
// or a folder in it under another name (a bind mount): the related file
// would be emptied away with it before it is packed. A look per folder up
// the path and per folder in the working folder: for the related file only,
// once a call.
bool InsideByIdentity(const std::string& place, const std::string& working)
{
    std::vector<std::pair<dev_t, ino_t>> ids;
    for (size_t end = place.rfind('/'); end != std::string::npos && end > 0; end = place.rfind('/', end - 1)) {
        struct stat st;
        if (stat(place.substr(0, end).c_str(), &st) == 0) ids.emplace_back(st.st_dev, st.st_ino);
    }
    const int dir = dcjfork::OpenTracked(working.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir < 0) return false;
    const bool holds = HoldsOneOf(dir, ids);
    dcjfork::CloseTracked(dir);
    return holds;
}

// The usual case in a few system calls: both folders there, no link on
// either path, so each is where its name says (up to case, see above). They
// are opened as the download opens them and handed to it. False when that
// cannot be told.
bool FoldersApartWithoutLinks(const std::string& upload, const std::string& working, bool* apart,
                              dcjfile::CheckedFolders* checked)
{
    checked->upload = dcjfork::OpenTrackedWithoutLinks(upload.c_str(), O_RDONLY | O_DIRECTORY);
    if (checked->upload < 0) return false;
    checked->working = dcjfork::OpenTrackedWithoutLinks(working.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    std::string place, folder;
    if (checked->working < 0 || !ResolvePath(upload, &place, nullptr) || !ResolvePath(working, &folder, nullptr)) {
        dcjfork::CloseTracked(std::exchange(checked->upload, -1));
        dcjfork::CloseTracked(std::exchange(checked->working, -1));
        return false;
    }
    *apart = !Inside(place, folder) && !InsideFoldingCase(place, folder) && !SameFolder(checked->upload, checked->working);
    return true;
}

// Nothing of the host's may sit where a download empties the working folder
// "<tempDir>QOLT/": not the upload folder (the device has dropped its copies
// of delivered files by then), not the related file (it would be deleted
// before it is packed). A path whose place cannot be told is refused too.
// checked, when given, may receive both folders opened.
bool OutsideWorkingFolder(const char* path, const char* tempDir, dcjfile::CheckedFolders* checked = nullptr) noexcept
{
    try {
        const std::string workingDir = std::string(tempDir) + "QOLT/";
        bool apart = false;
        if (checked != nullptr && FoldersApartWithoutLinks(path, workingDir, &apart, checked)) return apart;
        std::string place, working;
        LinkTargets seen;
        if (!ResolvePath(path, &place, &seen) || !ResolvePath(workingDir, &working, &seen)) return false;
        return !Inside(place, working) && !InsideFoldingCase(place, working) && !SameFolder(path, workingDir) &&
               (checked != nullptr || !InsideByIdentity(place, workingDir));
    } catch (...) {
        return false;
    }
}

}  // namespace

CDevice::CDevice(pthread_mutex_t* Locker) : mLocker(Locker), mDataProcss(CDataProcess::GetInstance())
{
    CLocker::InitLock(mLocker, true);
}

CDevice::~CDevice()
{
    CLocker::DestroyLock(mLocker);
}

bool CDevice::engineReady(char** arrayRet)
{
    if (mDataProcss != nullptr && mDataProcss->IsReady()) return true;
    CDataProcess::FailUnready(arrayRet);
    return false;
}

void CDevice::writeInvalidParameter(char** arrayRet)
{
    mDataProcss->WriteSlot(arrayRet, 0, DCJ_RC_BAD_PARAMETER);
    mDataProcss->WriteSlot(arrayRet, 1, GBK_BAD_PARAMETER);
}

void CDevice::refuseArguments(const char* method, const char* detail, char** arrayRet)
{
    CLocker locker(mLocker);
    if (!engineReady(arrayRet)) return;
    writeInvalidParameter(arrayRet);
    LOG_ERRORF("CDevice::%s invalid para:%s", method, detail);
}

void CDevice::runCommand(const char* method, unsigned int cmd, char* para, int paraLen, char* strIP, int netPort,
                         int timeout, char** arrayRet)
{
    CLocker locker(mLocker);
    char strLog[256] = {0};
    snprintf(strLog, sizeof(strLog), ">>%s", method);
    LOG_INFO(strLog);
    if (!engineReady(arrayRet)) return;

    if (strIP == nullptr || strIP[0] == '\0' || strlen(strIP) > kIpCapacity || !ValidPort(netPort) || timeout < -1) {
        writeInvalidParameter(arrayRet);
        LOG_ERRORF("CDevice::%s invalid para:ip:%s,netPort:%d,timeout:%d", method, strIP ? strIP : "", netPort,
                   timeout);
        return;
    }
    TCPPara tcpPara;
    memset(&tcpPara, 0, sizeof(tcpPara));
    memcpy(tcpPara.ip, strIP, strlen(strIP));
    tcpPara.port = netPort;
    tcpPara.timeout = timeout == -1 ? 10 : timeout;
    mDataProcss->ProcCommonCMD(cmd, para, paraLen, 0, tcpPara, nullptr, arrayRet, nullptr);
}

void CDevice::clearAllFSNFiles(char* strIP, int netPort, int timeout, char** arrayRet)
{
    runCommand("clearAllFSNFiles", CMD_CLEAR_FSN, nullptr, 0, strIP, netPort, timeout, arrayRet);
}

void CDevice::setTime(char* strTime, char* strIP, int netPort, int timeout, char** arrayRet)
{
    runCommand("setTime", CMD_SET_TIME, strTime, strTime ? 16 : 0, strIP, netPort, timeout, arrayRet);
}

void CDevice::getRMBCount(char* strIP, int netPort, int timeout, char** arrayRet)
{
    runCommand("getRMBCount", CMD_GET_COUNT, nullptr, 0, strIP, netPort, timeout, arrayRet);
}

void CDevice::clearRMBCount(char* strIP, int netPort, int timeout, char** arrayRet)
{
    runCommand("clearRMBCount", CMD_CLEAR_COUNT, nullptr, 0, strIP, netPort, timeout, arrayRet);
}

void CDevice::getDevStatus(char* strIP, int netPort, int timeout, char** arrayRet)
{
    runCommand("getDevStatus", CMD_DEV_STATUS, nullptr, 0, strIP, netPort, timeout, arrayRet);
}

void CDevice::getAllFSNFiles(char* strInstNo, char* strEmpNo, char* strRelativeFilePath, char* strUploadDir,
                             char* strTempDir, char* strIP, int netPort, int timeout, char** arrayRet,
                             int* arrayRet1Size, const std::function<bool(char** arrayRet)>& replyDeliverable)
{
    CLocker locker(mLocker);
    LOG_INFO(">>getAllFSNFiles");
    if (!engineReady(arrayRet)) return;

    const char* none = "";
    if (!strInstNo) strInstNo = const_cast<char*>(none);
    if (!strEmpNo) strEmpNo = const_cast<char*>(none);
    if (!strRelativeFilePath) strRelativeFilePath = const_cast<char*>(none);
    if (!strUploadDir) strUploadDir = const_cast<char*>(none);
    if (!strTempDir) strTempDir = const_cast<char*>(none);
    if (!strIP) strIP = const_cast<char*>(none);

    char RelativeFile[256] = {0};
    char UploadDir[256] = {0};
    char TempDir[256] = {0};
    char backslash[] = "\\";
    char slash[] = "/";

    // Every text must fit its buffer whole, and every path built from it
    // later must fit too: a cut path would name another file.
    bool valid = strIP[0] != '\0' && strlen(strIP) <= kIpCapacity && ValidPort(netPort) && timeout >= -1 &&
                 ValidNumberText(strInstNo) && ValidNumberText(strEmpNo) && strUploadDir[0] != '\0' &&
                 strTempDir[0] != '\0' && strlen(strRelativeFilePath) <= kPathCapacity &&
                 strlen(strUploadDir) < kPathCapacity && strlen(strTempDir) < kPathCapacity;
    if (valid) {
        AppendSeparator(strTempDir);
        AppendSeparator(strUploadDir);
        mDataProcss->strrpl(strRelativeFilePath, RelativeFile, sizeof(RelativeFile), backslash, slash);
        mDataProcss->strrpl(strUploadDir, UploadDir, sizeof(UploadDir), backslash, slash);
        mDataProcss->strrpl(strTempDir, TempDir, sizeof(TempDir), backslash, slash);
        const size_t longestName = LongestFsnName(strInstNo, strEmpNo);
        valid = strlen(TempDir) + strlen("QOLT/") + longestName <= kPathCapacity &&
                strlen(UploadDir) + longestName <= kPathCapacity;
    }
    // The names carry the host's fields as it wrote them, in UTF-8; the
    // engine builds them in GBK, as the reply lists them.
    std::string instNo, empNo;
    if (valid && !(dcjtext::HostTextToGbk(strInstNo, &instNo) && dcjtext::HostTextToGbk(strEmpNo, &empNo))) {
        valid = false;
        LOG_ERRORF("CDevice::getAllFSNFiles instNo:%s or empNo:%s has a character no file list can carry", strInstNo,
                   strEmpNo);
    }
    dcjfile::CheckedFolders checked;
    if (valid && !OutsideWorkingFolder(UploadDir, TempDir, &checked)) {
        valid = false;
        LOG_ERRORF("CDevice::getAllFSNFiles uploadDir:%s lies in the working folder under %s", UploadDir, TempDir);
    }
    if (valid && RelativeFile[0] != '\0' && !OutsideWorkingFolder(RelativeFile, TempDir)) {
        valid = false;
        LOG_ERRORF("CDevice::getAllFSNFiles relativeFilePath:%s lies in the working folder under %s", RelativeFile,
                   TempDir);
    }
    if (!valid) {
        writeInvalidParameter(arrayRet);
        LOG_ERRORF("CDevice::getAllFSNFiles invalid para:strInstNo:%s,strEmpNo:%s,strUploadDir:%s,strTempDir:%s,"
                   "ip:%s,netPort:%d,timeout:%d",
                   strInstNo, strEmpNo, strUploadDir, strTempDir, strIP, netPort, timeout);
        return;
    }

    struct stat related;
    if (RelativeFile[0] != '\0' && access(RelativeFile, F_OK) == 0 &&
        (stat(RelativeFile, &related) != 0 || !S_ISREG(related.st_mode))) {
        // A folder, a pipe or a device is no file to pack: copying a pipe
        // would never end, copying a device would fill the disk.
        writeInvalidParameter(arrayRet);
        LOG_ERRORF("CDevice::getAllFSNFiles invalid para:relativeFilePath:%s is not a regular file", RelativeFile);
        return;
    }
    if (RelativeFile[0] != '\0' && access(RelativeFile, F_OK) != 0) {
        mDataProcss->WriteSlot(arrayRet, 0, DCJ_RC_DEVICE_ERROR);
        char detail[256];
        snprintf(detail, sizeof(detail), "%s|" GBK_RELATED_FILE_MISSING, DCJ_RC_RELATED_FILE_MISSING);
        mDataProcss->WriteSlot(arrayRet, 1, detail);
        return;
    }

    InputFSNPara fsnPara;
    fsnPara.strInstNo = &instNo[0];
    fsnPara.strEmpNo = &empNo[0];
    fsnPara.strRelativeFilePath = RelativeFile;
    fsnPara.strUploadDir = UploadDir;
    fsnPara.strTempDir = TempDir;
    fsnPara.checked = &checked;

    TCPPara tcpPara;
    memset(&tcpPara, 0, sizeof(tcpPara));
    memcpy(tcpPara.ip, strIP, strlen(strIP));
    tcpPara.port = netPort;
    tcpPara.timeout = timeout == -1 ? 10 : timeout;

    // The download's writes and copies fail with EFBIG past a file-size
    // limit, never kill the host.
    QuietFileSizeLimit fileSizeLimit;
    mDataProcss->ProcCommonCMD(CMD_UPLOAD_FSN, nullptr, 0, 0, tcpPara, &fsnPara, arrayRet, arrayRet1Size);
    if (arrayRet && arrayRet[0] && strcmp(arrayRet[0], kSuccess) == 0) {
        if (replyDeliverable && !replyDeliverable(arrayRet)) {
            // The files stay delivered; the next call with room for the
            // reply finds them again and confirms them. An archive cannot be
            // delivered again under its name: the next call packs the files
            // into a new one, so this one, named in no reply, goes.
            if (RelativeFile[0] != '\0' && arrayRet[2] != nullptr && arrayRet[2][0] != '\0' &&
                strchr(arrayRet[2], '/') == nullptr) {
                const std::string zip = std::string(UploadDir) + arrayRet[2];
                if (unlink(zip.c_str()) == 0) dcjfile::SyncDir(UploadDir);
            }
            LOG_ERROR("CDevice::getAllFSNFiles the reply does not fit the caller's buffer: not confirmed");
            return;
        }
        mDataProcss->ProcFSNOKCMD(CMD_FSN_OK, nullptr, 0, 0, tcpPara, &fsnPara, arrayRet);
    }
}
