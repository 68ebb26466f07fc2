// Files the Host sends on its own initiative: the Services entries with the
// destination picker, and a Viewer's drag pull. End to end through real
// loopback sockets with test Viewers that hold data channels.

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "HostApp/Protocol/InputControlPayloads.h"
#include "HostApp/Shell/HostShellTestFixture.h"
#include "Platform/AppKit/AppKitServices.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Security/Sha256Stream.h"
#include "Support/FileTransferTestViewer.h"
#include "Support/SendDestinationPickerDriver.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

namespace fs = std::filesystem;
using platform::Pasteboard;
using platform::UUID;

namespace {

Pasteboard pasteboardWith(const std::vector<std::string>& fileURLStrings,
                          const std::optional<std::vector<std::string>>& legacyNames = std::nullopt,
                          bool foreignObject = false) {
    Pasteboard pb = platform::makeUniquePasteboard();
    auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    platform::SimulatedMachine::current().component<platform::SimulatedPasteboards>().withContents(
        pb.name(), [&](platform::SimulatedPasteboards::Contents& c) {
            for (const auto& url : fileURLStrings) c.items.push_back({{platform::kPasteboardTypeFileURL, bytes(url)}});
            if (foreignObject) c.items.push_back({{platform::kPasteboardTypeForeignObjectForTesting, bytes("?")}});
            if (legacyNames) {
                platform::PlistValue::Array list(legacyNames->begin(), legacyNames->end());
                c.items.push_back({{platform::kPasteboardTypeLegacyFilenames, platform::PropertyList::writeXML(list)}});
            }
            return 0;
        });
    return pb;
}

TEST(ServiceFileURLs, EachFileOnceAsFirstRead) {
    platform::testing::TemporaryDataRoot root;
    struct Case {
        const char* name;
        Pasteboard pasteboard;
        std::vector<fs::path> expected;
    };
    const std::vector<Case> cases{
        {"one file three ways", pasteboardWith({"file:///d/./a.txt", "file:///d/b.txt"}, std::vector<std::string>{"/d/a.txt"}),
         {"/d/./a.txt", "/d/b.txt"}},
        {"current and parent folder parts", pasteboardWith({"file:///a/./b", "file:///a/x/../b", "file:///a/b/"}),
         {"/a/./b"}},
        {"a non-URL drops the URL read only", pasteboardWith({"file:///d/u"}, std::vector<std::string>{"/d/legacy"}, true),
         {"/d/legacy", "/d/u"}},
        {"the same without it", pasteboardWith({"file:///d/u"}, std::vector<std::string>{"/d/legacy"}),
         {"/d/u", "/d/legacy"}},
        {"other URLs and bad names", pasteboardWith({"https://example.invalid/x", "file:///ok"}, std::vector<std::string>{""}),
         {"/ok"}},
        {"nothing", pasteboardWith({}), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HostProbeDelegate::serviceFileURLs(c.pasteboard), c.expected);
    }
}

TEST(SendDestinationOptions, PeersOrOneOptionForAllViewers) {
    const UUID a = *UUID::parse("11111111-2222-3333-4444-555555555555");
    const UUID b = *UUID::parse("aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee");
    struct Case {
        const char* name;
        std::vector<FileTransferPeer> peers;
        std::vector<std::string> names;
        std::vector<SendDestinationOption> expected;
    };
    const std::vector<Case> cases{
        {"two peers", {{a, "Studio"}, {b, "Laptop"}}, {"ignored"},
         {{a.uuidString(), "Studio", "Connected Viewer"}, {"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE", "Laptop", "Connected Viewer"}}},
        {"one name", {}, {"  Studio "}, {{"viewer", "Studio", "Connected Viewer"}}},
        {"two names", {}, {"a", "b"}, {{"viewer", "a, b", "All connected Viewers"}}},
        {"no names", {}, {}, {{"viewer", "Norvessal", "Connected Viewer"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HostProbeDelegate::sendDestinationOptions(c.peers, c.names), c.expected);
    }

    const std::vector<std::pair<std::vector<std::string>, std::string>> summaries{
        {{}, "Norvessal"},
        {{" ", ""}, "Norvessal"},
        {{"a", "b"}, "a, b"},
        {{" Studio ", "STUDIO", "", "studio"}, "Studio"},
        {{"a", "b", "c", "A"}, "a + 2 Viewers"},
    };
    for (const auto& [names, summary] : summaries) EXPECT_EQ(HostProbeDelegate::viewerDisplayNameSummary(names), summary);
}

class OutgoingSends : public HostShellTest {
protected:
    void SetUp() override {
        launch();
        server = delegate->audioServer();
        fs::create_directories(source);
        std::ofstream(source / "report.pdf", std::ios::binary) << std::string(300000, 'r') << "end";
    }

    std::unique_ptr<FileTransferTestViewer> viewer(const std::string& name) {
        auto v = FileTransferTestViewer::connect(runtime, server, *log, consoleUser, password, name);
        EXPECT_FALSE(v->session == UUID{});
        return v;
    }

    // Performs the Services entry as its menu item would, then lets the
    // picker run `script`; the Services request's error text.
    std::optional<std::string> sendViaServices(const Pasteboard& pb, std::function<void(PickerControls&)> script) {
        std::optional<std::string> error;
        onMain([&] {
            error = platform::performServiceForTesting("sendFilesToViewer", pb);
            if (script) whenPickerOpens(std::move(script));
        });
        runUntilIdle();
        return error;
    }

    bool settle(const std::function<bool()>& predicate) { return settleInModal(*runtime, predicate); }
    static std::string digest(const fs::path& p) {
        auto d = platform::crypto::Sha256Stream::ofFile(p);
        return d ? std::string(d->begin(), d->end()) : "<unreadable>";
    }
    static size_t countOf(const FileTransferTestViewer& v, FileTransferOp op) {
        return std::count_if(v.received.begin(), v.received.end(), [&](const auto& p) { return p.op == op; });
    }

    std::shared_ptr<V230HostAudioAuxServer> server;
    fs::path source = dataRoot->path() / "outgoing";
};

TEST_F(OutgoingSends, NoFilesOrNoViewer) {
    EXPECT_EQ(sendViaServices(pasteboardWith({}), nullptr), "No files were provided to Norvessal Host.");
    for (const auto& w : app().windows()) EXPECT_NE(w->title, "Send to Norvessal Viewer");

    std::vector<std::string> shown;
    onMain([&] {
        platform::DispatchQueue::main().asyncAfter(1.0, [&] {
            for (const auto& alert : app().shownAlerts()) {
                shown = {alert->messageText, alert->informativeText};
                for (const auto& b : alert->buttonTitles()) shown.push_back(b);
                alert->pressButton(0);
            }
        });
    });
    EXPECT_EQ(sendViaServices(pasteboardWith({Pasteboard::fileURLString(source / "report.pdf")}), nullptr), std::nullopt);
    advance(2);
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "No Norvessal Viewer is connected.",
                         "Open Norvessal on the other device and connect to this Host first, then try Send files via "
                         "Norvessal again.",
                         "OK"}));
    EXPECT_FALSE(diagnosticsContain("files: queued"));
}

