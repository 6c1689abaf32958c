// The installed layout: bin/ beside lib/, so the programs find the driver
// and the driver finds its log library, wherever the tree is put.
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

TEST(InstallTree, ProgramsRunFromATemporaryPrefix)
{
    dcjtest::TempDir prefix("dcj-install");
    auto install = dcjtest::RunProcess({DCJ_CMAKE_COMMAND, "--install", DCJ_BUILD_DIR, "--prefix", prefix.path()});
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    for (const char* file : {"bin/drvprobe", "bin/dcjctl", "bin/dcjsim", "lib/MERV_DCJ_QOLT.so", "lib/libvdxlog.so",
                             "include/MERV_DCJ_QOLT.h"}) {
        EXPECT_TRUE(dcjtest::Exists(prefix / file)) << file;
    }

    dcjsim::Simulator sim;
    ASSERT_TRUE(sim.Start());
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(2, 1, 100); });
    const std::string port = std::to_string(sim.Port());
    const std::map<std::string, std::string> env = {{"VDXLOG_FILE", prefix / "driver.log"}, {"DCJCTL_DRIVER", ""}};

    // drvprobe from bin/: ../lib holds the driver, ../qolt receives the files.
    std::map<std::string, std::string> probeEnv = env;
    probeEnv["DRVPROBE_PORT"] = port;
    auto probe = dcjtest::RunProcess({"./drvprobe"}, prefix / "bin", probeEnv);
    EXPECT_EQ(probe.status, 0) << probe.err;
    EXPECT_EQ(probe.out, "LoadLib dlopen sucessLoadLib DoCommand is not NULLLoadLib MERV_DCJ_QOLT.so sucess\n");
    EXPECT_EQ(dcjtest::ListDir(prefix / "qolt/upload").size(), 2u);

    // dcjctl finds the driver through its own location, from any folder.
    auto counts = dcjtest::RunProcess({prefix / "bin/dcjctl", "--port", port, "--json", "counts"}, "/", env);
    EXPECT_EQ(counts.status, 0) << counts.err;
    EXPECT_EQ(dcjtest::ReplyField(counts.out, "retBizArgs", "realCash"), "100:10,50:2") << counts.out;

    // The driver logged through the library installed beside it.
    EXPECT_NE(dcjtest::ReadFile(prefix / "driver.log").find(">>getRMBCount"), std::string::npos);
}

}  // namespace
