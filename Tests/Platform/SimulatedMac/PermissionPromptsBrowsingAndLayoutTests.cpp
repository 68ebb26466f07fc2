// The simulated permission prompts, scripted and daemon-less Bonjour
// browsing, URLs of any scheme, and the AppKit model's screen and text
// metrics.

#include <gtest/gtest.h>

#include <cstdlib>

#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/AppKit/AppKitScreen.h"
#include "Platform/AppKit/AppKitTextMetrics.h"
#include "Platform/Network/NetworkBrowser.h"
#include "Platform/SimulatedMac/PermissionPrompts.h"
#include "Platform/SimulatedMac/ScreenCaptureKit.h"
#include "Platform/Foundation/URL.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

class PromptTest : public VirtualTimeTest {};
class BrowsingTest : public VirtualTimeTest {};
class ScreenTest : public VirtualTimeTest {};

using Answer = PermissionPromptPolicy::Answer;

struct PromptCase {
    const char* name;
    Permission permission;
    PermissionPromptPolicy policy;
    bool grantedBefore;
    bool answer;
    bool grantedAfter;
    double heldSeconds;
};

bool promptingRequest(Permission permission) {
    return permission == Permission::accessibility
               ? AXIsProcessTrustedWithOptions({{kAXTrustedCheckOptionPrompt, true}})
               : CGRequestScreenCaptureAccess();
}

TEST_F(PromptTest, PromptsAnswerByTheirPolicyAfterItsDelayAndAreCounted) {
    const PromptCase cases[] = {
        {"default: as it stands", Permission::accessibility, {}, false, false, false, 0},
        {"already granted: no prompt", Permission::screenRecording, {Answer::deny, 5}, true, true, true, 0},
        {"grant", Permission::screenRecording, {Answer::grant, 0}, false, true, true, 0},
        {"deny after 2 s", Permission::accessibility, {Answer::deny, 2}, false, false, false, 2},
        {"grant after 1.5 s", Permission::accessibility, {Answer::grant, 1.5}, false, true, true, 1.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedMachine::install(std::make_shared<SimulatedMachine>());
        auto& machine = SimulatedMachine::current();
        auto& prompts = machine.component<SimulatedPermissionPrompts>();
        machine.setPermission(c.permission, c.grantedBefore);
        prompts.setPolicy(c.permission, c.policy);
        const uint64_t start = Clock::uptimeNs();
        std::optional<bool> answer;
        DispatchQueue requests("test.requests");
        requests.async([&] { answer = promptingRequest(c.permission); });
        runUntilIdle();
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(*answer, c.answer);
        EXPECT_EQ(machine.permissionGranted(c.permission), c.grantedAfter);
        EXPECT_DOUBLE_EQ(static_cast<double>(Clock::uptimeNs() - start) / 1e9, c.heldSeconds);
        EXPECT_EQ(prompts.requestCount(c.permission), 1);
        EXPECT_EQ(prompts.waitingCount(), 0);
    }
}

TEST_F(PromptTest, AnUnansweredPromptHoldsItsQueueOnlyUntilDismissed) {
    auto& machine = SimulatedMachine::current();
    auto& prompts = machine.component<SimulatedPermissionPrompts>();
    machine.setPermission(Permission::screenRecording, false);
    prompts.setPolicy(Permission::screenRecording, {Answer::never, 0});
    DispatchQueue requests("test.requests");
    std::optional<bool> answer;
    bool queuedBehind = false;
    std::vector<std::pair<double, int>> seenFromMain;  // (time, prompts waiting)
    requests.async([&] { answer = CGRequestScreenCaptureAccess(); });
    requests.async([&] { queuedBehind = true; });
    for (double t : {1.0, 30.0}) {
        DispatchQueue::main().asyncAfter(t, [&, t] {
            seenFromMain.emplace_back(t, prompts.waitingCount());
            EXPECT_FALSE(queuedBehind) << "the prompt's queue is held";
        });
    }
    DispatchQueue::main().asyncAfter(40, [&] {
        machine.setPermission(Permission::screenRecording, true);  // granted in System Settings meanwhile
        prompts.dismissWaitingPrompts();
    });
    runUntilIdle();
    EXPECT_EQ(seenFromMain, (std::vector<std::pair<double, int>>{{1.0, 1}, {30.0, 1}}));
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(*answer);
    EXPECT_TRUE(queuedBehind);
}

TEST_F(BrowsingTest, AScriptedBrowseReportsItsStatesInTimeAndNothingAfterCancel) {
    auto& browsing = SimulatedMachine::current().component<SimulatedBonjourBrowsing>();
    SimulatedBonjourBrowsing::Script script;
    script.states = {{0.5, {NetworkBrowserState::Kind::waiting, "no network"}},
                     {2.0, {NetworkBrowserState::Kind::ready, ""}},
                     {9.0, {NetworkBrowserState::Kind::failed, "late"}}};
    script.results = {{"Mac", "_x._tcp", "local"}};
    browsing.setScript(script);
    auto browser = NetworkBrowser::make({"_x._tcp", "local"}, true);
    std::vector<std::pair<double, std::string>> states;
    std::vector<NetworkBrowseResult> results;
    const uint64_t start = Clock::uptimeNs();
    browser->stateUpdateHandler = [&](const NetworkBrowserState& state) {
        states.emplace_back(static_cast<double>(Clock::uptimeNs() - start) / 1e9, state.description());
    };
    browser->browseResultsChangedHandler = [&](const std::vector<NetworkBrowseResult>& r) { results = r; };
    browser->start(DispatchQueue::main());
    advance(3);
    EXPECT_EQ(results, script.results);
    browser->cancel();
    browser->cancel();
    advance(10);
    EXPECT_EQ(states, (std::vector<std::pair<double, std::string>>{
                          {0.5, "waiting: no network"}, {2.0, "ready"}, {3.0, "cancelled"}}));
    ASSERT_EQ(browsing.browses().size(), 1u);
    EXPECT_TRUE(browsing.browses()[0].includePeerToPeer);
}

TEST_F(BrowsingTest, ABrowseFailsWhenTheClientCannotReachTheDaemon) {
    const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string restore = saved ? saved : "";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dataRoot->path().string() + "/no-bus").c_str(), 1);
    auto browser = NetworkBrowser::make({"_velantrix-host._tcp", "local"}, false);
    std::vector<NetworkBrowserState> states;
    browser->stateUpdateHandler = [&](const NetworkBrowserState& state) { states.push_back(state); };
    browser->start(DispatchQueue::main());
    runUntil([&] { return !states.empty(); });
    if (saved) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", restore.c_str(), 1);
    } else {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].kind, NetworkBrowserState::Kind::failed);
    EXPECT_TRUE(states[0].description().starts_with("failed: ")) << states[0].description();
    EXPECT_GT(states[0].description().size(), 8u) << "names the error";
}

