// A host that exports objects with the driver's names (built with
// -rdynamic): loading and using the driver leaves the host's objects alone,
// and the driver keeps working with its own.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

// Names a host may well use for itself.
char device[64] = "host device";
long Info = 1234;
long Error = 5678;
int mutex = 42;

namespace {

TEST(Interposition, HostObjectsWithTheDriversNamesAreNotTouched)
{
    dcjsim::Simulator sim;
    ASSERT_TRUE(sim.Start());
    dcjtest::DriverLib lib;
    ASSERT_TRUE(lib.ok());
    const std::string reply = lib.DoCommand(dcjtest::MakeRequest("getRMBCount", "127.0.0.1", sim.Port(), {}));
    EXPECT_EQ(dcjtest::ReplyField(reply, "retComArgs", "retCode"), "ECPWS0000000") << reply;
    EXPECT_STREQ(device, "host device");
    EXPECT_EQ(Info, 1234);
    EXPECT_EQ(Error, 5678);
    EXPECT_EQ(mutex, 42);
}

}  // namespace
