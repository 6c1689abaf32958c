#include "Reference.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace dcjbench {
namespace ref {

namespace {

constexpr size_t kRequestSize = 32, kAckSize = 20, kHeaderSize = 108, kCountSize = 136;
constexpr uint32_t kUpload = 0xA1, kConfirm = 0xA6, kCount = 0xA3;

[[noreturn]] void Fail(const std::string& what, int err = 0)
{
    throw std::runtime_error(err ? what + ": " + strerror(err) : what);
}

uint32_t U32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class Socket {
public:
    explicit Socket(uint16_t port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) Fail("socket", errno);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            const int err = errno;
            close(m_fd);
            Fail("connect", err);
        }
    }
    ~Socket() { close(m_fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    void SendAll(const uint8_t* p, size_t n)
    {
        while (n > 0) {
            ssize_t k = send(m_fd, p, n, MSG_NOSIGNAL);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) Fail("send", errno);
            p += k;
            n -= static_cast<size_t>(k);
        }
    }
    void RecvAll(void* buf, size_t n)
    {
        char* p = static_cast<char*>(buf);
        while (n > 0) {
            ssize_t k = recv(m_fd, p, n, 0);
            if (k < 0 && errno == EINTR) continue;
            if (k == 0) Fail("connection closed early");
            if (k < 0) Fail("recv", errno);
            p += k;
            n -= static_cast<size_t>(k);
        }
    }
    // Request, then the ack, which must be a success for cmd.
    void Exchange(uint32_t cmd)
    {
        uint8_t req[kRequestSize] = {'Q', 'O', 'L', 'T'};
        PutU32(req + 4, kRequestSize);
        PutU32(req + 8, cmd);
        SendAll(req, sizeof req);
        uint8_t ack[kAckSize];
        RecvAll(ack, sizeof ack);
        if (memcmp(ack, "QOLT", 4) != 0 || U32(ack + 4) != kAckSize || U32(ack + 8) != cmd || U32(ack + 12) != 0)
            Fail("bad ack");
    }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// Text of a fixed-width field: up to its first NUL or its full width.
std::string Field(const uint8_t* p, size_t width)
{
    return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), width));
}

void WriteAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) Fail("write", errno);
        p += k;
        n -= static_cast<size_t>(k);
    }
}

void SyncPath(const std::string& path, int flags)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) Fail("open " + path, errno);
    if (fsync(fd) != 0) Fail("fsync " + path, errno);
    close(fd);
}

// One packet, durably: its own open, write, fsync and close.
void AppendPacket(const std::string& path, const char* data, size_t n)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) Fail("open " + path, errno);
    WriteAll(fd, data, n);
    if (fsync(fd) != 0) Fail("fsync", errno);
    if (close(fd) != 0) Fail("close", errno);
}

}  // namespace

DownloadStats Download(uint16_t port, const std::string& uploadDir, const std::string& tempDir,
                       const std::string& instNo, const std::string& empNo, Rule rule)
{
    DownloadStats st;
    const std::string work = tempDir + "QOLT/";
    if (mkdir(work.c_str(), 0777) != 0 && errno != EEXIST) Fail("mkdir " + work, errno);
    {
        Socket s(port);
        s.Exchange(kUpload);
        char* buf = nullptr;
        size_t cap = 0;
        int fd = -1;  // the file being received, except under PerPacket
        std::string tempPath, finalPath;
        try {
            for (;;) {
                uint8_t h[kHeaderSize];
                s.RecvAll(h, sizeof h);
                const uint32_t length = U32(h + 4);
                if (length < kHeaderSize || U32(h + 8) != kUpload) Fail("bad upload header");
                const size_t n = length - kHeaderSize;
                if (n > cap) {
                    free(buf);
                    buf = static_cast<char*>(malloc(n));
                    if (!buf) Fail("no memory");
                    cap = n;
                }
                s.RecvAll(buf, n);
                const uint32_t packetIndex = U32(h + 72), packetCount = U32(h + 76);
                const uint32_t fileIndex = U32(h + 80), fileCount = U32(h + 84);
                if (packetIndex == 0) {
                    const std::string name = instNo + "_" + Field(h + 12, 28) + "_" + empNo + "_" + Field(h + 40, 16) +
                                             "_" + Field(h + 56, 16) + ".FSN";
                    tempPath = work + name;
                    finalPath = uploadDir + name;
                    if (rule != Rule::PerPacket) {
                        if (fd >= 0) Fail("a file ended early");
                        fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
                        if (fd < 0) Fail("open " + tempPath, errno);
                    }
                }
                if (rule == Rule::PerPacket) {
                    AppendPacket(tempPath, buf, n);
                } else {
                    if (fd < 0) Fail("a file without its first packet");
                    WriteAll(fd, buf, n);
                }
                ++st.packets;
                st.bytes += n;
                if (packetIndex + 1 < packetCount) continue;
                if (rule == Rule::PerPacket) {
                    if (rename(tempPath.c_str(), finalPath.c_str()) != 0) Fail("rename", errno);
                    SyncPath(finalPath, O_RDONLY);
                } else {
                    // Content on disk before the name: a renamed file is never
                    // a partial one.
                    if (rule == Rule::PerFile && fsync(fd) != 0) Fail("fsync " + tempPath, errno);
                    const int rc = close(fd);
                    fd = -1;
                    if (rc != 0) Fail("close " + tempPath, errno);
                    if (rename(tempPath.c_str(), finalPath.c_str()) != 0) Fail("rename", errno);
                }
                ++st.files;
                if (fileIndex + 1 >= fileCount) break;
            }
        } catch (...) {
            if (fd >= 0) close(fd);
            free(buf);
            throw;
        }
        free(buf);
    }
    // Every entry renamed in above, on disk before the device may forget it.
    if (rule != Rule::NoSync) SyncPath(uploadDir, O_RDONLY | O_DIRECTORY);
    Socket confirm(port);
    confirm.Exchange(kConfirm);
    return st;
}

void Command(uint16_t port, uint32_t cmd)
{
    Socket s(port);
    s.Exchange(cmd);
    if (cmd == kCount) {
        uint8_t frame[kCountSize];
        s.RecvAll(frame, sizeof frame);
        if (memcmp(frame, "QOLT", 4) != 0) Fail("bad count frame");
    }
}

uint64_t Discard(uint16_t port)
{
    Socket s(port);
    s.Exchange(kUpload);
    static char sink[1 << 20];
    uint64_t total = 0;
    for (;;) {
        ssize_t k = recv(s.Fd(), sink, sizeof sink, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) Fail("recv", errno);
        if (k == 0) break;
        total += static_cast<uint64_t>(k);
    }
    return total;
}

}  // namespace ref
}  // namespace dcjbench
