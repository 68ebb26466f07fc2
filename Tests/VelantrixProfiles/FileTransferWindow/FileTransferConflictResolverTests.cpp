// Delivering staged items into a folder where names may be taken: the
// prompt and its answers, "copy" names, backups and the replace that never
// loses the existing item.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "Platform/AppKit/AppKit.h"
#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Uuid.h"
#include "Support/OwnershipWatch.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferConflictResolver.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ConflictResolver : public VirtualTimeTest {
protected:
    ConflictResolver() {
        parent = Window::make({508, 92}, kWindowStyleTitled);
        parent->makeKeyAndOrderFront();
        fs::create_directories(destination);
    }
    ~ConflictResolver() override {
        FileMoves::setSettleStepForTesting(nullptr);
        FileMoves::setMoveFailureForTesting(nullptr);
        FileMoves::setCopyFailureForTesting(nullptr);
        for (const auto& folder : cleanup) fs::remove_all(folder);
    }

    fs::path stage(const std::string& name, const std::string& text = "new") {
        const fs::path p = staging / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
        return p;
    }
    fs::path existing(const std::string& name, const std::string& text = "old") {
        std::ofstream(destination / name) << text;
        return destination / name;
    }
    void deliver(std::vector<fs::path> items, bool prompt = true, bool backup = false,
                 std::shared_ptr<Window> window = nullptr) {
        result.reset();
        FileTransferConflictResolver::deliver(std::move(items), destination, window ? window : parent, prompt, backup,
                                              [this](const FileTransferDeliveryResult& r) {
                                                  EXPECT_FALSE(result) << "the completion runs once";
                                                  EXPECT_TRUE(DispatchQueue::main().isCurrent());
                                                  stagingEmptyAtCompletion = !fs::exists(staging) || fs::is_empty(staging);
                                                  result = r;
                                              });
        runUntilIdle();
    }
    std::shared_ptr<Alert> sheet() {
        auto alerts = Application::shared().shownAlerts();
        return alerts.empty() ? nullptr : alerts.back();
    }
    // Answers the open sheet: button 0 Keep Both, 1 Stop, 2 Replace.
    void answer(size_t button, bool applyToAll = false) {
        auto alert = sheet();
        ASSERT_TRUE(alert);
        if (applyToAll) {
            auto box = checkbox(*alert);
            ASSERT_TRUE(box);
            box->isOn = true;
        }
        // The user's click arrives on the main queue, as the window
        // server's events do.
        DispatchQueue::main().sync([&] { alert->pressButton(button); });
        runUntilIdle();
    }
    static std::shared_ptr<View> checkbox(Alert& alert) {
        for (const auto& v : alert.accessoryView->allViews())
            if (v->kind == View::Kind::checkbox) return v;
        return nullptr;
    }

    // Where the receiving side stages a batch: only what lies there is
    // ever removed.
    fs::path staging = Folders::caches() / "VelantrixFileInbox" / "Viewer" / "1796464807-ABCDEF12";
    fs::path destination = Folders::home() / "Documents";
    std::shared_ptr<Window> parent;
    // Folders made outside the data root, removed afterwards.
    std::vector<fs::path> cleanup;
    std::optional<FileTransferDeliveryResult> result;
    // What the staging folder held when the completion ran.
    bool stagingEmptyAtCompletion = false;
};

TEST_F(ConflictResolver, CopyNamesCountUpFromTheFirstFreeOne) {
    struct Case {
        std::string name;
        std::vector<std::string> taken;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"report.pdf", {}, "report.pdf"},
        {"report.pdf", {"report.pdf"}, "report copy.pdf"},
        {"report.pdf", {"report.pdf", "report copy.pdf"}, "report copy 2.pdf"},
        {"report.pdf", {"report.pdf", "report copy.pdf", "report copy 2.pdf"}, "report copy 3.pdf"},
        {"Photos", {"Photos"}, "Photos copy"},
        {"archive.tar.gz", {"archive.tar.gz"}, "archive.tar copy.gz"},
        {".profile", {".profile"}, ".profile copy"},
    };
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        // GCC 12 at -O3 warns of an overlapping copy inside the std::string
        // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        const fs::path folder = dataRoot->path() / ("u" + std::to_string(i++));
#pragma GCC diagnostic pop
        fs::create_directories(folder);
        for (const auto& t : c.taken) std::ofstream(folder / t) << "t";
        EXPECT_EQ(FileTransferConflictResolver::uniqueDestination(folder / c.name), folder / c.expected);
    }
}

