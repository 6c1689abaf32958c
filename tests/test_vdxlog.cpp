// libvdxlog.so as the driver uses it: loaded with dlopen in a child process
// (it reads its environment once per process), records checked in the file.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

typedef void (*LogFunc)(const char* brand, const char* kind, const char* file, int line, const char* msg);

struct LogApi {
    LogFunc info = nullptr;
    LogFunc warn = nullptr;
    LogFunc error = nullptr;
    void (*hold)(int on) = nullptr;
};

// In the child: sets the environment, then loads the library.
bool LoadLog(LogApi* api, const std::map<std::string, const char*>& env)
{
    for (const auto& kv : env) {
        if (kv.second) {
            setenv(kv.first.c_str(), kv.second, 1);
        } else {
            unsetenv(kv.first.c_str());
        }
    }
    void* lib = dlopen(DCJ_VDXLOG_SO, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return false;
    api->info = reinterpret_cast<LogFunc>(dlsym(lib, "LogInfo"));
    api->warn = reinterpret_cast<LogFunc>(dlsym(lib, "LogWarn"));
    api->error = reinterpret_cast<LogFunc>(dlsym(lib, "LogError"));
    api->hold = reinterpret_cast<void (*)(int)>(dlsym(lib, "LogHold"));
    return api->info && api->warn && api->error && api->hold;
}

// Runs body with the library loaded under env; the child's exit status is
// 0 when body returns true, 2 when the library did not load, 3 when setup
// (run in the child before the library loads) fails.
dcjtest::ProcessResult WithLog(const std::map<std::string, const char*>& env,
                               const std::function<bool(const LogApi&)>& body,
                               const std::function<bool()>& setup = nullptr)
{
    return dcjtest::RunInChild([&] {
        if (setup && !setup()) return 3;
        LogApi api;
        if (!LoadLog(&api, env)) return 2;
        return body(api) ? 0 : 1;
    }, 120);
}

// In a child: "exit N" or "signal N" of a grandchild it forked.
std::string Reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return "lost";
    }
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    return WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status)) : "stopped";
}

long ThreadId()
{
    return static_cast<long>(syscall(SYS_gettid));
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// "2026-12-07 09:05:07.123 [812:815] INFO  QOLT DCJ Basic/TCPClient.cpp:88 text"
struct Record {
    std::string stamp;  // without the milliseconds
    long pid = 0, tid = 0;
    std::string level;
    std::string brand, kind, file;
    int line = 0;
    std::string msg;
};

bool Parse(const std::string& text, Record* r)
{
    static const char kShape[] = "dddd-dd-dd dd:dd:dd.ddd [";
    const size_t shapeLen = sizeof(kShape) - 1;
    if (text.size() < shapeLen) return false;
    for (size_t i = 0; i < shapeLen; ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
    }
    r->stamp = text.substr(0, 19);
    // "pid:tid] "
    size_t at = shapeLen;
    for (long* id : {&r->pid, &r->tid}) {
        const size_t start = at;
        *id = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') *id = *id * 10 + (text[at++] - '0');
        if (at == start || at >= text.size() || text[at] != (id == &r->pid ? ':' : ']')) return false;
        ++at;
    }
    if (text.compare(at, 1, " ") != 0 || text.size() < at + 7) return false;
    r->level = text.substr(at + 1, 5);
    if (r->level != "INFO " && r->level != "WARN " && r->level != "ERROR") return false;
    if (text[at + 6] != ' ') return false;
    std::string rest = text.substr(at + 7);
    std::string fields[3];
    for (auto& field : fields) {
        const size_t sp = rest.find(' ');
        if (sp == std::string::npos) return false;
        field = rest.substr(0, sp);
        rest = rest.substr(sp + 1);
    }
    r->brand = fields[0];
    r->kind = fields[1];
    const size_t colon = fields[2].rfind(':');
    if (colon == std::string::npos) return false;
    r->file = fields[2].substr(0, colon);
    char* end = nullptr;
    r->line = static_cast<int>(strtol(fields[2].c_str() + colon + 1, &end, 10));
    if (*end != '\0' || end == fields[2].c_str() + colon + 1) return false;
    r->msg = rest;
    return true;
}

// Every record of text; lines that do not parse are counted in *bad.
std::vector<Record> Records(const std::string& text, int* bad)
{
    std::vector<Record> records;
    for (const std::string& line : Lines(text)) {
        Record r;
        if (Parse(line, &r)) {
            records.push_back(r);
        } else {
            ++*bad;
        }
    }
    return records;
}

std::string LocalStamp()
{
    return dcjtest::LocalStamp(dcjtest::WallClockSeconds(), "%Y-%m-%d %H:%M:%S");
}

// Waits for the wall clock to pass into the next second (the library looks
// at its file at most once a second).
void NextSecond()
{
    const time_t now = time(nullptr);
    while (time(nullptr) == now) usleep(10000);
}

class vdxlogRecords : public ::testing::Test {
protected:
    dcjtest::TempDir dir{"dcj-vdxlog"};
    const std::string file = dir / "records.log";
};

TEST_F(vdxlogRecords, OneWellFormedLineAppendedPerRecord)
{
    dcjtest::WriteFile(file, "kept\n");
    // An offset no machine runs on by accident: UTC stamps would show.
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}, {"TZ", "DCJ-05:30"}, {"VDXLOG_LEVEL", nullptr}},
                          [](const LogApi& log) {
                              tzset();
                              printf("%s\n", LocalStamp().c_str());
                              log.info("QOLT", "DCJ", "Basic/TCPClient.cpp", 88, "connect to 127.0.0.1");
                              log.warn("QOLT", "DCJ", "Device.cpp", 7, "slow answer");
                              log.error("QOLT", "DCJ", "Device.cpp", -1, "");
                              printf("%s\n", LocalStamp().c_str());
                              return true;
                          });
    ASSERT_EQ(result.status, 0);
    const auto stamps = Lines(result.out);  // and nothing else on standard output
    ASSERT_EQ(stamps.size(), 2u) << result.out;
    EXPECT_EQ(result.err, "");

    const std::string text = dcjtest::ReadFile(file);
    ASSERT_EQ(text.substr(0, 5), "kept\n");
    ASSERT_EQ(text.back(), '\n');
    const auto lines = Lines(text.substr(5));
    ASSERT_EQ(lines.size(), 3u) << text;

    const struct {
        const char* level;
        const char* file;
        int line;
        const char* msg;
    } want[] = {{"INFO ", "Basic/TCPClient.cpp", 88, "connect to 127.0.0.1"},
                {"WARN ", "Device.cpp", 7, "slow answer"},
                {"ERROR", "Device.cpp", -1, ""}};
    for (size_t i = 0; i < lines.size(); ++i) {
        Record r;
        ASSERT_TRUE(Parse(lines[i], &r)) << lines[i];
        EXPECT_EQ(r.level, want[i].level);
        EXPECT_EQ(r.brand, "QOLT");
        EXPECT_EQ(r.kind, "DCJ");
        EXPECT_EQ(r.file, want[i].file);
        EXPECT_EQ(r.line, want[i].line);
        EXPECT_EQ(r.msg, want[i].msg);
        EXPECT_TRUE(r.stamp >= stamps[0] && r.stamp <= stamps[1]) << r.stamp << " not local time";
    }
}