TEST_F(OutgoingSends, TheChosenViewerAloneGetsTheFilesAndItsFolderIsListedOverItsChannel) {
    auto a = viewer("Studio");
    auto b = viewer("Laptop");
    onMain([&] { delegate->fileDelivery.latestInboundFileBatchID = UUID::random(); });
    const auto pb = pasteboardWith({Pasteboard::fileURLString(source / "report.pdf")});
    int bRow = -1;

    EXPECT_EQ(sendViaServices(pb,
                              [&](PickerControls& ui) {
                                  EXPECT_EQ(ui.window->title, "Send to Norvessal Viewer");
                                  EXPECT_TRUE(ui.window->contentView->findByText("Sending 1 item via Norvessal."));
                                  ASSERT_EQ(ui.table->numberOfRows(), 2);
                                  std::set<std::string> names;
                                  int laptop = -1;
                                  for (int row = 0; row < 2; ++row) {
                                      auto cell = ui.table->viewAt(row);
                                      names.insert(cell->subviews().at(0)->text);
                                      if (cell->subviews().at(0)->text == "Laptop") laptop = row;
                                      EXPECT_EQ(cell->subviews().at(1)->text, "Connected Viewer");
                                  }
                                  EXPECT_EQ(names, (std::set<std::string>{"Studio", "Laptop"}));
                                  ui.table->selectRow(laptop);
                                  bRow = laptop;
                                  ui.typePath("~/Inbox");
                                  ui.remember->performClick();
                                  ui.send->performClick();
                              }),
              std::nullopt);
    ASSERT_TRUE(runUntil([&] { return b->completed.size() == 1; }));
    ASSERT_GE(b->received.size(), 2u);
    EXPECT_EQ(b->received[0].op, FileTransferOp::directSave);
    EXPECT_EQ(b->received[0].path, "~/Inbox");
    EXPECT_EQ(b->received[0].value1, 0u);
    EXPECT_EQ(b->received[1].op, FileTransferOp::batchStart);
    EXPECT_EQ(batchStartIntent(b->received[1].value2), FileTransferIntent::copy);
    EXPECT_EQ(countOf(*b, FileTransferOp::batchIntent), 0u);
    EXPECT_EQ(digest(b->completed[0].second.at(0)), digest(source / "report.pdf"));
    runUntilIdle();
    EXPECT_TRUE(a->received.empty());
    EXPECT_FALSE(FileTransferCenter::shared().rows.count(b->completed[0].first));
    EXPECT_TRUE(diagnosticsContain("files: invalidated inbound clipboard claim (host service send)"));
    EXPECT_TRUE(diagnosticsContain("files: queued 1 item(s) via service -> ~/Inbox"));
    ASSERT_TRUE(SendDestinationMemory::recall());
    EXPECT_EQ(SendDestinationMemory::recall()->peer.id, b->session.uuidString());

    // Next time the picker starts from B and "~/Inbox"; Home is listed by B
    // alone, over its channel.
    const std::string home = platform::Folders::home().lexically_normal().string();
    fs::create_directories(platform::Folders::home() / "Pictures");
    sendViaServices(pb, [&](PickerControls& ui) {
        EXPECT_EQ(ui.table->selectedRow(), bRow);
        EXPECT_TRUE(ui.remember->isOn);
        EXPECT_EQ(ui.path->text, "~/Inbox");
        EXPECT_EQ(ui.rows().front(), "Inbox");
        ui.outline->selectRow(ui.row("Home"));
        ASSERT_TRUE(settle([&] { return ui.status->text.starts_with("Loaded ") || ui.status->text.starts_with("No "); }));
        EXPECT_EQ(ui.path->text, home);
        EXPECT_GE(ui.row("Pictures"), 0);
        EXPECT_EQ(countOf(*b, FileTransferOp::listDir), 1u);
        EXPECT_TRUE(a->received.empty());
        ui.cancel->performClick();
    });
    EXPECT_EQ(diagnosticsCount("files: queued"), 1u);
}