TEST_F(ConflictResolver, FreeNamesMoveWithoutASheetInOrder) {
    deliver({});
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->deliveredURLs.empty());
    EXPECT_FALSE(result->stoppedByUser);
    EXPECT_EQ(result->failedItemCount, 0u);

    deliver({stage("b.txt"), stage("a.txt")});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->deliveredURLs, (std::vector<fs::path>{destination / "b.txt", destination / "a.txt"}));
    EXPECT_FALSE(sheet());
    EXPECT_FALSE(fs::exists(staging / "a.txt"));
}

TEST_F(ConflictResolver, KeepBothTwiceGivesCopyThenCopy2) {
    existing("a.txt");
    deliver({stage("a.txt", "first")});
    EXPECT_FALSE(result) << "waits for the answer";
    auto alert = sheet();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->messageText, "Copy Conflict");
    EXPECT_EQ(alert->informativeText,
              "\"a.txt\" already exists at the destination. Do you want to replace it, keep both, or stop?");
    EXPECT_EQ(alert->buttonTitles(), (std::vector<std::string>{"Keep Both", "Stop", "Replace"}));
    EXPECT_FALSE(checkbox(*alert)) << "no later item clashes";
    EXPECT_TRUE(alert->accessoryView->findByText("Backup is not enabled. Replaced files cannot be recovered."));
    EXPECT_EQ(parent->level(), kFloatingWindowLevel) << "raised while the sheet is up";
    answer(0);
    ASSERT_TRUE(result);
    EXPECT_EQ(parent->level(), kNormalWindowLevel) << "and put back afterwards";
    EXPECT_EQ(contents(destination / "a copy.txt"), "first");

    deliver({stage("a.txt", "second")});
    answer(0);
    EXPECT_EQ(result->deliveredURLs, std::vector<fs::path>{destination / "a copy 2.txt"});
    EXPECT_EQ(contents(destination / "a.txt"), "old");
}

TEST_F(ConflictResolver, ApplyToAllAsksOnceAndStopEndsTheBatchWhateverTheBox) {
    for (auto name : {"1.txt", "2.txt", "3.txt"}) existing(name);
    deliver({stage("1.txt"), stage("free.txt"), stage("2.txt"), stage("3.txt")});
    auto alert = sheet();
    ASSERT_TRUE(alert);
    auto box = checkbox(*alert);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, "Apply to all (2 more conflicts)");
    EXPECT_FALSE(box->isOn);
    answer(0, true);
    ASSERT_TRUE(result);
    EXPECT_EQ(Application::shared().shownAlerts().size(), 0u) << "asked once";
    EXPECT_EQ(result->deliveredURLs,
              (std::vector<fs::path>{destination / "1 copy.txt", destination / "free.txt", destination / "2 copy.txt",
                                     destination / "3 copy.txt"}));

    deliver({stage("1.txt"), stage("2.txt"), stage("late.txt")});
    answer(1, true);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->stoppedByUser);
    EXPECT_TRUE(result->deliveredURLs.empty());
    EXPECT_TRUE(stagingEmptyAtCompletion) << "Stop removes the rest of the batch before its completion runs";
    EXPECT_FALSE(fs::exists(destination / "late.txt"));
}

TEST_F(ConflictResolver, ReplaceKeepsABackupOfWhatItReplaces) {
    existing("a.txt", "old file");
    fs::create_directories(destination / "Photos" / "2025");
    std::ofstream(destination / "Photos" / "2025" / "old.jpg") << "old photo";
    fs::create_directories(staging / "Photos");
    std::ofstream(staging / "Photos" / "new.jpg") << "new photo";
    deliver({stage("a.txt", "new file"), staging / "Photos"}, true, true);
    EXPECT_TRUE(sheet()->accessoryView->findByText(
        "Backup is enabled. The existing file will be saved to the backup folder."));
    answer(2, true);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->failedItemCount, 0u);
    EXPECT_EQ(contents(destination / "a.txt"), "new file");
    EXPECT_EQ(contents(destination / "Photos" / "new.jpg"), "new photo");
    EXPECT_FALSE(fs::exists(destination / "Photos" / "2025")) << "folders are replaced, not merged";

    const fs::path transfer = Folders::home() / "Norvessal Backups" / "transfer";
    std::vector<fs::path> stamps(fs::directory_iterator(transfer), {});
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_TRUE(std::regex_match(stamps[0].filename().string(), std::regex(R"(\d{4}-\d\d-\d\d-\d{6})")));
    EXPECT_EQ(contents(stamps[0] / "Documents" / "a.txt"), "old file");
    EXPECT_EQ(contents(stamps[0] / "Documents" / "Photos" / "2025" / "old.jpg"), "old photo");
    std::vector<fs::path> left(fs::directory_iterator(destination), {});
    EXPECT_EQ(left.size(), 2u) << "no temporary is left in the folder";
}

