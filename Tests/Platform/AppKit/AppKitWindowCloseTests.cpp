// Window closing as the update windows rely on it (the delegate told on
// every close, asked only by the close box, a second close ignored) and the
// will-terminate notification.

#include <gtest/gtest.h>

#include <algorithm>

#include "Platform/AppKit/AppKit.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

struct RecordingWindowDelegate : WindowDelegate {
    std::vector<std::string> calls;
    bool allowClose = true;
    bool windowShouldClose(Window&) override {
        calls.push_back("should close");
        return allowClose;
    }
    void windowWillClose(Window&) override { calls.push_back("will close"); }
};

class AppKitWindowClose : public VirtualTimeTest {
protected:
    void onMain(const std::function<void()>& work) { DispatchQueue::main().sync(work); }
};

TEST_F(AppKitWindowClose, OnlyTheCloseBoxAsksAndAClosedWindowClosesOnce) {
    struct Row {
        const char* name;
        uint32_t style;
        bool allowClose;
        std::function<void(Window&)> act;
        std::vector<std::string> calls;
        bool visibleAfter;
    };
    const uint32_t closable = kWindowStyleTitled | kWindowStyleClosable;
    const Row rows[] = {
        {"close", closable, false, [](Window& w) { w.close(); }, {"will close"}, false},
        {"close twice", closable, true, [](Window& w) { w.close(); w.close(); }, {"will close"}, false},
        {"close box", closable, true, [](Window& w) { w.performClose(); }, {"should close", "will close"}, false},
        {"close box refused", closable, false, [](Window& w) { w.performClose(); }, {"should close"}, true},
        {"no close box", kWindowStyleTitled, true, [](Window& w) { w.performClose(); }, {}, true},
        {"shown again, closes again", closable, true,
         [](Window& w) { w.close(); w.orderFront(); w.close(); }, {"will close", "will close"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        onMain([&] {
            auto window = Window::make({300, 200}, row.style);
            auto delegate = std::make_shared<RecordingWindowDelegate>();
            delegate->allowClose = row.allowClose;
            window->setDelegate(delegate);
            int willCloseNotes = 0;
            auto token = observeWindow(kWindowWillCloseNotification, window,
                                       [&](const Notification&) { willCloseNotes++; });
            window->makeKeyAndOrderFront();
            row.act(*window);
            Application::shared().notificationCenter().removeObserver(token);
            EXPECT_EQ(delegate->calls, row.calls);
            EXPECT_EQ(willCloseNotes, std::count(row.calls.begin(), row.calls.end(), "will close"));
            EXPECT_EQ(window->isVisible(), row.visibleAfter);
        });
    }
}

TEST_F(AppKitWindowClose, TerminationPostsWillTerminateBeforeItEnds) {
    bool terminatedWhenPosted = true;
    int posts = 0;
    auto& app = Application::shared();
    auto token = app.notificationCenter().addObserver(kApplicationWillTerminateNotification, [&](const Notification&) {
        posts++;
        terminatedWhenPosted = app.isTerminated();
    });
    onMain([&] { app.terminate(); });
    runUntilIdle();
    app.notificationCenter().removeObserver(token);
    EXPECT_EQ(posts, 1);
    EXPECT_FALSE(terminatedWhenPosted);
    EXPECT_TRUE(app.isTerminated());
}

}  // namespace
