// The progress window's rows: texts, growth, and how finishes and timers
// meet when rows are cancelled or replaced.

#include <gtest/gtest.h>

#include <filesystem>

#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

using platform::UUID;
using Row = FileTransferCenter::TaskRow;

namespace {

class ProgressRows : public VirtualTimeTest {
protected:
    ProgressRows() { center.resetForTesting(); }
    ~ProgressRows() override { center.resetForTesting(); }

    std::shared_ptr<Row> add(const UUID& id, uint64_t total = 0, std::function<void()> onCancel = {}) {
        auto row = center.addTask({id, FileTransferDirection::incoming, "Viewer", 1, total, {"a.txt"}}, onCancel);
        runUntilIdle();
        return row;
    }
    std::string status(const UUID& id) { return center.rows.at(id)->statusLbl->text; }

    FileTransferCenter& center = FileTransferCenter::shared();
};

TEST(ProgressRowTexts, ByteCountsSwitchUnitsAtTheirOwnThresholds) {
    const std::vector<std::pair<uint64_t, std::string>> cases = {
        {0, "0 B"}, {1023, "1023 B"}, {1024, "1 KB"}, {999999, "977 KB"}, {1000000, "1.0 MB"}, {5368709120, "5368.7 MB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(Row::fmt(bytes), text) << bytes;
}

TEST(ProgressRowTexts, ItemDescriptionSkipsBlankNamesAndFallsBackToTheCount) {
    struct Case {
        std::vector<std::string> names;
        int64_t fallback;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{" \n", "a.txt"}, 3, "a.txt"},
        {{"a", "b"}, 2, "a ..."},
        {{}, 1, "1 item"},
        {{}, 0, "0 items"},
        {{"  "}, 4, "4 items"},
    };
    for (const auto& c : cases) EXPECT_EQ(Row::itemDescription(c.names, c.fallback), c.text);
}

TEST_F(ProgressRows, FirstRowMakesAndRaisesTheWindowAndEachNextRowGrowsItDownwards) {
    const UUID first = UUID::random(), second = UUID::random();
    add(first);
    ASSERT_TRUE(center.window);
    EXPECT_TRUE(center.window->isVisible());
    EXPECT_EQ(center.window->title, "File Transfers");
    EXPECT_EQ(center.stack->subviews().size(), 1u);
    const auto before = center.window->frame;
    add(second);
    const auto after = center.window->frame;
    EXPECT_EQ(after.height - before.height, 72);
    EXPECT_EQ(after.y + after.height, before.y + before.height) << "the top edge stays";
    EXPECT_EQ(center.rows.at(second)->titleLbl->text, "Receiving a.txt from Viewer");
}

TEST_F(ProgressRows, ProgressFillsTheBarButShowsTheBytesAsReported) {
    const UUID id = UUID::random();
    add(id);
    center.updateProgress(id, 5, 0);
    runUntilIdle();
    EXPECT_EQ(status(id), "Waiting\u2026");
    EXPECT_TRUE(center.rows.at(id)->bar->isIndeterminate);
    center.updateProgress(id, 3000, 2048);
    runUntilIdle();
    EXPECT_EQ(status(id), "3 KB / 2 KB");
    EXPECT_EQ(center.rows.at(id)->bar->doubleValue, 2048);
}

TEST_F(ProgressRows, CancelledRowIsNotTurnedIntoACompletion) {
    const UUID id = UUID::random();
    std::vector<std::string> order;
    auto row = add(id, 10, [&] { order.push_back("caller"); });
    row->cancelBtn->performClick();
    center.completeTask(id, "Sent", 1.5);
    runUntilIdle();
    EXPECT_EQ(order, std::vector<std::string>{"caller"});
    EXPECT_EQ(status(id), "Cancelled");
    center.setSubtitle(id, "Saving to In\u2026");  // queued before the finish ran
    runUntilIdle();
    EXPECT_EQ(status(id), "Cancelled") << "a finished row keeps its outcome";
    EXPECT_EQ(row->cancelBtn->text, "Dismiss");
    advance(1.0);
    EXPECT_FALSE(center.rows.contains(id));
    EXPECT_FALSE(center.window->isVisible()) << "the last row takes the window with it";
}

TEST_F(ProgressRows, OlderTimerLeavesTheReplacementRowAlone) {
    const UUID id = UUID::random();
    add(id, 10);
    center.failTask(id, "broken");
    runUntilIdle();
    EXPECT_EQ(center.rows.at(id)->statusLbl->textColor, platform::Color::systemRed);
    auto replacement = add(id, 10);
    EXPECT_EQ(center.stack->subviews().size(), 1u);
    advance(3);
    ASSERT_TRUE(center.rows.contains(id));
    EXPECT_EQ(center.rows.at(id), replacement);
    center.completeTask(id, "Done", -1);
    runUntilIdle();
    EXPECT_FALSE(center.rows.contains(id)) << "a negative delay closes on the next turn";
}

TEST_F(ProgressRows, DismissRemovesAFinishedRowAtOnce) {
    const UUID id = UUID::random();
    auto row = add(id);
    center.completeTask(id, "Sent", 60);
    runUntilIdle();
    row->cancelBtn->performClick();
    runUntilIdle();
    EXPECT_FALSE(center.rows.contains(id));
}

TEST_F(ProgressRows, SavePanelIsASheetThatPutsTheWindowBackBeforeAnswering) {
    struct Case {
        const char* name;
        std::optional<std::string> suggested;
        std::optional<std::string> pick;  // nothing: cancel
        std::string message;
    };
    const std::vector<Case> cases = {
        {"picked, with a name", "a.txt", "/srv/In", "Choose where to save \"a.txt\""},
        {"cancelled, empty name", "", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        center.resetForTesting();
        std::optional<std::filesystem::path> picked;
        bool cancelled = false;
        int levelAtAnswer = -1;
        uint32_t behaviourAtAnswer = 0;
        center.pickSaveLocation(
            UUID::random(), c.suggested,
            [&](const std::filesystem::path& folder) {
                picked = folder;
                levelAtAnswer = center.window->level();
            },
            [&] {
                cancelled = true;
                levelAtAnswer = center.window->level();
                behaviourAtAnswer = center.window->collectionBehavior();
            });
        runUntilIdle();
        ASSERT_EQ(center.savePanels.size(), 1u);
        auto panel = center.savePanels.front();
        EXPECT_EQ(center.window->attachedSheet(), panel->window());
        EXPECT_TRUE(panel->canChooseDirectories);
        EXPECT_FALSE(panel->canChooseFiles);
        EXPECT_TRUE(panel->canCreateDirectories);
        EXPECT_FALSE(panel->allowsMultipleSelection);
        EXPECT_EQ(panel->prompt, "Save Here");
        EXPECT_EQ(panel->window()->title, "Choose Save Location");
        EXPECT_EQ(panel->message, c.message);
        EXPECT_EQ(center.window->level(), platform::kFloatingWindowLevel);
        EXPECT_FALSE(center.window->hidesOnDeactivate);
        if (c.pick) panel->answerOK(*c.pick); else panel->answerCancel();
        EXPECT_EQ(levelAtAnswer, platform::kNormalWindowLevel) << "restored before the answer runs";
        EXPECT_EQ(picked, c.pick ? std::optional<std::filesystem::path>(*c.pick) : std::nullopt);
        EXPECT_EQ(cancelled, !c.pick);
        if (cancelled) {
            EXPECT_EQ(behaviourAtAnswer, platform::kWindowJoinAllSpacesAndFullScreenAuxiliary);
        }
        EXPECT_TRUE(center.savePanels.empty());
    }
}

// Sheets on one window queue: each raises the window when it shows and puts
// it back when it ends, so the window is raised while any of them shows and
// ends as it was before the first.
TEST_F(ProgressRows, QueuedSavePanelsRaiseTheWindowInTurnAndLeaveItAsItWas) {
    std::vector<int> levelAtAnswer;
    auto ask = [&] {
        center.pickSaveLocation(
            UUID::random(), "a.txt", [&](const std::filesystem::path&) { levelAtAnswer.push_back(center.window->level()); },
            [&] { levelAtAnswer.push_back(center.window->level()); });
        runUntilIdle();
    };
    ask();
    ask();
    ASSERT_EQ(center.savePanels.size(), 2u);
    auto first = center.savePanels[0];
    auto second = center.savePanels[1];
    EXPECT_EQ(center.window->attachedSheet(), first->window());
    EXPECT_EQ(center.window->waitingSheetCount(), 1u);
    EXPECT_EQ(center.window->level(), platform::kFloatingWindowLevel);

    first->answerCancel();
    EXPECT_EQ(center.window->attachedSheet(), second->window());
    EXPECT_EQ(center.window->level(), platform::kFloatingWindowLevel) << "raised while the second shows";
    EXPECT_FALSE(center.window->hidesOnDeactivate);

    second->answerOK("/srv/In");
    EXPECT_EQ(levelAtAnswer, (std::vector<int>{platform::kNormalWindowLevel, platform::kNormalWindowLevel}));
    EXPECT_EQ(center.window->level(), platform::kNormalWindowLevel) << "as it was before the first";
    EXPECT_TRUE(center.savePanels.empty());
}

TEST_F(ProgressRows, ForegroundPresentationWindowIsTheRaisedProgressWindow) {
    auto window = center.foregroundPresentationWindow();
    ASSERT_TRUE(window);
    EXPECT_EQ(window, center.window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_GT(window->orderFrontRegardlessCount(), 0);
    EXPECT_EQ(window->collectionBehavior(), platform::kWindowJoinAllSpacesAndFullScreenAuxiliary);
    EXPECT_EQ(window->collectionBehavior(), 0x102u);
}

}  // namespace