// A host may cancel a thread that is writing a record (write is a
// cancellation point): the cancel must wait for the record, not unwind
// through the library and abort the host.
TEST_F(vdxlogRecords, AThreadCancelledWhileItWritesEndsAfterTheRecordAndTheHostLives)
{
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}, {"VDXLOG_LEVEL", nullptr}}, [](const LogApi& log) {
        static const LogApi* api;
        api = &log;
        for (int round = 0; round < 20; ++round) {
            static std::atomic<bool> writing;
            writing = false;
            pthread_t thread;
            if (pthread_create(
                    &thread, nullptr,
                    [](void*) -> void* {
                        for (;;) {
                            api->info("QOLT", "DCJ", "t.cpp", 1, "one");
                            api->hold(1);
                            api->info("QOLT", "DCJ", "t.cpp", 2, "held");
                            api->hold(0);
                            writing = true;
                            dcjtest::ActOnPendingCancel();
                        }
                        return nullptr;
                    },
                    nullptr) != 0) {
                return false;
            }
            while (!writing) sched_yield();
            pthread_cancel(thread);
            void* end = nullptr;
            if (pthread_join(thread, &end) != 0 || end != PTHREAD_CANCELED) return false;
        }
        printf("lived\n");
        return true;
    });
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "lived\n");
    int bad = 0;
    EXPECT_FALSE(Records(dcjtest::ReadFile(file), &bad).empty());
    EXPECT_EQ(bad, 0) << "a record cut by the cancel";
}

TEST_F(vdxlogRecords, DefaultFileIsInAPrivateFolderOfTheUser)
{
    auto result = WithLog({{"VDXLOG_FILE", nullptr}, {"TMPDIR", dir.path().c_str()}}, [](const LogApi& log) {
        umask(022);
        log.info("QOLT", "DCJ", "a.cpp", 1, "to the default file");
        return true;
    });
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const std::string folder = "vdxlog-" + std::to_string(getuid());
    EXPECT_EQ(dcjtest::ListDir(dir.path()), std::vector<std::string>{folder});
    struct stat st;
    ASSERT_EQ(lstat((dir / folder).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    const std::string expected = dir / (folder + "/vdxlog.log");
    ASSERT_EQ(lstat(expected.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const auto lines = Lines(dcjtest::ReadFile(expected));
    ASSERT_EQ(lines.size(), 1u);
    Record r;
    ASSERT_TRUE(Parse(lines[0], &r)) << lines[0];
    EXPECT_EQ(r.msg, "to the default file");
}

TEST_F(vdxlogRecords, DashMeansStandardError)
{
    auto result = WithLog({{"VDXLOG_FILE", "-"}}, [](const LogApi& log) {
        log.warn("QOLT", "DCJ", "a.cpp", 2, "to stderr");
        return true;
    });
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    const auto lines = Lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    Record r;
    ASSERT_TRUE(Parse(lines[0], &r)) << lines[0];
    EXPECT_EQ(r.level, "WARN ");
    EXPECT_EQ(r.msg, "to stderr");
    EXPECT_FALSE(dcjtest::Exists("-"));
}

TEST_F(vdxlogRecords, NullArgumentsAreWrittenAsNull)
{
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [](const LogApi& log) {
        log.info(nullptr, nullptr, nullptr, 0, nullptr);
        log.error(nullptr, "DCJ", nullptr, 5, "still here");
        return true;
    });
    ASSERT_EQ(result.status, 0);
    const auto lines = Lines(dcjtest::ReadFile(file));
    ASSERT_EQ(lines.size(), 2u);
    Record r;
    ASSERT_TRUE(Parse(lines[0], &r)) << lines[0];
    EXPECT_EQ(r.brand, "(null)");
    EXPECT_EQ(r.file, "(null)");
    EXPECT_EQ(r.msg, "(null)");
    ASSERT_TRUE(Parse(lines[1], &r)) << lines[1];
    EXPECT_EQ(r.msg, "still here");
}

TEST_F(vdxlogRecords, LineBreaksNeverSplitARecord)
{
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [](const LogApi& log) {
        log.info("QOLT", "DCJ", "a.cpp", 3, "first\nsecond\r\nthird\n");
        log.info("QO\nLT", "D\rCJ", "a\n.cpp", 4, "fields too");
        return true;
    });
    ASSERT_EQ(result.status, 0);
    const auto lines = Lines(dcjtest::ReadFile(file));
    ASSERT_EQ(lines.size(), 2u) << dcjtest::ReadFile(file);
    Record r;
    ASSERT_TRUE(Parse(lines[0], &r)) << lines[0];
    EXPECT_EQ(r.msg, "first second  third ");
    EXPECT_EQ(lines[1].find('\r'), std::string::npos);
    EXPECT_NE(lines[1].find("fields too"), std::string::npos);
}

TEST_F(vdxlogRecords, RecordsOfAnyLengthAreWrittenWhole)
{
    // Short records are made on the stack, long ones on the heap: around
    // the border and far beyond it, each arrives whole and on one line.
    const std::vector<size_t> sizes = {1, 900, 950, 980, 1000, 1100, 100000};
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [&sizes](const LogApi& log) {
        for (size_t size : sizes) {
            std::string msg(size, 'x');
            msg[size / 2] = '\n';
            log.info("QOLT", "DCJ", "a.cpp", static_cast<int>(size), msg.c_str());
        }
        return true;
    });
    ASSERT_EQ(result.status, 0);
    const auto lines = Lines(dcjtest::ReadFile(file));
    ASSERT_EQ(lines.size(), sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        Record r;
        ASSERT_TRUE(Parse(lines[i], &r)) << sizes[i];
        std::string expected(sizes[i], 'x');
        expected[sizes[i] / 2] = ' ';
        EXPECT_EQ(r.msg, expected) << sizes[i];
        EXPECT_EQ(r.file, "a.cpp");
    }
}

TEST_F(vdxlogRecords, UnopenableFileNeverReachesTheCaller)
{
    const std::string missing = dir / "not-yet";
    const std::string inside = missing + "/records.log";
    auto result = WithLog({{"VDXLOG_FILE", inside.c_str()}}, [&missing](const LogApi& log) {
        for (int i = 0; i < 100; ++i) {
            errno = EDOM;
            log.error("QOLT", "DCJ", "a.cpp", i, "lost");
            if (errno != EDOM) return false;  // the caller's errno is its own
        }
        // Once the folder exists the library finds it (within a second).
        if (mkdir(missing.c_str(), 0755) != 0) return false;
        NextSecond();
        log.info("QOLT", "DCJ", "a.cpp", 1, "found");
        return true;
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const auto lines = Lines(dcjtest::ReadFile(inside));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" found"), std::string::npos);
}

TEST_F(vdxlogRecords, RotatedFileIsReopened)
{
    const std::string rotated = file + ".1";
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [this, &rotated](const LogApi& log) {
        log.info("QOLT", "DCJ", "a.cpp", 1, "before");
        if (rename(file.c_str(), rotated.c_str()) != 0) return false;
        NextSecond();
        log.info("QOLT", "DCJ", "a.cpp", 2, "after");
        return true;
    });
    ASSERT_EQ(result.status, 0);
    const auto old = Lines(dcjtest::ReadFile(rotated));
    const auto fresh = Lines(dcjtest::ReadFile(file));
    ASSERT_EQ(old.size(), 1u);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_NE(old[0].find(" before"), std::string::npos);
    EXPECT_NE(fresh[0].find(" after"), std::string::npos);
}

