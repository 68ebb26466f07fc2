// The send-destination picker driven as the user drives it, in virtual
// time: its listings go through a real service whose packets the test
// records and answers, and the remembered choice through user defaults.

#include <gtest/gtest.h>

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Support/SendDestinationPickerDriver.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"
#include "VelantrixProfiles/FileTransfer/SendDestinationPicker.h"

using platform::UUID;

namespace {

const std::string idA = "11111111-2222-3333-4444-555555555555";
const std::string idB = "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";
const SendDestinationOption viewerA{idA, "Studio Mac", "Connected Viewer"};
const SendDestinationOption viewerB{idB, "Laptop", "Connected Viewer"};

// Runs the main queue's due work, and `seconds` of virtual time, inside
// the modal loop.
void step(double seconds = 0) { platform::Runtime::current().runMainQueue(seconds, nullptr); }

class Picker : public platform::testing::VirtualTimeTest {
protected:
    struct Request {
        UUID id;
        std::string path;
        std::optional<std::string> token;
    };

    void SetUp() override {
        service->routedSendPacket = [this](FileTransferPacket p, const std::optional<std::string>& token) {
            if (p.op == FileTransferOp::listDir) requests.push_back({p.batchID, p.path, token});
            return true;
        };
        service->onDirectoryListing = [this](const UUID& id, const std::string&, const std::vector<RemoteDirectoryEntry>&) {
            passedOn.push_back(id);
        };
    }

    std::optional<SendDestinationResult> run(std::vector<SendDestinationOption> peers,
                                             std::optional<SendDestinationResult> previous,
                                             std::function<void(PickerControls&)> script,
                                             bool browsing = true) {
        int calls = 0;
        std::optional<SendDestinationResult> answer;
        platform::DispatchQueue::main().sync([&] {
            whenPickerOpens(std::move(script));
            SendDestinationPicker::present("Send", "Sending 1 item via Norvessal.", peers,
                                           SendDestinationPicker::defaultPresets(), previous,
                                           browsing ? service : nullptr, [&](std::optional<SendDestinationResult> r) {
                                               calls++;
                                               answer = std::move(r);
                                           });
        });
        EXPECT_EQ(calls, 1);
        EXPECT_FALSE(platform::modalWindow());
        return answer;
    }

    // A device's answer to a listing, as it arrives from the wire: from the
    // session it was asked of, unless `from` names another.
    void reply(const UUID& id, const std::string& path, const std::vector<RemoteDirectoryEntry>& entries,
               std::optional<std::string> from = std::nullopt) {
        FileTransferPacket p;
        p.op = FileTransferOp::listDirReply;
        p.batchID = id;
        p.path = path;
        p.data = RemoteDirectoryEntry::encodeListing(entries);
        if (!from) {
            for (const auto& r : requests)
                if (r.id == id) from = r.token;
        }
        service->handleIncomingPacket(std::move(p), from);
        step();
    }

