// Preset readiness and the activation job: selecting, setting once,
// settling, giving up at the deadline, and cancellation.

#include "HeadlessVirtualDisplayTestSupport.h"

namespace {

using namespace platform;

const Preset& easy() { return HeadlessVirtualDisplay::easyPreset(); }
const Preset& comfortable() { return HeadlessVirtualDisplay::easyComfortablePreset(); }

std::string idText(uint32_t id) { return " display=" + std::to_string(id); }

using HeadlessVirtualDisplayReadiness = HeadlessDisplayTest;

TEST_F(HeadlessVirtualDisplayReadiness, RawValuesAreTheOnesThePolicyCompares) {
    EXPECT_EQ(static_cast<uint8_t>(Readiness::ready), 0);
    EXPECT_EQ(static_cast<uint8_t>(Readiness::pending), 1);
    EXPECT_EQ(static_cast<uint8_t>(Readiness::inactive), 2);
    EXPECT_EQ(static_cast<uint8_t>(Readiness::unavailable), 3);
}

TEST_F(HeadlessVirtualDisplayReadiness, EachSituationHasItsValue) {
    EXPECT_EQ(hvd().presetReadiness(easy()), Readiness::unavailable);  // no display
    const uint32_t id = startAndGetID(easy());
    ASSERT_NE(id, 0u);
    EXPECT_EQ(hvd().presetReadiness(easy()), Readiness::ready);
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::inactive);  // registered, never asked for
    EXPECT_EQ(hvd().presetReadiness(HeadlessVirtualDisplay::standard1080Preset()), Readiness::unavailable);
    EXPECT_TRUE(hvd().activatePreset(comfortable()));
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::pending);
    EXPECT_EQ(hvd().presetReadiness(easy()), Readiness::ready);  // still shown until the switch lands
    advance(0.2);
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::ready);
    EXPECT_EQ(hvd().presetReadiness(easy()), Readiness::inactive);
    hvd().stop(false);
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::unavailable);
}

TEST_F(HeadlessVirtualDisplayReadiness, UnregisteredPresetIsUnavailableEvenWhenItsModeIsShown) {
    ASSERT_NE(startAndGetID(HeadlessVirtualDisplay::standard1080Preset()), 0u);
    Preset lookalike = HeadlessVirtualDisplay::standard1080Preset();
    lookalike.title = "Same sizes";
    EXPECT_EQ(hvd().presetReadiness(HeadlessVirtualDisplay::standard1080Preset()), Readiness::ready);
    EXPECT_EQ(hvd().presetReadiness(lookalike), Readiness::unavailable);
    EXPECT_FALSE(hvd().activatePreset(lookalike));
}

TEST_F(HeadlessVirtualDisplayReadiness, ActivePresetFollowsTheShownMode) {
    EXPECT_EQ(hvd().activePreset(), std::nullopt);
    ASSERT_NE(startAndGetID(easy()), 0u);
    EXPECT_EQ(hvd().activePreset(), easy());
    hvd().activatePreset(HeadlessVirtualDisplay::maxCanvasPreset());
    advance(0.3);
    EXPECT_EQ(hvd().activePreset(), HeadlessVirtualDisplay::maxCanvasPreset());
}

using HeadlessVirtualDisplayActivation = HeadlessDisplayTest;

TEST_F(HeadlessVirtualDisplayActivation, ActivationIsImpossibleWithoutDisplayOrRegistration) {
    EXPECT_FALSE(hvd().activatePreset(easy()));
    ASSERT_NE(startAndGetID(easy()), 0u);
    EXPECT_FALSE(hvd().activatePreset(HeadlessVirtualDisplay::standard1440Preset()));
}

TEST_F(HeadlessVirtualDisplayActivation, SelectableModeIsSetOnceAndSettles) {
    const uint32_t id = startAndGetID(easy());
    ASSERT_TRUE(hvd().activatePreset(comfortable()));
    advance(0.04);
    EXPECT_TRUE(appliedModes(id).empty());  // the first attempt runs after 0.05 s
    advance(0.02);
    ASSERT_EQ(appliedModes(id).size(), 1u);
    EXPECT_EQ(appliedModes(id)[0].pixelWidth, 3200);
    EXPECT_EQ(appliedModes(id)[0].width, 1600);
    advance(0.1);
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] preferred preset ready " + comfortable().summary() + idText(id)));
    // The policy refreshes the geometry once it sees the preset ready.
    hvd().refreshGeometry(comfortable());
    EXPECT_EQ(hvd().stateSnapshot().logicalWidth, 1600);
    EXPECT_EQ(Peer::currentPreset(hvd()), comfortable());
}

