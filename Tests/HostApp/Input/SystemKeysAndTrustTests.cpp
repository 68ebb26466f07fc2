// System-defined keys, key combinations, the Accessibility gate and the
// wake of a locked Host.

#include "InputTestSupport.h"

#include "Platform/PowerManagement.h"
#include "Platform/ProcessInfo.h"

using namespace platform;

namespace {

using SystemKeys = InputTest;

TEST_F(SystemKeys, KeyDownNowAndKeyUpFortyMillisecondsLater) {
    const uint64_t start = Clock::uptimeNs();
    systemKey(7);
    ASSERT_EQ(events().size(), 1u);
    advance(0.039);
    EXPECT_EQ(events().size(), 1u);
    advance(0.001);
    auto posted = events();
    ASSERT_EQ(posted.size(), 2u);
    const int64_t data1[] = {0x70A00, 0x70B00};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(posted[i].type, CGEventType::systemDefined);
        EXPECT_EQ(posted[i].subtype, 8);
        EXPECT_EQ(posted[i].flags, 0xA00u);
        EXPECT_EQ(posted[i].data1, data1[i]);
        EXPECT_EQ(posted[i].data2, -1);
    }
    EXPECT_EQ(posted[1].uptimeNs - start, 40'000'000u);
}

TEST_F(SystemKeys, HighKeyTypesDoNotOverflow) {
    systemKey(0x8000);
    systemKey(0xFFFF);
    EXPECT_EQ(events()[0].data1, 0x80000A00);
    EXPECT_EQ(events()[1].data1, 0xFFFF0A00);
}

TEST_F(SystemKeys, FailedCreationPostsNothingAndIsReported) {
    for (int successesFirst : {0, 1}) {  // the key-down, then the key-up cannot be made
        tap().failCreation(SimulatedEventKind::systemDefined, successesFirst);
        systemKey(7);
        advance(0.1);
        EXPECT_TRUE(events().empty());
    }
    EXPECT_EQ(log->count("host system key failed type=7"), 2u);
}

TEST_F(SystemKeys, MenuKeyIsOnlyLoggedEvenUntrusted) {
    setTrusted(false);
    systemKey(25);
    onQueue([&] { server->viewerSessionNames[viewer] = "Mac Viewer"; });
    systemKey(25);
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(logContains("remote input: ignored system-defined MENU key from Viewer"));
    EXPECT_TRUE(logContains("remote input: ignored system-defined MENU key from Mac Viewer"));
    EXPECT_EQ(prompts(), 0);
}

TEST_F(SystemKeys, LaunchpadKeyFallsBackToTheSystemKey) {
    systemKey(13);
    ASSERT_EQ(events().size(), 1u);
    EXPECT_EQ(events()[0].data1, (13 << 16) | 0x0A00);
    EXPECT_TRUE(logContains("host shortcut: Launchpad system key"));
    setTrusted(false);
    systemKey(13);
    EXPECT_TRUE(logContains("host shortcut: Launchpad trigger failed on " +
                            ProcessInfo::operatingSystemVersionString()));
}

// --- Key combinations -------------------------------------------------------------------

TEST_F(SystemKeys, ComboSequencesWrapTheKeyInItsModifiers) {
    const struct {
        uint16_t key;
        uint64_t flags;
        std::vector<KeyComboEvent> events;
    } cases[] = {
        {24, 0x120000,
         {{56, true, 0x20000}, {55, true, 0x120000}, {24, true, 0x120000}, {24, false, 0x120000},
          {55, false, 0x120000}, {56, false, 0x20000}}},
        {5, 0, {{5, true, 0}, {5, false, 0}}},
        {5, 0x40001, {{59, true, 0x40000}, {5, true, 0x40001}, {5, false, 0x40001}, {59, false, 0x40000}}},
        {1, 0x1E0000,
         {{59, true, 0x40000}, {58, true, 0xC0000}, {56, true, 0xE0000}, {55, true, 0x1E0000}, {1, true, 0x1E0000},
          {1, false, 0x1E0000}, {55, false, 0x1E0000}, {56, false, 0xE0000}, {58, false, 0xC0000},
          {59, false, 0x40000}}},
    };
    for (const auto& c : cases) EXPECT_EQ(V230HostAudioAuxServer::keyComboEvents(c.key, c.flags), c.events) << c.flags;
}