struct LevelCase {
    const char* setting;  // nullptr: unset
    const char* written;  // first letters of the levels that reach the file
};

void PrintTo(const LevelCase& c, std::ostream* os)
{
    *os << (c.setting ? c.setting : "unset");
}

class vdxlogLevel : public vdxlogRecords, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(vdxlogLevel, FiltersLowerLevels)
{
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}, {"VDXLOG_LEVEL", GetParam().setting}},
                          [](const LogApi& log) {
                              log.info("QOLT", "DCJ", "a.cpp", 1, "i");
                              log.warn("QOLT", "DCJ", "a.cpp", 2, "w");
                              log.error("QOLT", "DCJ", "a.cpp", 3, "e");
                              return true;
                          });
    ASSERT_EQ(result.status, 0);
    std::string written;
    for (const auto& line : Lines(dcjtest::ReadFile(file))) {
        Record r;
        ASSERT_TRUE(Parse(line, &r)) << line;
        written += r.level[0];
    }
    EXPECT_EQ(written, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Settings, vdxlogLevel,
                         ::testing::Values(LevelCase{nullptr, "IWE"}, LevelCase{"info", "IWE"},
                                           LevelCase{"warn", "WE"}, LevelCase{"error", "E"},
                                           LevelCase{"off", ""}, LevelCase{"verbose", "IWE"}),
                         [](const ::testing::TestParamInfo<LevelCase>& which) {
                             return std::string(which.param.setting ? which.param.setting : "unset");
                         });

TEST_F(vdxlogRecords, ThreadsNeverLoseOrInterleaveRecords)
{
    constexpr int kThreads = 16;
    constexpr int kRecords = 1000;
    // Lengths vary up to a few kilobytes: long records must stay whole too.
    auto body = [](int t, int n) { return std::string(static_cast<size_t>((t * 131 + n * 37) % 4000), 'a' + t % 26); };
    // About 33 MB: above the default cap, and rotation is not what this is about.
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}, {"VDXLOG_MAX_BYTES", "1000000000"}}, [&body](const LogApi& log) {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                // All start together: the first records race for the file.
                ready.fetch_add(1);
                while (ready.load() < kThreads) std::this_thread::yield();
                const std::string kind = "T" + std::to_string(t);
                const LogFunc levels[] = {log.info, log.warn, log.error};
                for (int n = 0; n < kRecords; ++n) {
                    const std::string msg = std::to_string(n) + " " + body(t, n);
                    levels[n % 3]("QOLT", kind.c_str(), "worker.cpp", t, msg.c_str());
                }
            });
        }
        for (auto& th : threads) th.join();
        return true;
    });
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");  // where a race detector would report

    const std::string text = dcjtest::ReadFile(file);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const auto lines = Lines(text);
    EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
    std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kRecords, 0));
    int bad = 0;
    for (const auto& line : lines) {
        Record r;
        int t = -1, n = -1;
        bool ok = Parse(line, &r) && r.brand == "QOLT" && r.file == "worker.cpp" && r.kind == "T" + std::to_string(r.line);
        if (ok) {
            t = r.line;
            n = atoi(r.msg.c_str());
            ok = t >= 0 && t < kThreads && n >= 0 && n < kRecords && r.msg == std::to_string(n) + " " + body(t, n) &&
                 r.level == (n % 3 == 0 ? "INFO " : n % 3 == 1 ? "WARN " : "ERROR");
        }
        if (!ok) {
            if (++bad <= 3) ADD_FAILURE() << "malformed: " << line.substr(0, 120);
            continue;
        }
        ++seen[static_cast<size_t>(t)][static_cast<size_t>(n)];
    }
    EXPECT_EQ(bad, 0);
    int missing = 0, doubled = 0;
    for (const auto& perThread : seen) {
        for (int count : perThread) {
            missing += count == 0;
            doubled += count > 1;
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(doubled, 0);
}

TEST(vdxlogHold, HeldRecordsArriveTogetherInOrderAndErrorsDoNotWait)
{
    dcjtest::TempDir tmp;
    const std::string log = tmp / "held.log";
    auto lines = [&] { return Lines(dcjtest::ReadFile(log)).size(); };
    auto child = WithLog({{"VDXLOG_FILE", log.c_str()}, {"VDXLOG_LEVEL", nullptr}}, [&](const LogApi& api) {
        api.hold(1);
        api.info("QOLT", "DCJ", "f.cpp", 1, "first");
        api.hold(1);  // holds nest
        api.warn("QOLT", "DCJ", "f.cpp", 2, "second");
        api.hold(0);
        if (lines() != 0) return false;
        api.hold(0);
        if (lines() != 2) return false;
        api.hold(0);  // one release too many changes nothing
        api.info("QOLT", "DCJ", "f.cpp", 3, "third");
        if (lines() != 3) return false;

        api.hold(1);
        api.info("QOLT", "DCJ", "f.cpp", 4, "fourth");
        api.error("QOLT", "DCJ", "f.cpp", 5, "fifth");  // written at once, after what waited
        if (lines() != 5) return false;
        api.info("QOLT", "DCJ", "f.cpp", 6, "sixth");
        // A hold never grows without bound.
        const std::string big(1000, 'x');
        for (int i = 0; i < 200; ++i) api.info("QOLT", "DCJ", "f.cpp", 7, big.c_str());
        if (lines() < 60) return false;
        api.hold(0);
        return lines() == 206;
    });
    ASSERT_EQ(child.status, 0) << dcjtest::ReadFile(log);
    std::vector<std::string> order;
    for (const std::string& line : Lines(dcjtest::ReadFile(log))) order.push_back(line.substr(line.rfind(' ') + 1));
    order.resize(6);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "third", "fourth", "fifth", "sixth"}));
}

