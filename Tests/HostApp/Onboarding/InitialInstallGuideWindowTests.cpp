// The guide window's layout, buttons and close callback.

#include <gtest/gtest.h>

#include <cmath>

#include "HostApp/Onboarding/InitialInstallGuideWindow.h"
#include "Platform/AppKit/AppKit.h"
#include "Platform/AppKit/AppKitScreen.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

class GuideWindowTest : public VirtualTimeTest {
protected:
    void SetUp() override {
        DispatchQueue::main().sync([&] { guide = InitialInstallGuideWindow::make(); });
    }
    static void onMain(const std::function<void()>& work) { DispatchQueue::main().sync(work); }
    // A push button's width after size-to-fit: 0.6 x 13 pt per character
    // of its title, plus its bezel.
    // In tenths of a point: 78 a character, rounded up to whole points.
    static double fittedWidth(const std::string& title) {
        return static_cast<double>((title.size() * 78 + 9) / 10) + 28;
    }

    std::shared_ptr<InitialInstallGuideWindow> guide;
};

struct LayoutCase {
    const char* name;
    std::string message;
    std::string primary;
    std::vector<std::string> openTitles;
    bool tallerThanMinimum;
};

TEST_F(GuideWindowTest, LayoutPlacesEveryControlFromTheBottomAndRecentres) {
    const LayoutCase cases[] = {
        {"short, two buttons", "Short.", "I Have Enabled All Permissions", {"1. one", "2. two"}, false},
        {"short, none", "Short.", "Close", {}, false},
        {"long message", std::string(40, '\n') + "end", "OK", {"1. one"}, true},
        {"untitled primary", "Short.", "", {"1. one"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        onMain([&] {
            guide->window()->setFrameTopLeftPoint({5, 700});
            guide->configure("Title", c.message, c.primary, c.openTitles);
        });
        const auto& window = *guide->window();
        const auto& primary = *guide->primaryButton();
        EXPECT_EQ(window.contentSize.width, 560);
        if (c.tallerThanMinimum) {
            EXPECT_GT(window.contentSize.height, 300);
        } else {
            EXPECT_EQ(window.contentSize.height, 300);
        }
        EXPECT_EQ(primary.isHidden, c.primary.empty());
        EXPECT_EQ(primary.frame.height, 32) << "the height is kept when hidden";
        EXPECT_EQ(primary.frame.width, fittedWidth(c.primary));
        EXPECT_EQ(primary.frame.x, 538 - primary.frame.width);
        EXPECT_EQ(primary.frame.y, 18);

        // The top of the column: the last button sits just above the primary
        // button's block, each higher one 36 pt above the one below it.
        double y = primary.frame.height + 32;
        for (auto it = guide->openButtons().rbegin(); it != guide->openButtons().rend(); ++it, y += 36)
            EXPECT_EQ((*it)->frame, (CGRect{22, y, 516, 28}));
        const auto& message = guide->messageLabel()->frame;
        const auto& title = guide->titleLabel()->frame;
        EXPECT_EQ(message.y, guide->openButtons().empty() ? y : y + 6);
        EXPECT_EQ(title.y, message.y + message.height + 10);
        EXPECT_EQ(guide->iconView()->frame, (CGRect{252, title.y + title.height + 12, 56, 56}));
        EXPECT_LE(guide->iconView()->frame.y + 56 + 18, window.contentSize.height) << "nothing clipped";
        EXPECT_TRUE(window.isCentered());
        const auto visible = Screen::main()->visibleFrame;
        EXPECT_EQ(window.frame.x, (visible.width - 560) / 2);
    }
}

TEST_F(GuideWindowTest, EmptyTitlesAreSkippedButKeepTheirIndex) {
    std::vector<int> pressed;
    guide->onOpenButton = [&](int index) { pressed.push_back(index); };
    onMain([&] { guide->configure("T", "M", "P", {"a", "", "c"}); });
    ASSERT_EQ(guide->openButtons().size(), 2u);
    EXPECT_EQ(guide->openButtons()[0]->tag, 0);
    EXPECT_EQ(guide->openButtons()[1]->tag, 2);
    EXPECT_GT(guide->openButtons()[0]->frame.y, guide->openButtons()[1]->frame.y) << "the first is the top one";
    onMain([&] { guide->openButtons()[1]->performClick(); });
    EXPECT_EQ(pressed, std::vector<int>{2});

    onMain([&] { guide->configure("T", "M", "P", {"x"}); });
    ASSERT_EQ(guide->openButtons().size(), 1u);
    size_t buttonsInWindow = 0;
    for (const auto& view : guide->window()->contentView->allViews())
        buttonsInWindow += view->kind == View::Kind::button && view != guide->primaryButton();
    EXPECT_EQ(buttonsInWindow, 1u) << "only the second configure's buttons remain";
}

TEST_F(GuideWindowTest, OnlyARealCloseCallsTheCloseCallback) {
    int closed = 0, primary = 0;
    guide->onWindowClosed = [&] { closed++; };
    guide->onPrimary = [&] { primary++; };
    onMain([&] {
        guide->configure("T", "M", "P", {});
        guide->window()->makeKeyAndOrderFront();
        guide->primaryButton()->performClick();
        guide->window()->orderOut();
    });
    EXPECT_EQ(primary, 1);
    EXPECT_EQ(closed, 0);
    onMain([&] {
        guide->window()->makeKeyAndOrderFront();
        guide->window()->performClose();
    });
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(guide->window()->isReleasedWhenClosed);
    EXPECT_EQ(guide->window()->level(), kFloatingWindowLevel);
    EXPECT_EQ(guide->window()->collectionBehavior(), kWindowCanJoinAllSpaces | kWindowFullScreenAuxiliary);
    EXPECT_EQ(guide->window()->title, "Norvessal Host Setup");
}

}  // namespace
