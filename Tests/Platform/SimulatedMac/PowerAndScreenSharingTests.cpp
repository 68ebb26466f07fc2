// The simulated machine's power assertions and its Screen Sharing service:
// the launchd job answered by a real child process, the service's own
// display and its VNC port on the loopback interface.

#include <gtest/gtest.h>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Network/Network.h"
#include "Platform/SimulatedMac/PowerManagement.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/SimulatedMac/ScreenSharingService.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

SimulatedPowerManagement& power() { return SimulatedMachine::current().component<SimulatedPowerManagement>(); }
SimulatedScreenSharingService& screenSharing() {
    return SimulatedMachine::current().component<SimulatedScreenSharingService>();
}

}  // namespace

using PowerAssertions = VirtualTimeTest;

TEST_F(PowerAssertions, HeldSetFollowsCreateAndReleaseAndRefusalsHoldNothing) {
    IOPMAssertionID idle = 0, system = 0;
    ASSERT_EQ(
        IOPMAssertionCreateWithName(kIOPMAssertionTypePreventUserIdleSystemSleep, kIOPMAssertionLevelOn, "a", idle),
        kIOReturnSuccess);
    ASSERT_EQ(IOPMAssertionCreateWithName(kIOPMAssertionTypePreventSystemSleep, kIOPMAssertionLevelOn, "b", system),
              kIOReturnSuccess);
    EXPECT_NE(idle, 0u);
    EXPECT_NE(idle, system);
    EXPECT_EQ(power().heldAssertions(),
              (std::map<IOPMAssertionID, PowerAssertion>{{idle, {"PreventUserIdleSystemSleep", 255, "a"}},
                                                         {system, {"PreventSystemSleep", 255, "b"}}}));
    EXPECT_EQ(IOPMAssertionRelease(idle), kIOReturnSuccess);
    EXPECT_EQ(IOPMAssertionRelease(idle), kIOReturnError);
    EXPECT_EQ(power().heldAssertions().size(), 1u);

    power().setAssertionCreationError(kIOReturnError);
    IOPMAssertionID refused = 0;
    EXPECT_EQ(IOPMAssertionCreateWithName(kIOPMAssertionTypePreventSystemSleep, kIOPMAssertionLevelOn, "c", refused),
              kIOReturnError);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(power().heldAssertions().size(), 1u);
}

using ScreenSharingService = VirtualTimeTest;

TEST_F(ScreenSharingService, LaunchctlReportsTheJobStateThroughARealChildProcess) {
    using S = SimulatedScreenSharingService::JobState;
    // No launchctl until the service is set up: the run cannot start.
    EXPECT_FALSE(ProcessRunner::runCapturingOutput("/bin/launchctl", {"print", "system/com.apple.screensharing"}).ok());
    const struct {
        S state;
        int status;
        const char* stateLine;  // nullptr: none printed
    } cases[] = {{S::notLoaded, 113, nullptr}, {S::notRunning, 0, "\tstate = not running\n"},
                 {S::running, 0, "\tstate = running\n"}};
    for (const auto& c : cases) {
        screenSharing().setJobState(c.state);
        auto run = ProcessRunner::runCapturingOutput("/bin/launchctl", {"print", "system/com.apple.screensharing"});
        ASSERT_TRUE(run.ok());
        EXPECT_EQ(run->termination.status, c.status);
        const auto& out = run->standardOutput;
        EXPECT_EQ(out.find("state = ") != std::string::npos, c.stateLine != nullptr) << out;
        if (c.stateLine) {
            EXPECT_NE(out.find(c.stateLine), std::string::npos) << out;
        }
    }
    // Another job is not this one.
    auto other = ProcessRunner::runCapturingOutput("/bin/launchctl", {"print", "system/com.apple.other"});
    EXPECT_EQ(other->termination.status, 64);
}

TEST_F(ScreenSharingService, SessionDisplayIsASoftwareDisplayThatComesAndGoes) {
    auto& displays = SimulatedMachine::current().component<SimulatedDisplaySystem>();
    const auto before = displays.displayIDs();
    EXPECT_EQ(screenSharing().beginSession(40, 1920, 1080), 40u);
    auto display = displays.display(40);
    ASSERT_TRUE(display);
    EXPECT_EQ(CGDisplayVendorNumber(40), kUnknownDisplayVendor);
    EXPECT_EQ(CGDisplayModelNumber(40), kVirtualDisplayModel);
    EXPECT_EQ(display->bounds.width, 1920);
    EXPECT_GE(display->bounds.x, CGDisplayBounds(before.front()).width);  // beside, not over, the others
    screenSharing().endSession();
    EXPECT_EQ(displays.displayIDs(), before);
    EXPECT_FALSE(screenSharing().sessionDisplayID());
}

TEST_F(ScreenSharingService, VncPortAcceptsRealLoopbackConnectionsOnlyWhileListening) {
    auto port = screenSharing().listen(0);
    ASSERT_TRUE(port.ok()) << port.error();
    DispatchQueue queue("test.vnc.probe");
    auto probe = [&](uint16_t p) {
        auto connection = TcpConnection::connect("127.0.0.1", p);
        auto state = std::make_shared<std::atomic<int>>(-1);
        connection->stateUpdateHandler = [state](ConnectionState s, const std::string&) {
            if (s == ConnectionState::ready || s == ConnectionState::failed) *state = static_cast<int>(s);
        };
        connection->start(queue);
        EXPECT_TRUE(runUntil([&] { return *state >= 0; }));
        connection->cancel();
        return static_cast<ConnectionState>(state->load());
    };
    EXPECT_EQ(probe(*port), ConnectionState::ready);
    screenSharing().stopListening();
    EXPECT_EQ(probe(*port), ConnectionState::failed);
}