TEST_F(OutgoingSends, AViewerThatLeftWhileThePickerWasOpenGetsNothing) {
    auto a = viewer("Studio");
    sendViaServices(pasteboardWith({Pasteboard::fileURLString(source / "report.pdf")}), [&](PickerControls& ui) {
        a->control->close();
        a->channel->cancel();
        ASSERT_TRUE(settle([&] { return !server->hasConnectedViewer(); }));
        ui.send->performClick();
    });
    runUntilIdle();
    EXPECT_FALSE(diagnosticsContain("files: queued"));
}

TEST_F(OutgoingSends, TheFallbackReachesEveryViewerAndNonFilesNothing) {
    auto a = viewer("Studio");
    auto b = viewer("Laptop");
    onMain([&] { delegate->dispatchSendToViewer({"relative/name"}, "~/x", "viewer"); });
    runUntilIdle();
    EXPECT_FALSE(diagnosticsContain("files: queued"));
    onMain([&] { delegate->dispatchSendToViewer({source / "report.pdf"}, "~/x", "viewer"); });
    ASSERT_TRUE(runUntil([&] { return a->completed.size() == 1 && b->completed.size() == 1; }));
    EXPECT_EQ(digest(a->completed[0].second.at(0)), digest(b->completed[0].second.at(0)));
}