TEST_F(HeadlessVirtualDisplayActivation, ModeAppearingAfterOneSecondSettles) {
    classes().setModesAppearAfter(1.0);
    const uint32_t id = startAndGetID(easy());
    ASSERT_NE(id, 0u);
    advance(0.9);
    EXPECT_EQ(hvd().presetReadiness(easy()), Readiness::pending);
    EXPECT_FALSE(logContains("preferred preset"));
    advance(0.3);
    EXPECT_EQ(hvd().presetReadiness(easy()), Readiness::ready);
    EXPECT_EQ(logCount("[HeadlessVirtualDisplay] preferred preset ready " + easy().summary() + idText(id)), 1u);
}

TEST_F(HeadlessVirtualDisplayActivation, ModeNeverSelectableGivesUpAtTheDeadline) {
    classes().setModesAppearAfter(1000);
    const uint32_t id = startAndGetID(easy());
    advance(7.9);
    EXPECT_EQ(hvd().presetReadiness(easy()), Readiness::pending);
    advance(0.3);
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] preferred preset never became selectable " + easy().summary() +
                            idText(id)));
    EXPECT_EQ(hvd().presetReadiness(easy()), Readiness::inactive);
    EXPECT_TRUE(appliedModes(id).empty());
}

TEST_F(HeadlessVirtualDisplayActivation, ModeThatNeverLandsIsRequestedOnceAndDoesNotSettle) {
    const uint32_t id = startAndGetID(easy());
    DisplayConfigurationBehaviour never;
    never.settleDelaySeconds = std::nullopt;
    displays().setBehaviour(id, never);
    hvd().activatePreset(comfortable());
    advance(7.9);
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::pending);
    advance(0.3);
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] preferred preset did not settle " + comfortable().summary() +
                            idText(id)));
    EXPECT_EQ(appliedModes(id).size(), 1u);
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::inactive);
}

TEST_F(HeadlessVirtualDisplayActivation, DisplayShowingAnotherModeIsNotAskedAgain) {
    const uint32_t id = startAndGetID(easy());
    DisplayConfigurationBehaviour wrong;
    wrong.outcome = [](const CGDisplayMode&) {
        return std::optional<CGDisplayMode>(CGDisplayMode{1920, 1080, 3840, 2160, 60, true, 99, 3});
    };
    displays().setBehaviour(id, wrong);
    hvd().activatePreset(comfortable());
    advance(9);
    EXPECT_EQ(appliedModes(id).size(), 1u);
    EXPECT_TRUE(logContains("preferred preset did not settle"));
}

TEST_F(HeadlessVirtualDisplayActivation, RefusedModeSwitchEndsTheActivation) {
    const uint32_t id = startAndGetID(easy());
    DisplayConfigurationBehaviour refusing;
    refusing.configureError = kCGErrorIllegalArgument;
    displays().setBehaviour(id, refusing);
    hvd().activatePreset(comfortable());
    advance(0.1);
    EXPECT_TRUE(logContains("[HeadlessVirtualDisplay] preferred preset mode switch failed " + comfortable().summary() +
                            idText(id)));
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::inactive);
    advance(10);
    EXPECT_EQ(logCount("preferred preset"), 1u);
}

TEST_F(HeadlessVirtualDisplayActivation, CancelledActivationNeverRuns) {
    const uint32_t id = startAndGetID(easy());
    hvd().activatePreset(comfortable());
    hvd().cancelPendingPresetActivation();
    advance(10);
    EXPECT_TRUE(appliedModes(id).empty());
    EXPECT_FALSE(logContains("preferred preset"));
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::inactive);
}

TEST_F(HeadlessVirtualDisplayActivation, StoppingTheDisplayDropsAQueuedAttempt) {
    const uint32_t id = startAndGetID(easy());
    hvd().activatePreset(comfortable());
    hvd().stop(false);
    advance(10);
    EXPECT_TRUE(appliedModes(id).empty());
    EXPECT_FALSE(logContains("preferred preset"));
}

TEST_F(HeadlessVirtualDisplayActivation, AskingAgainKeepsTheOriginalDeadline) {
    classes().setModesAppearAfter(1000);
    ASSERT_NE(startAndGetID(easy()), 0u);
    advance(4);
    EXPECT_TRUE(hvd().activatePreset(easy()));
    advance(4.2);
    EXPECT_TRUE(logContains("never became selectable"));
}

