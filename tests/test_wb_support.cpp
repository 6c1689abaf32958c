// The support classes: the scope lock over the device mutex, and where the
// driver finds itself (and so its log library) when a host loads it.
#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Basic/Locker.h"
#include "Basic/cpath.h"
#include "LoadLogDll.h"
#include "MERV_QOLT_DCJ.h"
#include "TestSupport.h"

namespace {

// ------------------------------------------------------------- load child
//
// The path cases need a fresh process with their own LD_LIBRARY_PATH and
// working folder, so the test runs this program again with
// DCJ_LOADCHILD_PATH set. This runs before any static object of the program
// (the driver objects linked in here included) and never reaches the tests.

const char kUnknownRequest[] =
    R"({"commonArgs":{"devKind":"DCJ","devBrand":"QOLT","funcName":"noSuchFunction"},"connectArgs":{},"bizArgs":{}})";

__attribute__((constructor(101))) void LoadChildMain()
{
    const char* path = getenv("DCJ_LOADCHILD_PATH");
    if (path == nullptr) return;
    // Optional: another copy of the driver loaded first into the global scope.
    const char* first = getenv("DCJ_LOADCHILD_FIRST");
    if (first && dlopen(first, RTLD_NOW | RTLD_GLOBAL) == nullptr) {
        fprintf(stderr, "first: %s\n", dlerror());
        _exit(3);
    }
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        _exit(3);
    }
    auto testFuncAddr = reinterpret_cast<int (*)()>(dlsym(lib, "TestFuncAddr"));
    auto doCommand = reinterpret_cast<void (*)(int, int, char*, int, char*)>(dlsym(lib, "doCommand"));
    if (testFuncAddr == nullptr || doCommand == nullptr) _exit(4);
    char in[sizeof(kUnknownRequest)];
    memcpy(in, kUnknownRequest, sizeof(in));
    char out[256] = {0};
    doCommand(0, static_cast<int>(strlen(in)), in, sizeof(out) - 1, out);
    printf("TestFuncAddr=%d\nreply=[%s]\n", testFuncAddr(), out);
    fflush(stdout);
    _exit(0);
}

// ------------------------------------------------------------------ locker

// Whether another thread could take the mutex right now.
bool FreeForOthers(MMutex* m)
{
    bool free = false;
    std::thread([m, &free] {
        if (pthread_mutex_trylock(m) == 0) {
            free = true;
            pthread_mutex_unlock(m);
        }
    }).join();
    return free;
}

class supportLocker : public ::testing::Test {
protected:
    void TearDown() override { CLocker::DestroyLock(&m); }
    MMutex m;
};

TEST_F(supportLocker, SecondLockerWaitsUntilTheFirstIsGone)
{
    CLocker::InitLock(&m);
    std::atomic<bool> trying{false}, acquired{false};
    std::vector<std::string> order;  // written only under the lock

    std::thread second;
    {
        CLocker first(&m);
        EXPECT_FALSE(FreeForOthers(&m));
        second = std::thread([&] {
            trying = true;
            CLocker mine(&m);
            acquired = true;
            order.push_back("second");
        });
        while (!trying) std::this_thread::yield();
        // However long the second thread has had, it cannot be inside.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(acquired.load());
        order.push_back("first");
    }
    second.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(FreeForOthers(&m));
}

TEST_F(supportLocker, UnlockReleasesOnceAndOnlyOnce)
{
    CLocker::InitLock(&m, true);
    // The test itself holds the mutex once: a locker that released more
    // than it took would free the mutex for others.
    ASSERT_EQ(pthread_mutex_lock(&m), 0);
    {
        CLocker locker(&m);
        EXPECT_TRUE(locker.IsLocked());
        locker.Unlock();
        EXPECT_FALSE(locker.IsLocked());
        locker.Unlock();
        EXPECT_FALSE(FreeForOthers(&m));
        EXPECT_EQ(locker.Lock(), 0);
        EXPECT_TRUE(locker.IsLocked());
        EXPECT_EQ(locker.Lock(), 0);  // already held by this locker: no second hold
    }
    EXPECT_FALSE(FreeForOthers(&m));
    pthread_mutex_unlock(&m);
    EXPECT_TRUE(FreeForOthers(&m));
}

TEST_F(supportLocker, RecursiveLockNestsInOneThread)
{
    // In a child: a lock that does not nest would hang, and the child is
    // killed at its time-out instead of the whole test program.
    auto result = dcjtest::RunInChild([this] {
        CLocker::InitLock(&m, true);
        {
            CLocker outer(&m);
            CLocker inner(&m);
            if (FreeForOthers(&m)) return 2;
        }
        return FreeForOthers(&m) ? 0 : 3;
    }, 20);
    EXPECT_EQ(result.status, 0);

    CLocker::InitLock(&m);  // the default does not nest
    CLocker once(&m);
    EXPECT_NE(pthread_mutex_trylock(&m), 0);
}