// A folder opened beneath another user's home is where every choice lands,
// even once its path leads out of that home, and backups stay in that home.
TEST_F(ConflictResolver, AnOpenedFolderKeepsEveryChoiceAndBackupInsideItsHome) {
    const fs::path userHome = dataRoot->path() / "users" / "other";
    const fs::path outside = dataRoot->path() / "outside";
    fs::create_directories(userHome / "In");
    fs::create_directories(outside);
    std::ofstream(userHome / "In" / "a.txt") << "old a";
    std::ofstream(userHome / "In" / "b.txt") << "old b";
    auto top = ConfinedFolder::openTop(userHome);
    ASSERT_TRUE(top.ok());
    auto folder = (*top)->openBeneath("In", false);
    ASSERT_TRUE(folder.ok());
    fs::rename(userHome / "In", userHome / "Checked");
    fs::create_directory_symlink(outside, userHome / "In");

    FileTransferConflictResolver::deliver({stage("a.txt", "new a"), stage("b.txt", "new b"), stage("c.txt", "new c")},
                                          *folder, parent, true, true,
                                          [this](const FileTransferDeliveryResult& r) { result = r; });
    runUntilIdle();
    answer(2);  // Replace a.txt
    answer(0);  // Keep both b.txt
    ASSERT_TRUE(result);
    EXPECT_EQ(result->failedItemCount, 0u);
    EXPECT_TRUE(fs::is_empty(outside));
    const fs::path checked = userHome / "Checked";
    EXPECT_EQ(contents(checked / "a.txt"), "new a");
    EXPECT_EQ(contents(checked / "b.txt"), "old b");
    EXPECT_EQ(contents(checked / "b copy.txt"), "new b");
    EXPECT_EQ(contents(checked / "c.txt"), "new c");
    const fs::path transfer = userHome / "Norvessal Backups" / "transfer";
    ASSERT_TRUE(fs::is_directory(transfer));
    std::vector<fs::path> stamps(fs::directory_iterator(transfer), {});
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_EQ(contents(stamps[0] / "In" / "a.txt"), "old a");
    EXPECT_FALSE(fs::exists(Folders::home() / "Norvessal Backups")) << "not the Host process's home";
}

// Replacing a set-user-ID file with a backup: neither the backup nor the
// new item is ever seen in the user's folders with a set-ID bit, watched
// through the whole delivery and looked at between the steps of each
// item's making.
TEST_F(ConflictResolver, AReplaceWithBackupOfASetIdFileShowsNoSetIdItem) {
    const fs::path userHome = dataRoot->path() / "users" / "other";
    fs::create_directories(userHome / "In");
    std::ofstream(userHome / "In" / "tool") << "#!/bin/sh\necho old\n";
    ::chmod((userHome / "In" / "tool").c_str(), 04755);
    auto top = ConfinedFolder::openTop(userHome);
    ASSERT_TRUE(top.ok());
    auto folder = (*top)->openBeneath("In", false);
    ASSERT_TRUE(folder.ok());

    platform::testing::OwnershipWatch watch(userHome);
    ASSERT_TRUE(watch.started());
    size_t steps = 0;
    FileMoves::setSettleStepForTesting([&] {
        steps++;
        watch.lookNow();
    });
    FileTransferConflictResolver::deliver({stage("tool", "#!/bin/sh\necho new\n")}, *folder, parent, true, true,
                                          [this](const FileTransferDeliveryResult& r) { result = r; });
    runUntilIdle();
    answer(2);  // Replace, keeping a backup
    FileMoves::setSettleStepForTesting(nullptr);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->failedItemCount, 0u);
    EXPECT_GT(steps, 0u) << "the items made were looked at between their steps";
    EXPECT_EQ(platform::testing::OwnershipWatch::setIdLines(watch.finish()), std::vector<std::string>{}) << "an item with a set-ID bit was visible";

    const fs::path transfer = userHome / "Norvessal Backups" / "transfer";
    std::vector<fs::path> stamps(fs::directory_iterator(transfer), {});
    ASSERT_EQ(stamps.size(), 1u);
    struct Case {
        fs::path item;
        std::string text;
    };
    for (const auto& c : {Case{stamps[0] / "In" / "tool", "#!/bin/sh\necho old\n"},
                          Case{userHome / "In" / "tool", "#!/bin/sh\necho new\n"}}) {
        SCOPED_TRACE(c.item.string());
        struct stat info{};
        ASSERT_EQ(::lstat(c.item.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & (S_ISUID | S_ISGID), 0u);
        EXPECT_EQ(contents(c.item), c.text);
    }
}