// What a reader of fd holds now, without waiting for more.
std::string Available(int fd)
{
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == ENOTSOCK) {
            const ssize_t r = read(fd, buf, sizeof(buf));  // a descriptor set to O_NONBLOCK
            if (r > 0) {
                text.append(buf, static_cast<size_t>(r));
                continue;
            }
        }
        return text;
    }
}

// Standard error a pipe whose reader has gone; the host keeps SIGPIPE's
// default action.
bool BrokenPipeAsStandardError()
{
    int p[2];
    if (pipe(p) != 0) return false;
    close(p[0]);
    const bool ok = dup2(p[1], STDERR_FILENO) == STDERR_FILENO;
    close(p[1]);
    return ok;
}

void SomeRecords(const LogApi& log)
{
    log.error("QOLT", "DCJ", "a.cpp", 1, "at once");
    log.hold(1);
    const std::string line(500, 'h');
    for (int i = 0; i < 100; ++i) log.info("QOLT", "DCJ", "a.cpp", 2, line.c_str());
    log.hold(0);
    log.warn("QOLT", "DCJ", "a.cpp", 3, "after the burst");
}

bool SigpipeState(bool* blocked, bool* pending, bool* defaultAction)
{
    sigset_t mask, waiting;
    struct sigaction action;
    if (pthread_sigmask(SIG_SETMASK, nullptr, &mask) != 0 || sigpending(&waiting) != 0 ||
        sigaction(SIGPIPE, nullptr, &action) != 0) {
        return false;
    }
    *blocked = sigismember(&mask, SIGPIPE) == 1;
    *pending = sigismember(&waiting, SIGPIPE) == 1;
    *defaultAction = action.sa_handler == SIG_DFL;
    return true;
}

TEST(vdxlogSignals, NoWriteRaisesASignal)
{
    {
        SCOPED_TRACE("standard error a pipe without reader");
        auto result = WithLog({{"VDXLOG_FILE", "-"}}, [](const LogApi& log) {
            SomeRecords(log);
            bool blocked = true, pending = true, dfl = false;
            if (!SigpipeState(&blocked, &pending, &dfl)) return false;
            printf("blocked %d pending %d default %d\n", blocked, pending, dfl);
            return !blocked && !pending && dfl;
        }, BrokenPipeAsStandardError);
        EXPECT_EQ(result.status, 0) << result.out;  // -1: killed
    }
    {
        SCOPED_TRACE("the host blocks SIGPIPE and has one pending");
        auto result = WithLog({{"VDXLOG_FILE", "-"}}, [](const LogApi& log) {
            sigset_t pipeOnly;
            sigemptyset(&pipeOnly);
            sigaddset(&pipeOnly, SIGPIPE);
            if (pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr) != 0 || raise(SIGPIPE) != 0) return false;
            SomeRecords(log);
            bool blocked = false, pending = false, dfl = false;
            if (!SigpipeState(&blocked, &pending, &dfl)) return false;
            printf("blocked %d pending %d default %d\n", blocked, pending, dfl);
            return blocked && pending && dfl;  // the host's signal is still there
        }, BrokenPipeAsStandardError);
        EXPECT_EQ(result.status, 0) << result.out;
    }
    {
        SCOPED_TRACE("a file size limit, reached");
        dcjtest::TempDir tmp;
        const std::string file = tmp / "limited.log";
        const std::string before(200, '.');
        dcjtest::WriteFile(file, before);
        auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [](const LogApi& log) {
            SomeRecords(log);
            return true;
        }, [] {
            const struct rlimit noCore = {0, 0}, limit = {200, 200};
            return setrlimit(RLIMIT_CORE, &noCore) == 0 && setrlimit(RLIMIT_FSIZE, &limit) == 0;
        });
        EXPECT_EQ(result.status, 0);  // -1: SIGXFSZ
        EXPECT_EQ(dcjtest::ReadFile(file), before);
    }
    {
        SCOPED_TRACE("a file size limit the host sets between two records");
        dcjtest::TempDir tmp;
        const std::string file = tmp / "limited-later.log";
        auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [](const LogApi& log) {
            log.info("QOLT", "DCJ", "limit.cpp", 1, "before the limit");
            const struct rlimit noCore = {0, 0}, limit = {16, 16};
            if (setrlimit(RLIMIT_CORE, &noCore) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
            SomeRecords(log);
            return true;
        });
        EXPECT_EQ(result.status, 0);  // -1: SIGXFSZ
        int bad = 0;
        const auto records = Records(dcjtest::ReadFile(file), &bad);
        EXPECT_EQ(bad, 0);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].msg, "before the limit");
    }
}

class vdxlogNoWait : public vdxlogRecords {};

TEST_F(vdxlogNoWait, FifoAtThePathIsNoLog)
{
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    {
        SCOPED_TRACE("nobody reading");
        auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [](const LogApi& log) {
            alarm(5);  // a wait on the FIFO ends here, not at the suite's time-out
            const auto start = std::chrono::steady_clock::now();
            log.info("QOLT", "DCJ", "a.cpp", 1, "into a FIFO");
            log.error("QOLT", "DCJ", "a.cpp", 2, "into a FIFO");
            return std::chrono::steady_clock::now() - start < std::chrono::seconds(1);
        });
        EXPECT_EQ(result.status, 0);  // -1: still waiting when the alarm rang
    }
    {
        SCOPED_TRACE("a reader waiting");
        auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [this](const LogApi& log) {
            const int reader = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (reader < 0) return false;
            log.info("QOLT", "DCJ", "a.cpp", 1, "into a FIFO");
            const std::string got = Available(reader);
            printf("%s", got.c_str());
            return got.empty();
        });
        EXPECT_EQ(result.status, 0) << result.out;
    }
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(vdxlogNoWait, FullStandardErrorPipeDropsWhatDoesNotFit)
{
    // Nobody reads standard error until the records are written: past the
    // pipe's capacity a blocking write would wait for ever.
    int readEnd = -1;
    auto result = WithLog({{"VDXLOG_FILE", "-"}}, [&readEnd](const LogApi& log) {
        alarm(10);
        log.hold(1);
        const std::string held(300, 'h');
        for (int i = 0; i < 200; ++i) log.info("QOLT", "DCJ", "held.cpp", i, held.c_str());
        log.hold(0);
        const std::string direct(100, 'd');
        for (int i = 0; i < 3000; ++i) log.info("QOLT", "DCJ", "direct.cpp", i, direct.c_str());
        const std::string text = Available(readEnd);
        int bad = 0;
        const size_t whole = Records(text, &bad).size();
        printf("%zu bytes, %zu records, %d broken\n", text.size(), whole, bad);
        // Whole records only, in pieces a shared pipe keeps together.
        return !text.empty() && text.back() == '\n' && bad == 0 && whole < 3200;
    }, [&readEnd] {
        int p[2];
        if (pipe(p) != 0 || dup2(p[1], STDERR_FILENO) != STDERR_FILENO) return false;
        close(p[1]);
        readEnd = p[0];
        return fcntl(readEnd, F_SETFL, O_NONBLOCK) == 0;
    });
    EXPECT_EQ(result.status, 0) << result.out;  // -1: blocked until the alarm
}