TEST_F(supportLocker, DeviceMutexNestsAfterLoad)
{
    // The device functions hold it while the facade method takes it again.
    ASSERT_EQ(pthread_mutex_trylock(&mutex), 0);
    EXPECT_EQ(pthread_mutex_trylock(&mutex), 0);
    pthread_mutex_unlock(&mutex);
    pthread_mutex_unlock(&mutex);
    EXPECT_TRUE(FreeForOthers(&mutex));
}

// -------------------------------------------------------------------- path

TEST(supportPath, NamesTheFolderOfTheObjectItIsLinkedInto)
{
    // Linked into this program, the driver code names the program's folder.
    char dir[256];
    memset(dir, 0, sizeof(dir));
    CPath().GetCurrentDir(dir);
    const std::string found(dir, strnlen(dir, sizeof(dir)));
    ASSERT_LT(found.size(), sizeof(dir));
    if (found.empty()) GTEST_SKIP() << "started by a bare name";
    EXPECT_NE(found.back(), '/');

    char real[PATH_MAX], self[PATH_MAX];
    ASSERT_NE(realpath(found.c_str(), real), nullptr) << found;
    ASSERT_NE(realpath("/proc/self/exe", self), nullptr);
    std::string selfDir(self);
    selfDir.resize(selfDir.rfind('/'));
    EXPECT_EQ(std::string(real), selfDir);
    EXPECT_EQ(TestFuncAddr(), -1);
}

void CopyFile(const std::string& from, const std::string& to)
{
    dcjtest::WriteFile(to, dcjtest::ReadFile(from));
}

struct LoadCase {
    const char* name;
    const char* cwd;       // below the temporary root
    const char* dlopened;  // what the host passes to dlopen; {root} expands
    const char* libraryPath;
    bool logBeside;        // libvdxlog.so sits beside the loaded copy
};

void PrintTo(const LoadCase& c, std::ostream* os)
{
    *os << c.dlopened;
}

std::string Expand(std::string text, const std::string& root)
{
    const std::string key = "{root}";
    for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), root);
    return text;
}

class supportLoad : public ::testing::Test {
protected:
    // root/app/lib: driver and log library; root/app/bin: a host's folder;
    // root/bare: the driver alone.
    void SetUp() override
    {
        for (const char* dir : {"app", "app/lib", "app/bin", "bare"}) {
            ASSERT_EQ(mkdir((root / dir).c_str(), 0755), 0) << dir;
        }
        CopyFile(DCJ_DRIVER_SO, root / "app/lib/MERV_DCJ_QOLT.so");
        CopyFile(DCJ_VDXLOG_SO, root / "app/lib/libvdxlog.so");
        CopyFile(DCJ_DRIVER_SO, root / "bare/MERV_DCJ_QOLT.so");
    }

    dcjtest::ProcessResult Load(const std::string& cwd, const std::string& path,
                                std::map<std::string, std::string> env)
    {
        env["DCJ_LOADCHILD_PATH"] = path;
        env["VDXLOG_FILE"] = logFile;
        return dcjtest::RunProcess({"/proc/self/exe"}, cwd, env, 60);
    }

    dcjtest::TempDir root{"dcj-load"};
    const std::string logFile = root / "records.log";
};

class supportLoadPath : public supportLoad, public ::testing::WithParamInterface<LoadCase> {};

const char kAnswered[] = "TestFuncAddr=-1\nreply=[ ]\n";
const char kNoLogLibrary[] = "error open so\n";