    std::shared_ptr<FileTransferService> service = std::make_shared<FileTransferService>("Viewer", 262144);
    std::vector<Request> requests;
    std::vector<UUID> passedOn;
};

const std::vector<RemoteDirectoryEntry> homeEntries{{"Music", true}, {"notes.txt", false, 5}, {"Projects", true}};

TEST_F(Picker, OpensFromTheRememberedChoiceOrFromTheDefaults) {
    struct Case {
        const char* name;
        std::optional<SendDestinationResult> previous;
        int selectedRow;
        bool checkbox;
        std::string path;
        std::vector<std::string> roots;
    };
    const std::vector<Case> cases{
        {"no previous choice", std::nullopt, 0, false, "~/Desktop", {"Home", "Desktop", "Downloads", "Documents"}},
        {"remembered on B", SendDestinationResult{{idB, "Laptop", {}}, " ~/Inbox/Drop ", true}, 1, true,
         " ~/Inbox/Drop ", {"Drop", "Home", "Desktop", "Downloads", "Documents"}},
        {"a preset's path adds no root", SendDestinationResult{{idA, "Studio Mac", {}}, "~/Downloads", false}, 0, false,
         "~/Downloads", {"Home", "Desktop", "Downloads", "Documents"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run({viewerA, viewerB}, c.previous, [&](PickerControls& ui) {
            EXPECT_EQ(ui.window->level(), platform::kModalPanelWindowLevel);
            EXPECT_EQ(ui.table->selectedRow(), c.selectedRow);
            EXPECT_EQ(ui.remember->isOn, c.checkbox);
            EXPECT_EQ(ui.path->text, c.path);
            EXPECT_EQ(ui.path->placeholderString, "~/Desktop");
            EXPECT_EQ(ui.rows(), c.roots);
            EXPECT_EQ(ui.status->text, "Select a folder, use a preset, or type a path and click Load.");
            ui.cancel->performClick();
        });
    }
    EXPECT_TRUE(requests.empty());
}

TEST_F(Picker, HomeIsAskedOfTheSelectedDeviceOnlyAndTakesItsAbsolutePath) {
    auto answer = run({viewerA, viewerB}, std::nullopt, [&](PickerControls& ui) {
        ui.table->selectRow(1);
        ui.outline->selectRow(ui.row("Home"));
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].path, "~");
        EXPECT_EQ(requests[0].token, idB);
        EXPECT_EQ(ui.rows(), (std::vector<std::string>{"Home", "Loading...", "Desktop", "Downloads", "Documents"}));
        EXPECT_EQ(ui.status->text, "Loading ~ from Laptop...");
        // Selected again, and loaded by path, while in flight: no second request.
        ui.outline->deselectAll();
        ui.outline->selectRow(ui.row("Home"));
        ui.typePath("~");
        ui.load->performClick();
        EXPECT_EQ(requests.size(), 1u);

        reply(requests[0].id, "/Users/laptop", homeEntries);
        EXPECT_EQ(ui.rows(), (std::vector<std::string>{"Home", "Music", "Projects", "Desktop", "Downloads", "Documents"}));
        EXPECT_EQ(ui.path->text, "/Users/laptop");
        EXPECT_EQ(ui.status->text, "Loaded /Users/laptop");
        // The device answering again, or another Viewer answering under the
        // same ID, is not applied nor handed on: only the asked one's first
        // answer is taken.
        reply(requests[0].id, "/Users/other", {{"Elsewhere", true}});
        reply(requests[0].id, "/Users/other", {{"Elsewhere", true}}, idA);
        EXPECT_EQ(ui.row("Elsewhere"), -1);
        EXPECT_TRUE(passedOn.empty());

        ui.outline->selectRow(ui.row("Projects"));
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].path, "/Users/laptop/Projects");
        reply(requests[1].id, "/Users/laptop/Projects", {});
        EXPECT_EQ(ui.status->text, "No subfolders in /Users/laptop/Projects; this folder is selected.");
        // Listed: selecting it again asks nothing.
        ui.outline->selectRow(ui.row("Music"));
        ui.outline->selectRow(ui.row("Projects"));
        EXPECT_EQ(requests.size(), 3u);
        ui.send->performClick();
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->peer, viewerB);
    EXPECT_EQ(answer->destination, "/Users/laptop/Projects");
    EXPECT_FALSE(answer->remember);
}

TEST_F(Picker, NamesThatWouldLeaveTheListedFolderAreNotOffered) {
    run({viewerA}, std::nullopt, [&](PickerControls& ui) {
        ui.outline->selectRow(ui.row("Home"));
        ASSERT_EQ(requests.size(), 1u);
        reply(requests[0].id, "/Users/a",
              {{"..", true}, {".", true}, {"", true}, {"x/../../etc", true}, {std::string("n\0ul", 4), true},
               {"Projects", true}});
        EXPECT_EQ(ui.rows(), (std::vector<std::string>{"Home", "Projects", "Desktop", "Downloads", "Documents"}));
        ui.outline->selectRow(ui.row("Projects"));
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].path, "/Users/a/Projects");
        ui.cancel->performClick();
    });
}

TEST_F(Picker, TheFallbackOptionAsksEveryDevice) {
    run({{"viewer", "a, b", "All connected Viewers"}}, std::nullopt, [&](PickerControls& ui) {
        ui.pressPreset("~/Documents");
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].path, "~/Documents");
        EXPECT_EQ(requests[0].token, std::nullopt);
        EXPECT_EQ(ui.path->text, "~/Documents");
        ui.cancel->performClick();
    });
}