TEST_F(vdxlogNoWait, TerminalNobodyReadsDropsWhatDoesNotFit)
{
    const int probe = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (probe < 0) GTEST_SKIP() << "no pseudo-terminals here";
    close(probe);
    // Poll calls a terminal writable while it takes a byte; a write of
    // more waits for the reader.
    int master = -1;
    auto result = WithLog({{"VDXLOG_FILE", "-"}}, [&master](const LogApi& log) {
        alarm(10);
        const std::string line(100, 't');
        for (int i = 0; i < 3000; ++i) log.info("QOLT", "DCJ", "tty.cpp", i, line.c_str());
        const std::string text = Available(master);
        printf("%zu bytes\n", text.size());
        return !text.empty() && text.size() < 3000 * line.size();
    }, [&master] {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        const char* name = ptsname(master);
        const int terminal = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        if (terminal < 0 || dup2(terminal, STDERR_FILENO) != STDERR_FILENO) return false;
        close(terminal);
        return fcntl(master, F_SETFL, O_NONBLOCK) == 0;
    });
    EXPECT_EQ(result.status, 0) << result.out;  // -1: blocked until the alarm
}

// The default folder and file, under a temporary folder of the test's.
class vdxlogPrivateFolder : public ::testing::Test {
protected:
    static std::string FolderName() { return "vdxlog-" + std::to_string(getuid()); }

    // Logs one record with TMPDIR=tmp (or to file, when given).
    static void Probe(const std::string& tmp, const std::string& file = "")
    {
        auto result = WithLog({{"VDXLOG_FILE", file.empty() ? nullptr : file.c_str()}, {"TMPDIR", tmp.c_str()}},
                              [](const LogApi& log) {
                                  umask(0);
                                  log.error("QOLT", "DCJ", "a.cpp", 1, "probe");
                                  return true;
                              });
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
    }

    static bool IsLink(const std::string& path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }

    dcjtest::TempDir victims{"dcj-victims"};
    const std::string victim = victims / "file";
    const uid_t otherUid = getuid() + 1;
};

TEST_F(vdxlogPrivateFolder, PlantedLinksAreNeverFollowed)
{
    dcjtest::WriteFile(victim, "victim\n");
    {
        SCOPED_TRACE("the folder a link (and the old file name too)");
        dcjtest::TempDir tmp;
        const std::string folder = tmp / FolderName();
        ASSERT_EQ(symlink(victims.path().c_str(), folder.c_str()), 0);
        ASSERT_EQ(symlink(victim.c_str(), (folder + ".log").c_str()), 0);
        Probe(tmp.path());
        EXPECT_TRUE(IsLink(folder));
        EXPECT_EQ(dcjtest::ListDir(tmp.path()), (std::vector<std::string>{FolderName(), FolderName() + ".log"}));
    }
    {
        SCOPED_TRACE("the file in the private folder a link");
        dcjtest::TempDir tmp;
        const std::string folder = tmp / FolderName();
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(symlink(victim.c_str(), (folder + "/vdxlog.log").c_str()), 0);
        Probe(tmp.path());
        EXPECT_TRUE(IsLink(folder + "/vdxlog.log"));
    }
    {
        SCOPED_TRACE("VDXLOG_FILE a link");
        dcjtest::TempDir tmp;
        ASSERT_EQ(symlink(victim.c_str(), (tmp / "link.log").c_str()), 0);
        Probe(tmp.path(), tmp / "link.log");
        EXPECT_TRUE(IsLink(tmp / "link.log"));
    }
    EXPECT_EQ(dcjtest::ReadFile(victim), "victim\n");
    EXPECT_EQ(dcjtest::ListDir(victims.path()), std::vector<std::string>{"file"});
}

TEST_F(vdxlogPrivateFolder, FolderOthersMayWriteToOrOwnIsRefused)
{
    const struct {
        mode_t mode;
        bool foreign;
        bool accepted;
    } cases[] = {{0777, false, false}, {0770, false, false}, {0702, false, false},
                 {0700, true, false},  {0755, false, true},  {0700, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << "mode " << c.mode << (c.foreign ? ", another owner" : ""));
        if (c.foreign && geteuid() != 0) continue;  // only root hands a folder to someone else
        dcjtest::TempDir tmp;
        const std::string folder = tmp / FolderName();
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.mode), 0);
        if (c.foreign) {
            ASSERT_EQ(chown(folder.c_str(), otherUid, static_cast<gid_t>(-1)), 0);
        }
        Probe(tmp.path());
        EXPECT_EQ(dcjtest::ListDir(tmp.path()), std::vector<std::string>{FolderName()});
        EXPECT_EQ(dcjtest::ListDir(folder), c.accepted ? std::vector<std::string>{"vdxlog.log"}
                                                      : std::vector<std::string>{});
    }
}