TEST_P(supportLoadPath, FindsTheLogLibraryBesideItself)
{
    const LoadCase& c = GetParam();
    std::map<std::string, std::string> env;
    if (c.libraryPath) env["LD_LIBRARY_PATH"] = Expand(c.libraryPath, root.path());
    auto result = Load(root / c.cwd, Expand(c.dlopened, root.path()), env);

    ASSERT_EQ(result.status, 0) << result.err;
    const std::string records = dcjtest::ReadFile(logFile);
    if (c.logBeside) {
        EXPECT_EQ(result.out, kAnswered);
        EXPECT_NE(records.find(">>doCommand funcName:noSuchFunction"), std::string::npos) << records;
    } else {
        // Said once, at load, and the driver keeps answering.
        EXPECT_EQ(result.out, std::string(kNoLogLibrary) + kAnswered);
        EXPECT_FALSE(dcjtest::Exists(logFile));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, supportLoadPath,
    ::testing::Values(LoadCase{"Absolute", "app/bin", "{root}/app/lib/MERV_DCJ_QOLT.so", nullptr, true},
                      LoadCase{"Relative", "app/bin", "../lib/MERV_DCJ_QOLT.so", nullptr, true},
                      LoadCase{"DotSlash", "app/lib", "./MERV_DCJ_QOLT.so", nullptr, true},
                      // A bare name is searched for; the loader names the
                      // object by the folder it was found in.
                      LoadCase{"BareOnLibraryPath", "app/bin", "MERV_DCJ_QOLT.so", "{root}/app/lib", true},
                      LoadCase{"BareOnRelativeLibraryPath", "app", "MERV_DCJ_QOLT.so", "lib", true},
                      LoadCase{"AbsoluteAlone", "app/bin", "{root}/bare/MERV_DCJ_QOLT.so", nullptr, false},
                      LoadCase{"RelativeAlone", "app/bin", "../../bare/MERV_DCJ_QOLT.so", nullptr, false},
                      LoadCase{"BareAlone", "app/bin", "MERV_DCJ_QOLT.so", "{root}/bare", false}),
    [](const ::testing::TestParamInfo<LoadCase>& which) { return std::string(which.param.name); });

TEST_F(supportLoad, FindsItselfWhenAnotherCopyIsGlobal)
{
    // Another driver of the family, loaded first into the global scope,
    // exports the same names; the second copy must still look beside itself.
    std::map<std::string, std::string> env = {{"DCJ_LOADCHILD_FIRST", root / "bare/MERV_DCJ_QOLT.so"}};
    auto result = Load(root.path(), root / "app/lib/MERV_DCJ_QOLT.so", env);

    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::string(kNoLogLibrary) + kAnswered);  // the first copy's, only
    EXPECT_NE(dcjtest::ReadFile(logFile).find(">>doCommand funcName:noSuchFunction"), std::string::npos);
}


// ------------------------------------------------------------- log text

std::string g_logged;
void Capture(const char*, const char*, const char*, int, const char* msg)
{
    g_logged = msg;
}

// The driver's formatted records read as vsnprintf writes them, cut at the
// same length, whichever way they are made.
TEST(supportLogText, FormattedRecordsReadAsPrintfWritesThem)
{
    const std::string longText(300, 'x');
    const char* const texts[] = {"", "abc", "getDevStatus", nullptr, longText.c_str()};
    const int numbers[] = {0, 7, -1, 2147483647, -2147483647 - 1};
    char want[256];
    for (const char* text : texts) {
        for (int number : numbers) {
            const unsigned count = static_cast<unsigned>(number);
            LogFormatted(Capture, "f.cpp", 1, ">>a:%s,b:%d,c:%u.", text, number, count);
            snprintf(want, sizeof(want), ">>a:%s,b:%d,c:%u.", text ? text : "(null)", number, count);
            EXPECT_EQ(g_logged, want) << number;
            LogFormatted(Capture, "f.cpp", 1, "%d%s", number, text);
            snprintf(want, sizeof(want), "%d%s", number, text ? text : "(null)");
            EXPECT_EQ(g_logged, want) << number;
            LogFormatted(Capture, "f.cpp", 1, "cmd:0x%04X,fd:%x,%s", count, count, text);
            snprintf(want, sizeof(want), "cmd:0x%04X,fd:%x,%s", count, count, text ? text : "(null)");
            EXPECT_EQ(g_logged, want) << number;
        }
    }
    for (unsigned code : {0x0u, 0xau, 0xa7u, 0xfffu, 0x1000u, 0xabcdu, 0x12345u}) {
        LogFormatted(Capture, "f.cpp", 1, "%04X|%x", code, code);
        snprintf(want, sizeof(want), "%04X|%x", code, code);
        EXPECT_EQ(g_logged, want) << code;
    }
    // Other conversions keep printf's own meaning.
    LogFormatted(Capture, "f.cpp", 1, "cmd:0x%04X,%%,%x,%5d", 0xa7u, 255u, 42);
    EXPECT_EQ(g_logged, "cmd:0x00A7,%,ff,   42");
    LogFormatted(Capture, "f.cpp", 1, "%04x,%4X,%zu", 0xa7u, 0xa7u, static_cast<size_t>(7));
    EXPECT_EQ(g_logged, "00a7,  A7,7");
    LogFormatted(Capture, "f.cpp", 1, "%s", (longText + longText).c_str());
    EXPECT_EQ(g_logged, std::string(255, 'x'));
}
}  // namespace