TEST_F(SystemKeys, PacedComboStepsAreThirtyFiveMillisecondsApart) {
    const uint64_t start = Clock::uptimeNs();
    onQueue([&] { server->postDelayedKeyCombo(49, 0x40000); });
    advance(0.2);
    auto posted = tap().keyboardEvents();
    ASSERT_EQ(posted.size(), 4u);
    const uint16_t codes[] = {59, 49, 49, 59};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(posted[i].keyCode, codes[i]);
        EXPECT_EQ(posted[i].uptimeNs - start, i * 35'000'000u);
        EXPECT_EQ(posted[i].flags, 0x40000u);
    }
    // Steps still pending when the server goes away are dropped.
    onQueue([&] { server->postDelayedKeyCombo(49, 0); });
    server.reset();
    advance(0.2);
    EXPECT_EQ(tap().keyboardEvents().size(), 4u);
}

// --- Trust and lock -------------------------------------------------------------------------

using InputGate = InputTest;

TEST_F(InputGate, UntrustedInputWarnsOncePromptsOnceAndIsDropped) {
    setTrusted(false);
    pointer(0x01, 1, 1);
    key(0x61, true);
    raw(0, 0, true);
    systemKey(7);
    onQueue([&] { server->applyGestureEvent({GestureEventKind::scroll, 1, 1, 10, 10, 1, 1, 0}, viewer); });
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(log->count("input: Host needs Accessibility permission for direct mouse and gesture control"), 1u);
    EXPECT_EQ(prompts(), 1);
    onQueue([&] { EXPECT_FALSE(server->remoteInput.inputButtonMasks.count(viewer)); });

    setTrusted(true);
    key(0x61, true);
    EXPECT_EQ(events().size(), 1u) << "trust granted later works from the next event";
}

TEST_F(InputGate, LockedConsoleDeclaresActivityAtMostEvery600Ms) {
    auto& power = SimulatedMachine::current().component<SimulatedPowerManagement>();
    const uint64_t start = Clock::uptimeNs();
    SimulatedMachine::current().setLocked(true);
    // (millisecond, unlock first) of each key press; the probe's answer lives 250 ms.
    const struct {
        int at;
        bool unlockBefore;
    } presses[] = {{0, false}, {300, false}, {550, false}, {600, false}, {700, true}, {1300, false}};
    int now = 0;
    for (const auto& p : presses) {
        advance((p.at - now) / 1000.0);
        now = p.at;
        if (p.unlockBefore) SimulatedMachine::current().setLocked(false);
        key(0x61, true);
    }
    auto declared = power.userActivityDeclarations();
    ASSERT_EQ(declared.size(), 2u) << "at 0 and 600 ms; 700 ms is too soon after, 1300 ms finds it unlocked";
    EXPECT_EQ(declared[0].name, "Norvessal remote input");
    EXPECT_EQ(declared[0].type, IOPMUserActiveType::local);
    EXPECT_EQ(declared[0].uptimeNs - start, 0u);
    EXPECT_EQ(declared[1].uptimeNs - start, 600'000'000u);
}

TEST_F(InputGate, CachedLockProbeOutlivesAnUnlockFor250Ms) {
    auto& power = SimulatedMachine::current().component<SimulatedPowerManagement>();
    SimulatedMachine::current().setLocked(true);
    key(0x61, true);  // probe: locked; declared
    advance(0.5);
    key(0x61, true);  // probe again: locked; within 600 ms, nothing
    SimulatedMachine::current().setLocked(false);
    advance(0.15);
    raw(0, 0, true);  // raw keys never wake
    pointer(0, 1, 1);  // the locked answer of 0.5 s still stands
    EXPECT_EQ(power.userActivityDeclarations().size(), 2u);
    advance(0.7);
    pointer(0, 1, 1);
    EXPECT_EQ(power.userActivityDeclarations().size(), 2u);
}

}  // namespace
