// libvdxlog.so as the driver uses it: loaded with dlopen in a child process
// (it reads its environment once per process), records checked in the file.
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
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
// 0 when body returns true, 2 when the library did not load.
dcjtest::ProcessResult WithLog(const std::map<std::string, const char*>& env,
                               const std::function<bool(const LogApi&)>& body)
{
    return dcjtest::RunInChild([&] {
        LogApi api;
        if (!LoadLog(&api, env)) return 2;
        return body(api) ? 0 : 1;
    }, 120);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// "2026-12-07 09:05:07.123 INFO  QOLT DCJ Basic/TCPClient.cpp:88 text"
struct Record {
    std::string stamp;  // without the milliseconds
    std::string level;
    std::string brand, kind, file;
    int line = 0;
    std::string msg;
};

bool Parse(const std::string& text, Record* r)
{
    static const char kShape[] = "dddd-dd-dd dd:dd:dd.ddd ";
    const size_t shapeLen = sizeof(kShape) - 1;
    if (text.size() < shapeLen + 6) return false;
    for (size_t i = 0; i < shapeLen; ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
    }
    r->stamp = text.substr(0, 19);
    r->level = text.substr(shapeLen, 5);
    if (r->level != "INFO " && r->level != "WARN " && r->level != "ERROR") return false;
    if (text[shapeLen + 5] != ' ') return false;
    std::string rest = text.substr(shapeLen + 6);
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

TEST_F(vdxlogRecords, DefaultFileIsInTheTemporaryFolder)
{
    auto result = WithLog({{"VDXLOG_FILE", nullptr}, {"TMPDIR", dir.path().c_str()}}, [](const LogApi& log) {
        log.info("QOLT", "DCJ", "a.cpp", 1, "to the default file");
        return true;
    });
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const std::string expected = dir / ("vdxlog-" + std::to_string(getuid()) + ".log");
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
    auto result = WithLog({{"VDXLOG_FILE", file.c_str()}}, [&body](const LogApi& log) {
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

}  // namespace
