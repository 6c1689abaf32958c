// The FSN download (ProcSaveFSN) reading a fuzzed upload stream. The engine's
// client connects over loopback to a listener of this program, which sends
// the stream and closes its side, so no receive ever waits.
//
// Input: one byte choosing the mode (archive mode when its low four bits are
// 0), then the bytes the device sends after its ack.
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "Basic/Dataprocess.h"
#include "EngineAccess.h"
#include "FuzzCheck.h"
#include "MERV_QOLT_DCJ.h"

namespace {

const char kInst[] = "442000034";
const char kEmp[] = "10677661";

std::vector<std::string> Names(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* dp = opendir(dir.c_str())) {
        while (dirent* e = readdir(dp)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        }
        closedir(dp);
    }
    return names;
}

void RemoveTree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : Names(path)) RemoveTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

struct Bench {
    std::string root;
    std::string upload;  // root/up/
    std::string temp;    // root/tmp/
    std::string related;
    int listenFd = -1;
    uint16_t port = 0;
    CDataProcess* engine = nullptr;

    Bench()
    {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fuzz-savefsn-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        FUZZ_CHECK(mkdtemp(buf.data()) != nullptr);
        root = buf.data();
        upload = root + "/up/";
        temp = root + "/tmp/";
        related = root + "/related.txt";
        FILE* f = fopen(related.c_str(), "w");
        FUZZ_CHECK(f != nullptr);
        fputs("related file of an archive\n", f);
        fclose(f);

        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(listenFd >= 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0);
        FUZZ_CHECK(listen(listenFd, 4) == 0);
        socklen_t len = sizeof(addr);
        FUZZ_CHECK(getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
        port = ntohs(addr.sin_port);

        engine = new CDataProcess();
        FUZZ_CHECK(engine->IsReady());
    }
    ~Bench()
    {
        delete engine;
        close(listenFd);
        RemoveTree(root);
    }
};

Bench* g_bench = nullptr;

void Cleanup()
{
    delete g_bench;
    g_bench = nullptr;
}

// Connects the engine's client to the listener and queues the stream.
int Feed(const uint8_t* data, size_t size)
{
    CTCPClient* client = DataProcessTestAccess::Client(*g_bench->engine);
    client->Close();
    FUZZ_CHECK(client->CreateSocket() >= 0);
    FUZZ_CHECK(client->Connect("127.0.0.1", g_bench->port, 1) == 0);
    const int peer = accept4(g_bench->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(peer >= 0);
    // Room for the whole stream (-max_len keeps it small), so the write
    // never waits for the reader, which runs after it on this thread.
    int room = 4 * 1024 * 1024;
    setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(peer, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        FUZZ_CHECK(n > 0);
        sent += static_cast<size_t>(n);
    }
    shutdown(peer, SHUT_WR);
    return peer;
}

std::vector<std::string> Split(const std::string& list)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t bar; (bar = list.find('|', start)) != std::string::npos; start = bar + 1) {
        parts.push_back(list.substr(start, bar - start));
    }
    parts.push_back(list.substr(start));
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_bench = new Bench();
    atexit(Cleanup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const bool archive = (data[0] & 0x0F) == 0;
    Bench& b = *g_bench;

    std::vector<char> inst(kInst, kInst + sizeof(kInst));
    std::vector<char> emp(kEmp, kEmp + sizeof(kEmp));
    std::vector<char> relative(b.related.begin(), b.related.end());
    relative.push_back('\0');
    if (!archive) relative.assign(1, '\0');
    std::vector<char> upload(b.upload.begin(), b.upload.end());
    upload.push_back('\0');
    std::vector<char> temp(b.temp.begin(), b.temp.end());
    temp.push_back('\0');
    InputFSNPara para{inst.data(), emp.data(), relative.data(), upload.data(), temp.data()};

    char empty[1] = {0};
    char* slots[5] = {empty, empty, empty, empty, empty};
    const int peer = Feed(data + 1, size - 1);
    DataProcessTestAccess::SaveFSN(*b.engine, &para, slots, 1);
    close(peer);
    DataProcessTestAccess::Client(*b.engine)->Close();

    const std::string code = slots[0];
    static const std::set<std::string> kCodes = {"ECPWS0000000", "ECPWSDCJ0002", "DRVDCJ1003",
                                                 "DRVDCJ1004",   "ECPWSCOM0005", "DRV0000001"};
    FUZZ_CHECK(kCodes.count(code) == 1);
    // Nothing is left in the working folder, and nothing is written beside
    // the two folders, whatever the device names its files.
    FUZZ_CHECK(Names(b.temp + "QOLT").empty());
    std::vector<std::string> top = Names(b.root);
    FUZZ_CHECK(std::set<std::string>(top.begin(), top.end()) ==
               (std::set<std::string>{"up", "tmp", "related.txt"}));
    FUZZ_CHECK(Names(b.temp) == std::vector<std::string>{"QOLT"});

    const std::vector<std::string> delivered = Names(b.upload);
    if (code == "ECPWS0000000") {
        const std::string list = slots[2];
        if (archive) {
            FUZZ_CHECK(list.size() == 18 && list.compare(14, 4, ".zip") == 0);
            FUZZ_CHECK(delivered == std::vector<std::string>{list});
        } else {
            // Each name of the list, read in UTF-8 and split as the host
            // does, is a delivered file.
            for (const std::string& name : Split(dcjtext::GbkToUtf8Lenient(list.data(), list.size()))) {
                FUZZ_CHECK(name.find('/') == std::string::npos);
                FUZZ_CHECK(access((b.upload + name).c_str(), F_OK) == 0);
            }
        }
    } else if (archive) {
        FUZZ_CHECK(delivered.empty());
    }
    for (const std::string& name : delivered) RemoveTree(b.upload + name);
    return 0;
}