TEST_F(vdxlogPrivateFolder, FilesAreTheUsersAlone)
{
    dcjtest::TempDir tmp;
    const std::string mine = tmp / "mine.log";
    Probe(tmp.path(), mine);  // under umask 0
    struct stat st;
    ASSERT_EQ(lstat(mine.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    if (geteuid() != 0) return;  // only root hands a file to someone else
    const std::string theirs = tmp / "theirs.log";
    dcjtest::WriteFile(theirs, "theirs\n");
    ASSERT_EQ(chown(theirs.c_str(), otherUid, static_cast<gid_t>(-1)), 0);
    Probe(tmp.path(), theirs);
    EXPECT_EQ(dcjtest::ReadFile(theirs), "theirs\n");
}

// The host closes descriptor 2; the next socket it opens gets that number.
TEST(vdxlogStandardError, ADescriptorTakingOverNumberTwoReceivesNothing)
{
    auto body = [](const LogApi& log) {
        close(STDERR_FILENO);  // no-op when closed already
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
        const int peer = sv[0] == STDERR_FILENO ? sv[1] : sv[1] == STDERR_FILENO ? sv[0] : -1;
        if (peer < 0) return false;
        log.error("QOLT", "DCJ", "a.cpp", 1, "after the close");
        const std::string got = Available(peer);
        printf("%s", got.c_str());
        return got.empty();
    };
    {
        SCOPED_TRACE("closed after the library was loaded");
        auto result = WithLog({{"VDXLOG_FILE", "-"}}, body);
        EXPECT_EQ(result.status, 0) << result.out;
        // Standard error as it was is still written to.
        const auto lines = Lines(result.err);
        ASSERT_EQ(lines.size(), 1u) << result.err;
        Record r;
        ASSERT_TRUE(Parse(lines[0], &r)) << lines[0];
        EXPECT_EQ(r.msg, "after the close");
    }
    {
        SCOPED_TRACE("closed before");
        auto result = WithLog({{"VDXLOG_FILE", "-"}}, body, [] { return close(STDERR_FILENO) == 0; });
        EXPECT_EQ(result.status, 0) << result.out;
    }
    {
        SCOPED_TRACE("a socket there before");
        int peer = -1;
        auto result = WithLog({{"VDXLOG_FILE", "-"}}, [&peer](const LogApi& log) {
            log.error("QOLT", "DCJ", "a.cpp", 1, "with a socket as number two");
            const std::string got = Available(peer);
            printf("%s", got.c_str());
            return got.empty();
        }, [&peer] {
            int sv[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
            peer = sv[1];
            return dup2(sv[0], STDERR_FILENO) == STDERR_FILENO && close(sv[0]) == 0;
        });
        EXPECT_EQ(result.status, 0) << result.out;
    }
}

// A host closes standard error to tell whoever reads it that it is done: a
// copy of the library's, taken when records do not go there, would keep
// the reader waiting.
TEST(vdxlogStandardError, NoCopyWhenRecordsGoToAFile)
{
    dcjtest::TempDir tmp;
    const std::string file = tmp / "records.log";
    int readEnd = -1;
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [&readEnd](const LogApi& log) {
        log.info("QOLT", "DCJ", "a.cpp", 1, "to the file");
        close(STDERR_FILENO);
        char c;
        const ssize_t n = read(readEnd, &c, 1);
        printf("read %zd\n", n);
        return n == 0;  // the end, not EAGAIN
    }, [&readEnd] {
        int p[2];
        if (pipe(p) != 0 || dup2(p[1], STDERR_FILENO) != STDERR_FILENO) return false;
        close(p[1]);
        readEnd = p[0];
        return fcntl(readEnd, F_SETFL, O_NONBLOCK) == 0;
    });
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(Lines(dcjtest::ReadFile(file)).size(), 1u);
}

// Descriptors above 2 open on what probe is open on, probe excepted.
std::vector<int> DescriptorsLike(int probe)
{
    std::vector<int> found;
    struct stat want;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr || fstat(probe, &want) != 0) {
        if (dir) closedir(dir);
        return found;
    }
    while (const struct dirent* entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        struct stat st;
        if (fd > STDERR_FILENO && fd != probe && fd != dirfd(dir) && fstat(fd, &st) == 0 &&
            st.st_ino == want.st_ino && st.st_dev == want.st_dev) {
            found.push_back(fd);
        }
    }
    closedir(dir);
    return found;
}

// Puts a socket on the library's one descriptor open on what probe is; the
// other end in *peer.
bool TakeOver(int probe, int* taken, int* peer)
{
    const std::vector<int> theirs = DescriptorsLike(probe);
    int sv[2];
    if (theirs.size() != 1 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    *taken = theirs[0];
    *peer = sv[1];
    return dup2(sv[0], *taken) == *taken && close(sv[0]) == 0;
}

bool IsSocket(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

// A host closes every descriptor it did not open itself and reuses the
// numbers: what it puts there must neither receive records nor be replaced.
TEST(vdxlogStandardError, ANumberTheHostReusesIsLeftAlone)
{
    {
        SCOPED_TRACE("the log file's");
        dcjtest::TempDir tmp;
        const std::string file = tmp / "records.log";
        auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [&file](const LogApi& log) {
            log.info("QOLT", "DCJ", "a.cpp", 1, "before");
            const int probe = open(file.c_str(), O_RDONLY | O_CLOEXEC);
            int taken = -1, peer = -1;
            if (probe < 0 || !TakeOver(probe, &taken, &peer)) return false;
            // In the same second: not a record may wait for the next check.
            log.info("QOLT", "DCJ", "a.cpp", 2, "after");
            const std::string got = Available(peer);
            printf("%s", got.c_str());
            return got.empty() && IsSocket(taken);
        });
        EXPECT_EQ(result.status, 0) << result.out;
        const auto lines = Lines(dcjtest::ReadFile(file));
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[1].find(" after"), std::string::npos);
    }
    {
        SCOPED_TRACE("standard error's copy");
        int readEnd = -1;
        auto result = WithLog({{"VDXLOG_FILE", "-"}}, [&readEnd](const LogApi& log) {
            log.info("QOLT", "DCJ", "a.cpp", 1, "before");
            if (Lines(Available(readEnd)).size() != 1) return false;
            int taken = -1, peer = -1;
            if (!TakeOver(readEnd, &taken, &peer)) return false;
            log.info("QOLT", "DCJ", "a.cpp", 2, "after");
            const std::string got = Available(peer) + Available(readEnd);
            printf("%s", got.c_str());
            return got.empty() && IsSocket(taken);
        }, [&readEnd] {
            int p[2];
            if (pipe(p) != 0 || dup2(p[1], STDERR_FILENO) != STDERR_FILENO) return false;
            close(p[1]);
            readEnd = p[0];
            return fcntl(readEnd, F_SETFL, O_NONBLOCK) == 0;
        });
        EXPECT_EQ(result.status, 0) << result.out;
    }
}

// A host run with 0, 1 and 2 closed: those numbers are for the files it
// opens next, none may be the library's.
TEST(vdxlogStandardError, ClosedStandardDescriptorsStayFree)
{
    dcjtest::TempDir tmp;
    const std::string file = tmp / "records.log";
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}, {"VDXLOG_MAX_BYTES", "4096"}}, [](const LogApi& log) {
        const std::string pad(100, 'p');
        for (int i = 0; i < 100; ++i) log.info("QOLT", "DCJ", "a.cpp", i, pad.c_str());  // rotated too
        for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
            if (fcntl(fd, F_GETFD) >= 0) return false;
        }
        return true;
    }, [] { return close(0) == 0 && close(1) == 0 && close(2) == 0; });
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(dcjtest::Exists(file + ".1"));
    EXPECT_FALSE(Lines(dcjtest::ReadFile(file)).empty());
}

