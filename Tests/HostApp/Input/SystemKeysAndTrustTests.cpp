// System-defined keys, key combinations, the Accessibility gate and the
// wake of a locked Host.

#include "InputTestSupport.h"

#include "Platform/SimulatedMac/PowerManagement.h"

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
    systemKey(0x8000);  // no overflow into the sign
    EXPECT_EQ(events().back().data1, 0x80000A00);
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

TEST_F(SystemKeys, LaunchpadKeyOpensLaunchpadAndMenuIsOnlyLogged) {
    systemKey(13);
    // The chain runs on the shortcuts' tool queue; its answer hops back.
    runUntilIdle();
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(logContains("host shortcut: Launchpad Dock private toggle"));
    log->clear();
    onQueue([&] { server->viewerSessionNames[viewer] = "Mac Viewer"; });
    systemKey(25);
    EXPECT_EQ(logLines().size(), 1u);
    EXPECT_TRUE(logContains("remote input: ignored system-defined MENU key from Mac Viewer"));
    EXPECT_TRUE(events().empty());
}

// --- Key combinations -------------------------------------------------------------------

TEST_F(SystemKeys, ComboSequencesWrapTheKeyInItsModifiers) {
    const struct { uint16_t key; uint64_t flags; std::vector<KeyComboEvent> events; } cases[] = {
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

TEST_F(InputGate, LockedConsoleDeclaresActivityAtMostEvery600MsOnAProbeOf250Ms) {
    auto& power = SimulatedMachine::current().component<SimulatedPowerManagement>();
    const uint64_t start = Clock::uptimeNs();
    SimulatedMachine::current().setLocked(true);
    // Presses at these milliseconds; the console is unlocked just before 650,
    // but the locked answer probed at 560 still stands then.
    int now = 0;
    for (int at : {0, 300, 560, 650, 1300}) {
        advance((at - now) / 1000.0);
        now = at;
        if (at == 650) SimulatedMachine::current().setLocked(false);
        key(0x61, true);
    }
    auto declared = power.userActivityDeclarations();
    ASSERT_EQ(declared.size(), 2u);
    EXPECT_EQ(declared[0].name, "Norvessal remote input");
    EXPECT_EQ(declared[0].type, IOPMUserActiveType::local);
    EXPECT_EQ(declared[0].uptimeNs - start, 0u);
    EXPECT_EQ(declared[1].uptimeNs - start, 650'000'000u);
}

}  // namespace