struct URLCase {
    const char* text;
    bool parses;
    const char* scheme;
    std::optional<std::string> host;
    const char* path;
};

TEST(URLTest, SchemeHostAndPathOfAnyScheme) {
    const URLCase cases[] = {
        {"norvessalhost://UPDATE/RESTART", true, "norvessalhost", "UPDATE", "/RESTART"},
        {"velantrixhost://accessibility", true, "velantrixhost", "accessibility", ""},
        {"norvessalhost:", true, "norvessalhost", std::nullopt, ""},
        {"x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility", true,
         "x-apple.systempreferences", std::nullopt, "com.apple.preference.security"},
        {"norvessalhost://user@host:99/a/b?q#f", true, "norvessalhost", "host", "/a/b"},
        {"norvessalhost:///only/path", true, "norvessalhost", std::nullopt, "/only/path"},
        {"norvessalhost", false, "", std::nullopt, ""},
        {"1abc://x", false, "", std::nullopt, ""},
        {"norvessal host://x", false, "", std::nullopt, ""},
        {"norvessalhost://x/\xc3\xa9", false, "", std::nullopt, ""},
        {"", false, "", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto url = URL::parse(c.text);
        ASSERT_EQ(url.has_value(), c.parses);
        if (!url) continue;
        EXPECT_EQ(url->scheme(), c.scheme);
        EXPECT_EQ(url->host(), c.host);
        EXPECT_EQ(url->path(), c.path);
    }
}

struct MetricsCase {
    const char* name;
    std::string text;
    double pointSize;
    double width;
    double height;
};

TEST(TextMetricsTest, FixedAdvanceLineHeightAndWordWrap) {
    // 12 pt: 7.2 pt a character, 15 pt a line; 72 pt holds 10 characters.
    const MetricsCase cases[] = {
        {"empty is one line", "", 12, 72, 15},
        {"exactly one line", "abcde fghi", 12, 72, 15},
        {"a word that does not fit moves down", "abcde fghij", 12, 72, 30},
        {"a line break always breaks", "a\nb\n\nc", 12, 72, 60},
        {"a long word is broken", std::string(25, 'x'), 12, 72, 45},
        {"characters, not bytes", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 12, 72, 15},
        {"15 pt lines are ceil(18.75)", "T", 15, 516, 19},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(textHeight(c.text, Font::system(c.pointSize), c.width), c.height);
    }
    EXPECT_DOUBLE_EQ(textWidth("abc", Font::system(10)), 18);
    auto button = View::button("Close", nullptr);
    button->frame = {5, 6, 0, 0};
    sizeToFit(*button);
    EXPECT_EQ(button->frame, (CGRect{5, 6, 67, 32})) << "five characters of 7.8 pt, plus the bezel's 28";
}

TEST_F(ScreenTest, TheMainScreenLeavesOutTheMenuBarAndWindowsPlaceByTheirTopLeft) {
    auto screen = Screen::main();
    ASSERT_TRUE(screen.has_value());
    EXPECT_EQ(screen->visibleFrame.x, 0);
    EXPECT_EQ(screen->visibleFrame.y, 0);
    EXPECT_EQ(screen->visibleFrame.width, screen->frame.width);
    EXPECT_EQ(screen->visibleFrame.height, screen->frame.height - 25);
    DispatchQueue::main().sync([&] {
        auto window = Window::make({200, 100}, kWindowStyleTitled);
        window->setFrameTopLeftPoint({10, 500});
        EXPECT_EQ(window->frame, (CGRect{10, 400, 200, 100}));
        EXPECT_FALSE(window->isCentered());
        window->setContentSize({300, 150});
        window->center();
        EXPECT_EQ(window->frame, (CGRect{(screen->visibleFrame.width - 300) / 2,
                                         (screen->visibleFrame.height - 150) / 2, 300, 150}));
        EXPECT_TRUE(window->isCentered());
    });
}

}  // namespace