std::string Rotated(const std::string& file, int i)
{
    return file + "." + std::to_string(i);
}

off_t SizeOf(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class vdxlogRotation : public vdxlogRecords {
protected:
    static constexpr off_t kCap = 4096;

    // Writes records "<n> rrr..." numbered 0..count-1.
    dcjtest::ProcessResult Numbered(int count, const char* maxBytes, const char* keep)
    {
        return WithLog({{"VDXLOG_FILE", file.c_str()}, {"VDXLOG_MAX_BYTES", maxBytes}, {"VDXLOG_KEEP", keep}},
                       [count](const LogApi& log) {
                           const std::string pad(40, 'r');
                           for (int n = 0; n < count; ++n) {
                               log.info("QOLT", "DCJ", "rot.cpp", n, (std::to_string(n) + " " + pad).c_str());
                           }
                           return true;
                       });
    }

    // The highest i with file.i present; none may be missing below it.
    int LastRotated()
    {
        int last = 0;
        while (dcjtest::Exists(Rotated(file, last + 1))) ++last;
        for (int i = last + 2; i <= 12; ++i) EXPECT_FALSE(dcjtest::Exists(Rotated(file, i))) << i;
        return last;
    }
};

TEST_F(vdxlogRotation, FileIsRotatedAtTheCapKeepingTheNewest)
{
    constexpr int kRecords = 600;  // about 15 caps
    ASSERT_EQ(Numbered(kRecords, "4096", "3").status, 0);
    ASSERT_EQ(LastRotated(), 3);

    // Oldest first: what is left is the newest records, none missing, none
    // split.
    std::vector<int> numbers;
    size_t longest = 0;
    int bad = 0;
    for (int i = 3; i >= 0; --i) {
        const std::string path = i > 0 ? Rotated(file, i) : file;
        const std::string text = dcjtest::ReadFile(path);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n') << path;
        for (const std::string& line : Lines(text)) longest = std::max(longest, line.size() + 1);
        for (const Record& r : Records(text, &bad)) numbers.push_back(r.line);
    }
    EXPECT_EQ(bad, 0);
    ASSERT_FALSE(numbers.empty());
    EXPECT_GT(numbers.front(), 0);
    for (size_t i = 0; i < numbers.size(); ++i) {
        ASSERT_EQ(numbers[i], kRecords - static_cast<int>(numbers.size() - i)) << "at " << i;
    }
    // One writer: a file is rotated by the record that takes it to the cap.
    for (int i = 1; i <= 3; ++i) {
        EXPECT_GE(SizeOf(Rotated(file, i)), kCap) << i;
        EXPECT_LT(SizeOf(Rotated(file, i)), kCap + static_cast<off_t>(longest)) << i;
    }
    EXPECT_LT(SizeOf(file), kCap);
}

TEST_F(vdxlogRotation, SettingsOutOfRangeFallBackToSaneValues)
{
    const struct {
        const char* maxBytes;
        const char* keep;
        int lastRotated;  // 0: the 10 MiB default, never reached here
    } cases[] = {{"0", nullptr, 0},  {"4k", nullptr, 0}, {"-4096", nullptr, 0}, {"100", nullptr, 3},
                 {"4096", "0", 1},   {"4096", "12", 9},  {"4096", "x", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "VDXLOG_MAX_BYTES=" << c.maxBytes
                                        << " VDXLOG_KEEP=" << (c.keep ? c.keep : "(unset)"));
        dcjtest::RemoveTree(file);
        for (int i = 1; i <= 12; ++i) dcjtest::RemoveTree(Rotated(file, i));
        ASSERT_EQ(Numbered(600, c.maxBytes, c.keep).status, 0);
        EXPECT_EQ(LastRotated(), c.lastRotated);
        if (c.lastRotated > 0) {
            EXPECT_GE(SizeOf(Rotated(file, 1)), kCap);  // the floor, not 100
        }
    }
}

TEST_F(vdxlogRotation, ProcessesRotatingOneFileLoseNothing)
{
    constexpr int kProcesses = 2, kThreads = 2, kRecords = 60;  // about 6 caps in all
    const std::map<std::string, const char*> env = {
        {"VDXLOG_FILE", file.c_str()}, {"VDXLOG_MAX_BYTES", "4096"}, {"VDXLOG_KEEP", "9"}};
    auto result = dcjtest::RunInChild([&] {
        // Each process opens the file itself; all start writing together.
        int gate[2];
        if (pipe(gate) != 0) return 3;
        pid_t kids[kProcesses];
        for (int p = 0; p < kProcesses; ++p) {
            kids[p] = fork();
            if (kids[p] < 0) return 3;
            if (kids[p] > 0) continue;
            alarm(20);
            close(gate[1]);
            LogApi log;
            if (!LoadLog(&log, env)) _exit(2);
            char c;
            while (read(gate[0], &c, 1) < 0 && errno == EINTR) {
            }
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&log, p, t] {
                    const std::string kind = "P" + std::to_string(p) + "T" + std::to_string(t);
                    const std::string pad(50, 'a' + t);
                    for (int n = 0; n < kRecords; ++n) {
                        log.info("QOLT", kind.c_str(), "shared.cpp", n, (std::to_string(n) + " " + pad).c_str());
                    }
                });
            }
            for (auto& th : threads) th.join();
            _exit(0);
        }
        close(gate[0]);
        close(gate[1]);
        bool ok = true;
        for (pid_t kid : kids) {
            const std::string how = Reap(kid);
            printf("%s\n", how.c_str());
            ok = ok && how == "exit 0";
        }
        return ok ? 0 : 1;
    });
    ASSERT_EQ(result.status, 0) << result.out;

    const int last = LastRotated();
    EXPECT_GE(last, 3);
    std::map<std::string, std::vector<int>> seen;
    int bad = 0;
    for (int i = last; i >= 0; --i) {
        const std::string path = i > 0 ? Rotated(file, i) : file;
        const std::string text = dcjtest::ReadFile(path);
        if (!text.empty()) {
            EXPECT_EQ(text.back(), '\n') << path;
        }
        for (const Record& r : Records(text, &bad)) {
            std::vector<int>& counts = seen[r.kind];
            counts.resize(kRecords);
            if (r.line >= 0 && r.line < kRecords && r.msg.compare(0, std::to_string(r.line).size() + 1,
                                                                  std::to_string(r.line) + " ") == 0) {
                ++counts[static_cast<size_t>(r.line)];
            } else {
                ++bad;
            }
        }
        // Never rotated early. (Late, yes: while the process that took the
        // lock is preempted, the other one keeps appending.)
        if (i > 0) {
            EXPECT_GE(SizeOf(path), kCap) << path;
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kThreads));
    for (const auto& kv : seen) {
        EXPECT_EQ(kv.second, std::vector<int>(kRecords, 1)) << kv.first << ": each record exactly once";
    }
}