// A failed Replace or backup keeps both items, and the result names the
// item and counts what a move that could not be undone left in the folder.
TEST_F(ConflictResolver, AFailedReplaceOrBackupKeepsBothItems) {
    using Step = FileMoves::FallbackStep;
    int placed = 0;
    struct Case {
        const char* name;
        bool backup;
        std::function<void(const fs::path& staged)> breakIt;
        // A folder of three items staged in place of a file.
        bool folder = false;
        size_t leftAtTarget = 0;
    };
    const std::vector<Case> cases = {
        {"the move in fails",
         false,
         [](const fs::path& staged) {
             // Moved from its staging folder as opened: the hook hears its name.
             FileMoves::setMoveFailureForTesting([staged](const fs::path& p) { return p == staged.filename(); });
         }},
        {"the backup cannot be written",
         true,
         [](const fs::path&) { std::ofstream(Folders::home() / "Norvessal Backups") << "in the way"; }},
        {"the move in of a folder fails and cannot be undone",
         false,
         [&](const fs::path&) {
             // Without the no-replace flag, the third item placed fails,
             // and so does every undo.
             placed = 0;
             FileMoves::setNoReplaceRefusedForTesting(true);
             FileMoves::setFallbackFailureForTesting([&](Step step, const std::string& relative) {
                 return step == Step::undo || (step == Step::place && !relative.empty() && ++placed == 3);
             });
         },
         true, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        existing("a.txt", "old");
        const auto staged = c.folder ? stage("a.txt/b/c", "c").parent_path().parent_path() : stage("a.txt", "new");
        if (c.folder) stage("a.txt/d", "d");
        c.breakIt(staged);
        deliver({staged}, true, c.backup);
        answer(2);
        FileMoves::setMoveFailureForTesting(nullptr);
        FileMoves::setFallbackFailureForTesting(nullptr);
        FileMoves::setNoReplaceRefusedForTesting(false);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->failedItemCount, 1u);
        EXPECT_EQ(result->failedNames, std::vector<std::string>{"a.txt"});
        EXPECT_EQ(result->leftAtTarget, c.leftAtTarget);
        EXPECT_TRUE(result->deliveredURLs.empty());
        EXPECT_EQ(contents(destination / "a.txt"), "old");
        EXPECT_TRUE(fs::exists(staged)) << "the item stays staged";
        std::vector<fs::path> left(fs::directory_iterator(destination), {});
        EXPECT_EQ(left.size(), c.leftAtTarget > 0 ? 2u : 1u) << "what the undo left is all there is besides";
        fs::remove_all(destination);
        fs::create_directories(destination);
        fs::remove_all(staged);
        fs::remove_all(Folders::home() / "Norvessal Backups");
    }
}

// On the road that asks about clashes, a plain move (no clash) or a Keep
// Both move that fails and cannot be undone is counted with what it left
// in the folder; the item stays staged and nothing else there changes.
TEST_F(ConflictResolver, AFailedPlainOrKeepBothMoveCountsWhatItLeftInTheFolder) {
    using Step = FileMoves::FallbackStep;
    for (const bool clash : {false, true}) {
        SCOPED_TRACE(clash ? "kept both" : "plain");
        if (clash) existing("a.txt", "old");
        const auto staged = stage("a.txt/b/c", "c").parent_path().parent_path();
        stage("a.txt/d", "d");
        // Without the no-replace flag, the third item placed fails, and so
        // does every undo.
        int placed = 0;
        FileMoves::setNoReplaceRefusedForTesting(true);
        FileMoves::setFallbackFailureForTesting([&](Step step, const std::string& relative) {
            return step == Step::undo || (step == Step::place && !relative.empty() && ++placed == 3);
        });
        deliver({staged}, true);
        if (clash) answer(0);  // Keep Both
        FileMoves::setFallbackFailureForTesting(nullptr);
        FileMoves::setNoReplaceRefusedForTesting(false);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->failedItemCount, 1u);
        EXPECT_EQ(result->failedNames, std::vector<std::string>{"a.txt"});
        EXPECT_EQ(result->leftAtTarget, 3u);
        EXPECT_TRUE(result->deliveredURLs.empty());
        EXPECT_TRUE(fs::exists(staged)) << "the item stays staged";
        std::vector<fs::path> left(fs::directory_iterator(destination), {});
        EXPECT_EQ(left.size(), clash ? 2u : 1u) << "what the undo left is all there is besides";
        if (clash) {
            EXPECT_EQ(contents(destination / "a.txt"), "old");
        }
        fs::remove_all(destination);
        fs::create_directories(destination);
        fs::remove_all(staged);
    }
}