TEST_F(OutgoingSends, ADragPullReachesThePullingViewerOnly) {
    auto a = viewer("Studio");
    auto b = viewer("Laptop");
    Pasteboard drag = Pasteboard::drag();
    drag.clearContents();
    drag.writeFileURLs({source / "report.pdf"});
    advance(0.6);
    ASSERT_TRUE(a->control->waitForPacket(AuxPacketType::dragSnapshot));

    a->control->send(AuxPacketType::dragPull, DragPullRequestPayload{9, 0}.encode());
    a->control->settle();
    runUntilIdle();
    EXPECT_TRUE(diagnosticsContain("drag pull: stale snapshot=9 index=0"));
    EXPECT_TRUE(a->received.empty());

    a->control->send(AuxPacketType::dragPull, DragPullRequestPayload{1, 0}.encode());
    a->control->flush();
    ASSERT_TRUE(runUntil([&] { return a->completed.size() == 1; }));
    EXPECT_TRUE(diagnosticsContain("drag pull: serving report.pdf snapshot=1 index=0"));
    EXPECT_EQ(a->completedIntents.at(0), FileTransferIntent::pullForPromise);
    EXPECT_EQ(digest(a->completed[0].second.at(0)), digest(source / "report.pdf"));
    EXPECT_EQ(countOf(*a, FileTransferOp::batchStart), 1u);
    EXPECT_EQ(countOf(*a, FileTransferOp::directSave), 0u);
    runUntilIdle();
    EXPECT_TRUE(b->received.empty());
}

TEST_F(OutgoingSends, RepeatedDragPullsOfAnItemBeingServedAreDropped) {
    auto a = viewer("Studio");
    Pasteboard drag = Pasteboard::drag();
    drag.clearContents();
    drag.writeFileURLs({source / "report.pdf"});
    advance(0.6);
    ASSERT_TRUE(a->control->waitForPacket(AuxPacketType::dragSnapshot));

    const size_t pulls = 200;
    for (size_t i = 0; i < pulls; ++i) a->control->send(AuxPacketType::dragPull, DragPullRequestPayload{1, 0}.encode());
    a->control->flush();
    ASSERT_TRUE(runUntil([&] { return diagnosticsContain("drag pull: dropped"); }));
    ASSERT_TRUE(runUntil(
        [&] { return !a->completed.empty() && a->completed.size() == countOf(*a, FileTransferOp::batchStart); }));
    runUntilIdle();
    // Repeats arriving while the item is on its way are dropped; only one
    // that comes after it was sent may start another.
    EXPECT_LE(countOf(*a, FileTransferOp::batchStart), 3u);
    EXPECT_EQ(diagnosticsCount("drag pull: dropped"), 1u) << "one line a second";
    EXPECT_EQ(digest(a->completed.at(0).second.at(0)), digest(source / "report.pdf"));

    // Once sent, the item may be pulled again.
    const size_t before = countOf(*a, FileTransferOp::batchStart);
    a->control->send(AuxPacketType::dragPull, DragPullRequestPayload{1, 0}.encode());
    a->control->flush();
    ASSERT_TRUE(runUntil([&] { return countOf(*a, FileTransferOp::batchStart) == before + 1; }));
}

TEST_F(OutgoingSends, ASendPickedForAViewerThatLeftFailsAtOnceAndKeepsNothing) {
    auto a = viewer("Studio");
    auto b = viewer("Laptop");
    const std::string gone = a->session.uuidString();
    a->disconnect();
    ASSERT_TRUE(runUntil([&] { return !server->queue.syncValue([&] { return server->viewerSessionNames.contains(a->session); }); }));
    runUntilIdle();
    auto& center = FileTransferCenter::shared();
    const size_t rowsBefore = center.rows.size();
    onMain([&] { delegate->dispatchSendToViewer({source / "report.pdf"}, "~/x", gone); });
    runUntilIdle();
    EXPECT_TRUE(diagnosticsContain("files: send failed; Viewer session " + gone.substr(0, 8) + " has left"));
    EXPECT_FALSE(diagnosticsContain("is unavailable")) << "nothing was queued for the session";
    ASSERT_EQ(center.rows.size(), rowsBefore + 1);
    bool shownFailed = false;
    for (const auto& [id, row] : center.rows)
        if (row->statusLbl && row->statusLbl->text == "The Viewer is no longer connected.") shownFailed = true;
    EXPECT_TRUE(shownFailed);
    EXPECT_TRUE(b->received.empty());
}

}  // namespace