TEST_F(Picker, ALateReplyReachesThePreviousHookAndLoadAsksAgain) {
    run({viewerA}, std::nullopt, [&](PickerControls& ui) {
        ui.outline->selectRow(ui.row("Desktop"));
        ASSERT_EQ(requests.size(), 1u);
        step(5.5);
        EXPECT_EQ(ui.rows().at(2), "Loading...");
        step(0.5);
        EXPECT_EQ(ui.status->text, "No folder list response for ~/Desktop; type a path or use a preset.");
        EXPECT_EQ(ui.rows(), (std::vector<std::string>{"Home", "Desktop", "Downloads", "Documents"}));
        reply(requests[0].id, "/Users/a/Desktop", homeEntries);
        EXPECT_EQ(passedOn, std::vector<UUID>{requests[0].id});
        EXPECT_EQ(ui.row("Music"), -1);
        // Selecting the timed-out folder asks nothing; Load on its path does.
        ui.outline->selectRow(ui.row("Home"));
        ui.outline->selectRow(ui.row("Desktop"));
        EXPECT_EQ(requests.size(), 2u);
        ui.typePath(" ~/Desktop ");
        ui.load->performClick();
        EXPECT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests.back().path, "~/Desktop");
        // A typed path that is no root becomes the first one.
        ui.typePath("/Volumes/Shared/");
        ui.load->performClick();
        EXPECT_EQ(ui.rows().front(), "Shared");
        EXPECT_EQ(requests.back().path, "/Volumes/Shared/");
        ui.window->performClose();
    });
}

TEST_F(Picker, AnotherDeviceResetsTheRootsAndDropsPendingListings) {
    auto answer = run({viewerA, viewerB}, std::nullopt, [&](PickerControls& ui) {
        ui.outline->selectRow(ui.row("Home"));
        reply(requests[0].id, "/Users/a", homeEntries);
        ui.outline->selectRow(ui.row("Music"));
        ASSERT_EQ(requests.size(), 2u);
        ui.typePath("~/kept");
        ui.table->selectRow(1);
        EXPECT_EQ(ui.rows(), (std::vector<std::string>{"Home", "Desktop", "Downloads", "Documents"}));
        EXPECT_EQ(ui.path->text, "~/kept");
        reply(requests[1].id, "/Users/a/Music", homeEntries);
        EXPECT_EQ(passedOn, std::vector<UUID>{requests[1].id});
        step(6.0);
        EXPECT_EQ(ui.status->text, "Select a folder, use a preset, or type a path and click Load.");
        // Clearing the table's selection keeps the device.
        ui.table->deselectAll();
        ui.send->performClick();
    });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->peer, viewerB);
    EXPECT_EQ(answer->destination, "~/kept");
}

TEST_F(Picker, DoubleClickListsAndTogglesWhileTheTriangleAloneAsksNothing) {
    run({viewerA}, std::nullopt, [&](PickerControls& ui) {
        auto documents = ui.outline->itemAtRow(ui.row("Documents"));
        ui.outline->expandItem(documents);
        EXPECT_TRUE(requests.empty());
        EXPECT_EQ(ui.rows(), (std::vector<std::string>{"Home", "Desktop", "Downloads", "Documents"}));

        ui.outline->doubleClickRow(ui.row("Downloads"));
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].path, "~/Downloads");
        reply(requests[0].id, "/Users/a/Downloads", {{"Old", true}});
        EXPECT_EQ(ui.rows(), (std::vector<std::string>{"Home", "Desktop", "Downloads", "Old", "Documents"}));
        // Expanded: a double click collapses, the next expands without asking.
        ui.outline->doubleClickRow(ui.row("Downloads"));
        EXPECT_EQ(ui.row("Old"), -1);
        ui.outline->doubleClickRow(ui.row("Downloads"));
        EXPECT_GE(ui.row("Old"), 0);
        EXPECT_EQ(requests.size(), 1u);
        // The placeholder row does nothing.
        ui.outline->doubleClickRow(ui.row("Old"));
        ui.outline->selectRow(ui.row("Old"));
        ASSERT_EQ(requests.size(), 2u);
        ui.outline->doubleClickRow(ui.row("Loading..."));
        ui.outline->selectRow(ui.row("Loading..."));
        EXPECT_EQ(requests.size(), 2u);
        EXPECT_EQ(ui.path->text, "/Users/a/Downloads/Old");
        ui.cancel->performClick();
    });
}