// A slow disk: every copy's bytes take two seconds, on whichever queue does
// the copying. The main queue only puts up sheets and hears outcomes.
TEST_F(ConflictResolver, TheMainQueueNeverWaitsOnTheDisk) {
    const std::string large(8 << 20, 'n');
    struct Case {
        const char* name;
        // Sets the scene and names the destination, or none when the
        // machine lacks what the case needs.
        std::function<std::optional<fs::path>()> scene;
        bool backup;
        std::optional<size_t> answer;
    };
    const std::vector<Case> cases = {
        {"Replace with a backup of a large file",
         [&]() -> std::optional<fs::path> {
             existing("large.bin", std::string(8 << 20, 'o'));
             return destination;
         },
         true, 2},
        {"a prompted delivery to another file system",
         [&]() -> std::optional<fs::path> {
             struct stat here{}, there{};
             if (::stat(dataRoot->path().c_str(), &here) != 0 || ::stat("/dev/shm", &there) != 0 ||
                 here.st_dev == there.st_dev)
                 return std::nullopt;
             const fs::path other = fs::path("/dev/shm") / ("resolver-" + UUID::random().uuidString());
             fs::create_directories(other);
             cleanup.push_back(other);
             return other;
         },
         false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto scene = c.scene();
        if (!scene) {
            ADD_FAILURE() << "this machine has no second file system at /dev/shm";
            continue;
        }
        destination = *scene;
        int copies = 0;
        FileMoves::setCopyFailureForTesting([&](const fs::path&) {
            copies++;
            sleepFor(2);
            return false;
        });
        DispatchQueue::main().resetLongestWorkItemForTesting();
        deliver({stage("large.bin", large)}, true, c.backup);
        if (c.answer) answer(*c.answer);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->deliveredURLs, std::vector<fs::path>{destination / "large.bin"});
        EXPECT_EQ(contents(destination / "large.bin"), large);
        EXPECT_GE(copies, 1) << "the case copies bytes";
        EXPECT_LE(DispatchQueue::main().longestWorkItemSecondsForTesting(), 0.1);
        FileMoves::setCopyFailureForTesting(nullptr);
    }
}

TEST_F(ConflictResolver, WithoutPromptsOrAWindowClashesKeepBoth) {
    existing("a.txt");
    deliver({stage("a.txt")}, false);
    EXPECT_FALSE(sheet());
    EXPECT_EQ(result->deliveredURLs, std::vector<fs::path>{destination / "a copy.txt"});

    parent->orderOut();
    auto hidden = Window::make({100, 100}, kWindowStyleTitled);
    deliver({stage("a.txt")}, true, false, hidden);
    ASSERT_TRUE(result) << "no visible window: nobody is asked";
    EXPECT_EQ(result->deliveredURLs, std::vector<fs::path>{destination / "a copy 2.txt"});
}

TEST_F(ConflictResolver, AnUncreatableDestinationFailsAndUnstagesEverything) {
    std::ofstream(Folders::home() / "blocked") << "a file";
    destination = Folders::home() / "blocked" / "inside";
    deliver({stage("a.txt"), stage("b.txt")});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->failedItemCount, 2u);
    EXPECT_EQ(result->failedNames, (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_TRUE(stagingEmptyAtCompletion);
}

TEST_F(ConflictResolver, DetailLinesUseDecimalUnitsAndLocalTime) {
    const char* oldZone = std::getenv("TZ");
    const std::optional<std::string> saved = oldZone ? std::optional<std::string>(oldZone) : std::nullopt;
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    struct Case {
        uint64_t size;
        std::optional<Date> date;
        const char* text;
    };
    const Case cases[] = {
        {999, std::nullopt, "999 B"},
        {1500, Date{1796484600}, "2 KB \u00B7 Modified: 2026-12-05 15:30"},
        {999999, std::nullopt, "1000 KB"},
        {1500000, std::nullopt, "1.5 MB"},
    };
    for (const auto& c : cases) EXPECT_EQ(FileTransferConflictAlert::detailText(c.size, c.date), c.text);
    if (saved) ::setenv("TZ", saved->c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