TEST_F(vdxlogRecords, RecordsCarryProcessAndThreadIds)
{
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [](const LogApi& log) {
        log.info("QOLT", "DCJ", "ids.cpp", 1, "main");
        long tid = 0;
        std::thread other([&] {
            tid = ThreadId();
            log.info("QOLT", "DCJ", "ids.cpp", 2, "thread");
        });
        other.join();
        const pid_t child = fork();
        if (child == 0) {
            alarm(5);
            log.info("QOLT", "DCJ", "ids.cpp", 3, "forked");
            _exit(0);
        }
        if (child < 0 || Reap(child) != "exit 0") return false;
        // No fork handler runs in a child made by clone() itself.
        const pid_t cloned = static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr));
        if (cloned == 0) {
            alarm(5);
            log.info("QOLT", "DCJ", "ids.cpp", 4, "cloned");
            _exit(0);
        }
        if (cloned < 0 || Reap(cloned) != "exit 0") return false;
        printf("%ld %ld %ld %ld\n", static_cast<long>(getpid()), tid, static_cast<long>(child),
               static_cast<long>(cloned));
        return true;
    });
    ASSERT_EQ(result.status, 0);
    long pid = 0, tid = 0, child = 0, cloned = 0;
    ASSERT_EQ(sscanf(result.out.c_str(), "%ld %ld %ld %ld", &pid, &tid, &child, &cloned), 4) << result.out;
    ASSERT_NE(tid, pid);
    int bad = 0;
    const auto records = Records(dcjtest::ReadFile(file), &bad);
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(records.size(), 4u);
    const long want[][2] = {{pid, pid}, {pid, tid}, {child, child}, {cloned, cloned}};
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].line, static_cast<int>(i + 1));
        EXPECT_EQ(records[i].pid, want[i][0]) << records[i].msg;
        EXPECT_EQ(records[i].tid, want[i][1]) << records[i].msg;
    }
}

// A host forks while its other threads are inside the library, holding its
// locks: the child must find them free, and none of the parent's held
// records in its own hands.
// Every record says in its text which ids it must carry, asked of the
// kernel when it was written: ids the library keeps between records must be
// new in every child, however it was made (no fork handler runs in a child
// of _Fork or of a bare clone), in threads the child starts, and stay right
// in the parent after its children logged.
TEST_F(vdxlogRecords, KeptIdsAreNewInEveryChild)
{
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [](const LogApi& log) {
        auto record = [&log](int line) {
            const std::string ids = std::to_string(getpid()) + " " + std::to_string(ThreadId());
            log.info("QOLT", "DCJ", "ids.cpp", line, ids.c_str());
        };
        auto inThread = [&record](int line) {
            std::thread t([&] { record(line); });
            t.join();
        };
        record(1);
        record(2);
        inThread(3);
        const pid_t child = _Fork();
        if (child == 0) {
            record(4);
            inThread(5);
            const pid_t grandchild = static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr));
            if (grandchild == 0) {
                record(6);
                _exit(0);
            }
            _exit(grandchild > 0 && Reap(grandchild) == "exit 0" ? 0 : 1);
        }
        if (child < 0 || Reap(child) != "exit 0") return false;
        record(7);
        inThread(8);
        return true;
    });
    ASSERT_EQ(result.status, 0);
    int bad = 0;
    const auto records = Records(dcjtest::ReadFile(file), &bad);
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(records.size(), 8u);
    std::vector<long> pids;
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].line, static_cast<int>(i + 1));
        EXPECT_EQ(records[i].msg, std::to_string(records[i].pid) + " " + std::to_string(records[i].tid))
            << "record " << i + 1;
        pids.push_back(records[i].pid);
    }
    // Parent, child, grandchild, parent.
    EXPECT_NE(pids[3], pids[0]);
    EXPECT_NE(pids[5], pids[3]);
    EXPECT_EQ(pids[6], pids[0]);
}

TEST_F(vdxlogRecords, ChildForkedWhileOtherThreadsLogDoesNotDeadlock)
{
    constexpr int kForks = 40;
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}, {"VDXLOG_MAX_BYTES", "1000000000"}}, [](const LogApi& log) {
        std::atomic<bool> stop{false};
        std::atomic<int> started{0};
        // Between them the two keep the library's locks taken nearly all
        // the time: without handlers almost every child would hang.
        std::thread holder([&] {
            started.fetch_add(1);
            while (!stop.load()) {
                log.hold(1);
                log.hold(0);
            }
        });
        std::thread writer([&] {
            started.fetch_add(1);
            for (int n = 0; !stop.load(); ++n) {
                log.hold(1);
                log.info("QOLT", "BUSY", "busy.cpp", n, "held in the parent");
                log.hold(0);
            }
        });
        while (started.load() < 2) std::this_thread::yield();
        int failed = 0;
        for (int i = 0; i < kForks; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                alarm(5);  // a child stuck on a lock ends here
                log.hold(1);
                log.info("QOLT", "CHILD", "fork.cpp", i, "held");
                log.hold(0);
                log.info("QOLT", "CHILD", "fork.cpp", i, "direct");
                _exit(0);
            }
            const std::string how = pid < 0 ? "no fork" : Reap(pid);
            if (how != "exit 0") {
                printf("child %d: %s\n", i, how.c_str());
                ++failed;
            }
        }
        stop.store(true);
        holder.join();
        writer.join();
        printf("parent %ld\n", static_cast<long>(getpid()));
        return failed == 0;
    });
    ASSERT_EQ(result.status, 0) << result.out;
    long parent = 0;
    ASSERT_EQ(sscanf(result.out.c_str(), "parent %ld", &parent), 1) << result.out;

    int bad = 0;
    std::map<std::string, int> child;
    std::map<int, int> busy;
    for (const Record& r : Records(dcjtest::ReadFile(file), &bad)) {
        if (r.kind == "CHILD") {
            EXPECT_NE(r.pid, parent);
            ++child[std::to_string(r.line) + " " + r.msg];
        } else {
            ++busy[r.line];
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(child.size(), static_cast<size_t>(2 * kForks));
    for (const auto& kv : child) EXPECT_EQ(kv.second, 1) << kv.first;
    int doubled = 0;
    for (const auto& kv : busy) doubled += kv.second > 1;
    EXPECT_EQ(doubled, 0) << "a child wrote records the parent held";
}

}  // namespace