TEST_F(HeadlessVirtualDisplayActivation, ShownPresetCancelsOtherWorkAndSchedulesNothing) {
    const uint32_t id = startAndGetID(easy());
    hvd().activatePreset(comfortable());
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::pending);
    EXPECT_TRUE(hvd().activatePreset(easy()));
    EXPECT_EQ(hvd().presetReadiness(comfortable()), Readiness::inactive);
    EXPECT_EQ(Peer::currentPreset(hvd()), easy());
    advance(10);
    EXPECT_TRUE(appliedModes(id).empty());
    EXPECT_FALSE(logContains("preferred preset"));
}

TEST_F(HeadlessVirtualDisplayActivation, ShownPresetRefreshesTheGeometry) {
    const uint32_t id = startAndGetID(easy());
    // The window server now shows the comfortable mode without being asked.
    displays().setCurrentMode(id, CGDisplayMode{1600, 900, 3200, 1800, 120, true, 0, 3});
    EXPECT_TRUE(hvd().activatePreset(comfortable()));
    EXPECT_EQ(hvd().stateSnapshot().logicalWidth, 1600);
    EXPECT_EQ(hvd().stateSnapshot().pixelWidth, 3200);
    EXPECT_EQ(Peer::currentPreset(hvd()), comfortable());
}

using HeadlessVirtualDisplaySettleBeforeSleep = HeadlessDisplayTest;

TEST_F(HeadlessVirtualDisplaySettleBeforeSleep, SettledReadinessIsReturnedAtOnce) {
    EXPECT_EQ(hvd().settlePresetActivationBeforeSleep(easy(), 1), Readiness::unavailable);
    ASSERT_NE(startAndGetID(easy()), 0u);
    const double before = now();
    EXPECT_EQ(hvd().settlePresetActivationBeforeSleep(easy(), 1), Readiness::ready);
    EXPECT_EQ(hvd().settlePresetActivationBeforeSleep(comfortable(), 1), Readiness::inactive);
    EXPECT_EQ(elapsedSince(before), 0);
}

TEST_F(HeadlessVirtualDisplaySettleBeforeSleep, WaitsForAnActivationThatLands) {
    classes().setModesAppearAfter(1.0);
    ASSERT_NE(startAndGetID(easy()), 0u);
    const double before = now();
    EXPECT_EQ(hvd().settlePresetActivationBeforeSleep(easy(), 3), Readiness::ready);
    EXPECT_GE(elapsedSince(before), 1.0);
    EXPECT_LT(elapsedSince(before), 1.3);
}

TEST_F(HeadlessVirtualDisplaySettleBeforeSleep, TimeOutCancelsAndReportsWhatRemains) {
    classes().setModesAppearAfter(1000);
    ASSERT_NE(startAndGetID(easy()), 0u);
    const double before = now();
    EXPECT_EQ(hvd().settlePresetActivationBeforeSleep(easy(), 0.5), Readiness::inactive);
    EXPECT_GE(elapsedSince(before), 0.5);
    EXPECT_LE(elapsedSince(before), 0.5 + 0.041);
    advance(10);
    EXPECT_FALSE(logContains("never became selectable"));  // cancelled, not given up
}

TEST_F(HeadlessVirtualDisplaySettleBeforeSleep, ZeroTimeOutCancelsAtOnce) {
    const uint32_t id = startAndGetID(easy());
    hvd().activatePreset(comfortable());
    const double before = now();
    EXPECT_EQ(hvd().settlePresetActivationBeforeSleep(comfortable(), 0), Readiness::inactive);
    EXPECT_EQ(elapsedSince(before), 0);
    advance(1);
    EXPECT_TRUE(appliedModes(id).empty());
    EXPECT_EQ(hvd().settlePresetActivationBeforeSleep(comfortable(), -3), Readiness::inactive);
}

TEST_F(HeadlessVirtualDisplaySettleBeforeSleep, DisplayGoneWhileWaitingIsUnavailable) {
    classes().setModesAppearAfter(1000);
    ASSERT_NE(startAndGetID(easy()), 0u);
    // Another caller stops the display while the sleep path waits.
    DispatchQueue other("test.other");
    other.asyncAfter(0.1, [] { HeadlessVirtualDisplay::shared().stop(false); });
    EXPECT_EQ(hvd().settlePresetActivationBeforeSleep(easy(), 2), Readiness::unavailable);
}

}  // namespace