TEST_F(Picker, EndingTheSession) {
    struct Case {
        const char* name;
        std::vector<SendDestinationOption> peers;
        bool browsing;
        std::function<void(PickerControls&)> end;
        std::optional<std::string> destination;
        int beeps;
    };
    const std::vector<Case> cases{
        {"blank path beeps and stays, then trimmed", {viewerA}, true,
         [](PickerControls& ui) {
             ui.typePath("  \n");
             ui.send->performClick();
             ui.load->performClick();
             ASSERT_TRUE(platform::modalWindow());
             ui.typePath("  ~/Inbox \n");
             EXPECT_TRUE(ui.window->performKeyEquivalent("\r"));
         },
         "~/Inbox", 2},
        {"close box", {viewerA}, true, [](PickerControls& ui) { ui.window->performClose(); }, std::nullopt, 0},
        {"escape", {viewerA}, true, [](PickerControls& ui) { ui.window->performKeyEquivalent("\x1b"); }, std::nullopt, 0},
        {"no device", {}, true,
         [](PickerControls& ui) {
             EXPECT_EQ(ui.table->numberOfRows(), 1);
             EXPECT_EQ(ui.table->viewAt(0)->text, "No connected device");
             EXPECT_FALSE(ui.send->isEnabled);
             ui.send->performClick();
             ui.cancel->performClick();
         },
         std::nullopt, 0},
        {"no browsing: typed path still sent", {viewerA}, false,
         [](PickerControls& ui) {
             EXPECT_FALSE(ui.load->isEnabled);
             EXPECT_EQ(ui.status->text, "Remote browsing unavailable; use a preset or type a folder path.");
             ui.pressPreset("~/Downloads");
             EXPECT_EQ(ui.status->text, "Remote browsing unavailable; the typed path will still be used.");
             ui.send->performClick();
         },
         "~/Downloads", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int beepsBefore = platform::beepCountForTesting();
        auto answer = run(c.peers, std::nullopt, c.end, c.browsing);
        EXPECT_EQ(answer ? std::optional(answer->destination) : std::nullopt, c.destination);
        EXPECT_EQ(platform::beepCountForTesting() - beepsBefore, c.beeps);
        // The hook the picker replaced is back, whichever way it ended.
        auto hook = service->onDirectoryListing.get();
        ASSERT_TRUE(hook);
        passedOn.clear();
        hook(UUID::random(), "/", {});
        EXPECT_EQ(passedOn.size(), 1u);
    }
    EXPECT_TRUE(requests.empty());
}

TEST(SendDestinationMemory, RecallsOnlyAWholeChoice) {
    platform::testing::TemporaryDataRoot root;
    auto& defaults = platform::UserDefaults::standard();
    using D = platform::PlistValue::Dictionary;
    struct Case {
        const char* name;
        std::optional<platform::PlistValue> stored;
        std::optional<SendDestinationResult> recalled;
    };
    const std::vector<Case> cases{
        {"nothing stored", std::nullopt, std::nullopt},
        {"whole", D{{"peerID", "x"}, {"peerName", "X"}, {"destination", "~/d"}, {"remember", true}},
         SendDestinationResult{{"x", "X", std::nullopt}, "~/d", true}},
        {"without remember", D{{"peerID", "x"}, {"peerName", "X"}, {"destination", "~/d"}},
         SendDestinationResult{{"x", "X", std::nullopt}, "~/d", false}},
        {"remember not a Bool", D{{"peerID", "x"}, {"peerName", "X"}, {"destination", "~/d"}, {"remember", "yes"}},
         SendDestinationResult{{"x", "X", std::nullopt}, "~/d", false}},
        {"without peerName", D{{"peerID", "x"}, {"destination", "~/d"}, {"remember", true}}, std::nullopt},
        {"destination not a string", D{{"peerID", "x"}, {"peerName", "X"}, {"destination", 3}}, std::nullopt},
        {"not a dictionary", platform::PlistValue("x"), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.stored) defaults.set(SendDestinationMemory::defaultsKey, *c.stored);
        else defaults.removeObject(SendDestinationMemory::defaultsKey);
        EXPECT_EQ(SendDestinationMemory::recall(), c.recalled);
    }

    const SendDestinationResult choice{{idA, "Studio Mac", "Connected Viewer"}, "~/Inbox", true};
    SendDestinationMemory::remember(choice);
    auto stored = defaults.objectForKey("velantrix.sendDestination.lastChoice");
    ASSERT_TRUE(stored && stored->isDictionary());
    EXPECT_EQ(stored->asDictionary()->size(), 4u);
    EXPECT_EQ(SendDestinationMemory::recall(), (SendDestinationResult{{idA, "Studio Mac", std::nullopt}, "~/Inbox", true}));
    SendDestinationMemory::forget();
    EXPECT_FALSE(SendDestinationMemory::recall());
}

}  // namespace
