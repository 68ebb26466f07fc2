// The clipboard bridge on a simulated general pasteboard, in virtual time:
// what a copy on the Host offers, how undelivered changes are retried, how a
// Viewer's transfer lands, and where received files go.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <fstream>
#include <set>

#include <malloc.h>

#include "Platform/Runtime/Clock.h"
#include "Platform/Files/FileIO.h"
#include "Platform/Files/Folders.h"
#include "Platform/AppKit/Pasteboard.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/Foundation/Uuid.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/Clipboard/ClipboardSyncBridge.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kMaxFile = 33554432, kMaxTotal = 50331648;

BitmapImage checker() {
    std::vector<uint8_t> rgba;
    for (int i = 0; i < 12; ++i) rgba.insert(rgba.end(), {uint8_t(i * 20), uint8_t(255 - i), 7, uint8_t(i % 2 ? 255 : 90)});
    return BitmapImage(4, 3, rgba);
}

ClipboardTransferFile file(std::string name, size_t size = 3) {
    return {std::move(name), "public.data", std::vector<uint8_t>(size, 'x')};
}

ClipboardTransfer filesFrom(std::string sourceID, std::vector<ClipboardTransferFile> files) {
    return {std::move(sourceID), 5, 0, {{ClipboardTransferItemKind::files, {}, {}, {}, std::move(files)}}};
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;  // none yet: nothing in it
    for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Bridge : public VirtualTimeTest {
protected:
    void SetUp() override { bridge = makeBridge(); }

    std::shared_ptr<ClipboardSyncBridge> makeBridge(int64_t maxFile = kMaxFile, int64_t maxTotal = kMaxTotal) {
        auto b = std::make_shared<ClipboardSyncBridge>("Viewer", pb, maxFile, maxTotal);
        b->onOutgoingTransfer = [this](const ClipboardTransfer& t, ClipboardSyncBridge::DeliveryOutcome done) {
            offered.push_back(t);
            if (holdingOutcomes) return outstanding.push_back(std::move(done));
            if (delivering) delivered.push_back(t);
            done(delivering);
        };
        b->onStatus = [this](const std::string& s) { statuses.push_back(s); };
        b->start();
        return b;
    }
    void copyText(const std::string& text) {
        pb.clearContents();
        pb.setString(text, kPasteboardTypeString);
    }
    // A picture is converted off the main queue: applied once that is done.
    void apply(const ClipboardTransfer& t) {
        DispatchQueue::main().sync([&] { bridge->handleRemoteTransfer(t); });
        runUntilIdle();
    }
    // The batch folder the latest transfer made: the Host names it, so it
    // is the one folder of the inbox not seen before.
    fs::path batch() {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(bridge->inboxFolder(), ec))
            if (e.is_directory() && seenBatches.insert(e.path()).second) latestBatch = e.path();
        return latestBatch;
    }
    std::set<fs::path> seenBatches;
    fs::path latestBatch;
    bool anyFileUnderDataRoot() const {
        for (const auto& e : fs::recursive_directory_iterator(dataRoot->path()))
            if (!e.is_directory()) return true;
        return false;
    }

    Pasteboard pb = Pasteboard::general();
    std::shared_ptr<ClipboardSyncBridge> bridge;
    std::vector<ClipboardTransfer> offered, delivered;
    std::vector<std::string> statuses;
    bool delivering = true;
    // Outcomes kept back, as a busy server keeps them, until a test answers.
    bool holdingOutcomes = false;
    std::vector<ClipboardSyncBridge::DeliveryOutcome> outstanding;
};

TEST_F(Bridge, ContentFromBeforeCreationIsNeverSentAndTheFirstTransferIsSequenceOne) {
    copyText("before");
    bridge = makeBridge();
    advance(1.2);
    EXPECT_TRUE(offered.empty());
    copyText("after");
    advance(0.6);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].sequence, 1u);
    EXPECT_EQ(delivered[0].items.at(0).text, "after");
    EXPECT_EQ(delivered[0].sourceID, bridge->sourceID());
    auto id = UUID::parse(bridge->sourceID());
    ASSERT_TRUE(id);
    EXPECT_EQ(id->uuidString(), bridge->sourceID()) << "upper-case UUID text";
}

struct CopyCase {
    const char* name;
    std::function<void(Pasteboard&)> copy;
    std::optional<ClipboardTransferItem> offered;
};

TEST_F(Bridge, WhatACopyOnTheHostOffers) {
    const std::vector<uint8_t> png = *checker().pngRepresentation();
    auto text = [](const char* s) { return ClipboardTransferItem{ClipboardTransferItemKind::text, s, {}, {}, {}}; };
    const CopyCase cases[] = {
        {"text", [](Pasteboard& p) { p.setString("hello", kPasteboardTypeString); }, text("hello")},
        {"empty text", [](Pasteboard& p) { p.setString("", kPasteboardTypeString); }, std::nullopt},
        {"files with their names as text", [](Pasteboard& p) {
             p.writeFileURLs({"/tmp/a.txt"});
             p.setString("a.txt", kPasteboardTypeString);
         }, std::nullopt},
        {"legacy file list", [](Pasteboard& p) {
             p.setData(PropertyList::writeXML(PlistValue(PlistValue::Array{"/tmp/a"})), kPasteboardTypeLegacyFilenames);
         }, std::nullopt},
        {"png", [&](Pasteboard& p) { p.setData(png, kPasteboardTypePNG); },
         ClipboardTransferItem{ClipboardTransferItemKind::image, {}, png, "public.png", {}}},
        {"empty png falls back to text", [](Pasteboard& p) {
             p.setData(std::vector<uint8_t>{}, kPasteboardTypePNG);
             p.setString("caption", kPasteboardTypeString);
         }, text("caption")},
        {"unreadable tiff falls back to text", [](Pasteboard& p) {
             p.setData(std::vector<uint8_t>{'I', 'I', 42, 0}, kPasteboardTypeTIFF);
             p.setString("caption", kPasteboardTypeString);
         }, text("caption")},
    };
    for (const auto& c : cases) {
        offered.clear();
        pb.clearContents();
        c.copy(pb);
        advance(0.6);
        ASSERT_EQ(offered.size(), c.offered ? 1u : 0u) << c.name;
        if (c.offered) {
            EXPECT_EQ(offered[0].items, std::vector<ClipboardTransferItem>{*c.offered}) << c.name;
        }
        advance(1.2);
        EXPECT_EQ(offered.size(), c.offered ? 1u : 0u) << c.name << ": a settled change is not offered again";
    }
}

TEST_F(Bridge, TiffOnlyImageGoesOutAsPngWithTheSamePixels) {
    pb.clearContents();
    ASSERT_TRUE(pb.writeImage(checker()));
    advance(0.6);
    ASSERT_EQ(delivered.size(), 1u);
    const auto& item = delivered[0].items.at(0);
    EXPECT_EQ(item.kind, ClipboardTransferItemKind::image);
    EXPECT_EQ(item.imageTypeIdentifier, "public.png");
    auto decoded = BitmapImage::fromData(item.imageData.value());
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(std::string(item.imageData->begin() + 1, item.imageData->begin() + 4), "PNG");
    EXPECT_EQ(*decoded, checker());
}

TEST_F(Bridge, UndeliveredChangeIsRetriedEachTickAndReportedOnceUntilOvertaken) {
    delivering = false;
    copyText("one");
    advance(0.6);
    advance(1.2);
    EXPECT_EQ(offered.size(), 3u);
    EXPECT_EQ(statuses, std::vector<std::string>{"clipboard pending delivery: no authorized Viewer session"});

    copyText("two");
    delivering = true;
    advance(0.6);
    advance(1.2);
    ASSERT_EQ(delivered.size(), 1u) << "the retries stop once delivered";
    EXPECT_EQ(delivered[0].items.at(0).text, "two");
    EXPECT_EQ(delivered[0].sequence, 2u);
}

TEST_F(Bridge, AChangeWhoseDeliveryIsOutIsNotOfferedAgainUntilItsOutcomeComes) {
    holdingOutcomes = true;
    copyText("one");
    advance(0.6 * 4);
    ASSERT_EQ(offered.size(), 1u);
    // Nobody took it: the next tick offers it again.
    outstanding[0](false);
    holdingOutcomes = false;
    advance(0.6);
    EXPECT_EQ(offered.size(), 2u);
    EXPECT_EQ(delivered.size(), 1u);
    EXPECT_EQ(statuses, std::vector<std::string>{"clipboard pending delivery: no authorized Viewer session"});
    advance(1.2);
    EXPECT_EQ(offered.size(), 2u) << "settled once delivered";
}

TEST_F(Bridge, ALateOutcomeOfAnOvertakenChangeLeavesTheNewerOnePending) {
    holdingOutcomes = true;
    copyText("one");
    advance(0.6);
    copyText("two");
    advance(0.6);
    ASSERT_EQ(offered.size(), 2u) << "a newer change goes without waiting for the older one's outcome";
    outstanding[0](true);
    outstanding[1](false);
    holdingOutcomes = false;
    advance(0.6);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].items.at(0).text, "two");
}

TEST_F(Bridge, ContentThatCannotBeEncodedIsSettledWithOneLineAndNeverOffered) {
    copyText(std::string("a\0b", 3));
    advance(3.0);
    EXPECT_TRUE(offered.empty()) << "never offered, so the received-files claim is left alone";
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "clipboard encode failed: text holds a NUL character"), 1);
    copyText("next");
    advance(0.6);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].items.at(0).text, "next");
    EXPECT_EQ(delivered[0].sequence, 1u) << "the settled change used no sequence number";
}

TEST_F(Bridge, ChangesWhileSyncIsOffAreAbsorbedAndIncomingIgnored) {
    bool enabled = false;
    bridge->isSyncEnabled = [&] { return enabled; };
    copyText("private");
    advance(0.6);
    apply({"V", 1, 0, {{ClipboardTransferItemKind::text, "remote", {}, {}, {}}}});
    EXPECT_EQ(pb.stringForType(kPasteboardTypeString), "private");
    EXPECT_EQ(statuses, std::vector<std::string>{"clipboard ignored remote transfer: sync disabled"});
    enabled = true;
    advance(1.2);
    EXPECT_TRUE(offered.empty());
}

TEST_F(Bridge, AppliedTextIsNotSentBackAndDropsAnOlderPendingChange) {
    delivering = false;
    copyText("local");
    advance(0.6);
    apply({"V", 1, 0, {{ClipboardTransferItemKind::text, "from viewer", {}, {}, {}}}});
    EXPECT_EQ(pb.stringForType(kPasteboardTypeString), "from viewer");
    EXPECT_EQ(statuses.back(), "clipboard applied text from Viewer");
    offered.clear();
    advance(3);
    EXPECT_TRUE(offered.empty());
}

struct IncomingCase {
    const char* name;
    ClipboardTransferItem item;
    std::optional<std::string> status;
    std::vector<PasteboardType> typesAfter;
};

TEST_F(Bridge, IncomingItemsLandByKind) {
    const std::vector<uint8_t> png = *checker().pngRepresentation();
    using K = ClipboardTransferItemKind;
    const IncomingCase cases[] = {
        {"png image", {K::image, {}, png, "public.png", {}}, "clipboard applied image from Viewer",
         {kPasteboardTypePNG, kPasteboardTypeTIFF}},
        {"png bytes under another type", {K::image, {}, png, "public.jpeg", {}}, "clipboard applied image from Viewer",
         {kPasteboardTypeTIFF}},
        {"garbage image", {K::image, {}, std::vector<uint8_t>{1, 2, 3}, "public.png", {}},
         "clipboard image apply failed from Viewer", {}},
        {"image without data", {K::image, "text", {}, {}, {}}, "clipboard image apply failed from Viewer", {}},
        {"text kind without text", {K::text, {}, png, {}, {}}, std::nullopt, {}},
    };
    for (const auto& c : cases) {
        // Each row's line comes a second after the last: lines are limited per kind.
        advance(1.1);
        statuses.clear();
        copyText("before");
        const int before = pb.changeCount();
        apply({"V", 1, 0, {c.item}});
        EXPECT_GT(pb.changeCount(), before) << c.name;
        EXPECT_EQ(pb.types(), c.typesAfter) << c.name;
        EXPECT_EQ(statuses, c.status ? std::vector<std::string>{*c.status} : std::vector<std::string>{}) << c.name;
    }

    // An empty transfer empties the Host clipboard and says nothing.
    statuses.clear();
    copyText("before");
    apply({"V", 2, 0, {}});
    EXPECT_TRUE(pb.types().empty());
    EXPECT_TRUE(statuses.empty());
    advance(1.2);
    EXPECT_TRUE(offered.empty());
}

// A picture lands once it is converted; whatever came in the meantime is
// newer and stays.
TEST_F(Bridge, ANewerTransferOrHostCopyOutlivesAPictureStillBeingConverted) {
    using K = ClipboardTransferItemKind;
    const ClipboardTransfer picture{"V", 1, 0, {{K::image, {}, *checker().pngRepresentation(), "public.png", {}}}};
    const ClipboardTransfer later{"V", 2, 0, {{K::text, "later", {}, {}, {}}}};
    struct Case {
        const char* name;
        std::function<void()> meanwhile;
        const char* text;
    };
    const Case cases[] = {
        {"a later transfer", [&] { bridge->handleRemoteTransfer(later); }, "later"},
        {"a copy on the Host", [&] { copyText("copied here"); }, "copied here"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        copyText("before");
        DispatchQueue::main().sync([&] {
            bridge->handleRemoteTransfer(picture);
            c.meanwhile();
        });
        runUntilIdle();
        EXPECT_EQ(pb.stringForType(kPasteboardTypeString), c.text);
        EXPECT_FALSE(pb.dataForType(kPasteboardTypeTIFF));
    }
    // Alone, the same picture lands.
    advance(1.1);
    apply(picture);
    EXPECT_TRUE(pb.dataForType(kPasteboardTypeTIFF));
    EXPECT_EQ(statuses.back(), "clipboard applied image from Viewer");
}

TEST_F(Bridge, ReceivedFilesGetFreshNamesInsideTheirBatch) {
    apply(filesFrom("V1", {file("report.pdf"), file("report.pdf"), file("a.txt"), file("a.txt"), file("a.txt"),
                           file("."), file(".."), file(""), file("x/y:z"), file("///"), file(std::string("n\0l", 3))}));
    const std::vector<std::string> expected = {"---",     ".-1",      "..-1",      "a-1-2.txt",    "a-1.txt",
                                               "a.txt",   "clipboard-item", "n-l", "report-1.pdf", "report.pdf",
                                               "x-y-z"};
    EXPECT_EQ(namesIn(batch()), expected) << "no temporary file is left";
    EXPECT_EQ(statuses, std::vector<std::string>{"clipboard applied 11 file(s) from Viewer"});
    auto urls = pb.readFileURLs();
    ASSERT_EQ(urls.size(), 11u);
    EXPECT_EQ(urls[1], batch() / "report-1.pdf");
    EXPECT_EQ(urls[5], batch() / ".-1");
    EXPECT_EQ(*FileIO::readAll(urls[6]), std::vector<uint8_t>(3, 'x'));
    EXPECT_EQ(bridge->inboxFolder(), Folders::caches() / "NorvessalClipboardInbox" / "Viewer");
    advance(1.2);
    EXPECT_TRUE(offered.empty()) << "received files are not sent back";
}

TEST_F(Bridge, AnUnsafeSourceIdentifierWritesNothingAnywhere) {
    const std::string unsafe[] = {"../x", "a/b", "", std::string(129, 'a'), "../../.config/autostart/x", "a b",
                                  std::string("a\0b", 3)};
    for (const auto& id : unsafe) {
        advance(1.1);
        statuses.clear();
        apply(filesFrom(id, {file("evil.desktop")}));
        EXPECT_EQ(statuses, (std::vector<std::string>{"clipboard inbox create failed: invalid source identifier",
                                                      "clipboard file apply failed from Viewer"}))
            << id;
    }
    EXPECT_FALSE(anyFileUnderDataRoot());
    apply(filesFrom("Ab.9_-z", {file("ok.txt")}));
    EXPECT_TRUE(fs::exists(batch() / "ok.txt"));
}

// A link planted where the inbox or a batch would be leads nothing out:
// the batch's name is the Host's, and no folder below the caches is
// reached through a link.
TEST_F(Bridge, APlantedLinkInTheInboxLeadsNothingOutside) {
    struct Case {
        const char* name;
        std::function<fs::path(const fs::path& inbox)> linkAt;
        std::vector<std::string> statuses;
    };
    const std::vector<Case> cases = {
        {"at the batch name the sender could once predict",
         [](const fs::path& inbox) { return inbox / "V1-5"; }, {"clipboard applied 1 file(s) from Viewer"}},
        {"in place of the inbox", [](const fs::path& inbox) { return inbox; }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Folders::caches());
        const fs::path outside = dataRoot->path() / "outside";
        fs::remove_all(outside);
        fs::create_directories(outside);
        const fs::path link = c.linkAt(bridge->inboxFolder());
        fs::create_directories(link.parent_path());
        fs::create_directory_symlink(outside, link);
        statuses.clear();
        apply(filesFrom("V1", {file("evil.desktop")}));
        EXPECT_TRUE(fs::is_empty(outside));
        if (c.statuses.empty()) {
            EXPECT_EQ(statuses.back(), "clipboard file apply failed from Viewer");
        } else {
            EXPECT_EQ(statuses, c.statuses);
            ASSERT_EQ(pb.readFileURLs().size(), 1u);
            EXPECT_TRUE(fs::exists(pb.readFileURLs()[0]));
        }
    }
}

struct LimitCase {
    int64_t maxFile, maxTotal;
    std::vector<size_t> sizes;
    std::vector<std::string> written;
    std::vector<std::string> statuses;
};

TEST_F(Bridge, FilesPastTheLimitsAreSkippedAndReported) {
    const LimitCase cases[] = {
        {kMaxFile, kMaxTotal, {10, 33u << 20, 20}, {"f0", "f2"},
         {"clipboard file too large: f1 (34603008 bytes)", "clipboard applied 2 file(s) from Viewer"}},
        {10, 25, {10, 11, 10, 10, 3}, {"f0", "f2"},
         {"clipboard file too large: f1 (11 bytes)", "clipboard transfer too large: skipped 2 file(s)",
          "clipboard applied 2 file(s) from Viewer"}},
        {10, 5, {10}, {}, {"clipboard transfer too large: skipped 1 file(s)", "clipboard file apply failed from Viewer"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        bridge = makeBridge(c.maxFile, c.maxTotal);
        statuses.clear();
        std::vector<ClipboardTransferFile> files;
        // GCC 12 at -O3 warns of an overlapping copy inside the std::string
        // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        for (size_t i = 0; i < c.sizes.size(); ++i) files.push_back(file("f" + std::to_string(i), c.sizes[i]));
        const std::string id = "L" + std::to_string(n++);
#pragma GCC diagnostic pop
        apply(filesFrom(id, files));
        EXPECT_EQ(namesIn(batch()), c.written) << id;
        EXPECT_EQ(statuses, c.statuses) << id;
    }
}

TEST_F(Bridge, StartRemovesDayOldBatchesExceptOneThePasteboardOffers) {
    const fs::path inbox = bridge->inboxFolder();
    const Date now = Clock::now();
    const std::pair<const char*, double> batches[] = {{"old-1", 25}, {"new-1", 23}, {"offered-1", 25}};
    for (auto [name, hoursAgo] : batches) {
        ASSERT_TRUE(FileIO::writeAtomically(inbox / name / "f.txt", std::vector<uint8_t>{1}));
        ASSERT_TRUE(FileIO::setModificationDate(inbox / name, now.addingSeconds(-hoursAgo * 3600)));
    }
    pb.clearContents();
    pb.writeFileURLs({inbox / "offered-1" / "f.txt"});
    auto second = makeBridge();
    runUntilIdle();  // the inbox is pruned on its own queue
    EXPECT_EQ(namesIn(inbox), (std::vector<std::string>{"new-1", "offered-1"}));
}

// In a Host run for another user the caches folder lies in that user's
// home: a link put in place of a Host-private folder below the caches
// leads neither the start-up cleanup nor a transfer outside (the caches
// folder itself is the user's, reached as the user's programs reach it).
// Behind each link sits what looks like an inbox holding a day-old batch.
TEST_F(Bridge, ALinkInPlaceOfAFolderOnTheWayToTheInboxRemovesAndWritesNothingOutside) {
    const fs::path caches = Folders::caches();
    const fs::path inbox = bridge->inboxFolder();
    const fs::path planted[] = {caches / "NorvessalClipboardInbox", inbox};
    for (const auto& link : planted) {
        SCOPED_TRACE(link.lexically_relative(dataRoot->path()).string());
        fs::remove_all(caches);
        const fs::path outside = dataRoot->path() / "outside";
        fs::remove_all(outside);
        // Where the inbox would be, read through the link.
        const fs::path lookalike = (outside / inbox.lexically_relative(link)).lexically_normal();
        const fs::path precious = lookalike / "1700000000-precious" / "precious.txt";
        ASSERT_TRUE(FileIO::writeAtomically(precious, std::vector<uint8_t>{1}));
        ASSERT_TRUE(FileIO::setModificationDate(precious.parent_path(), Clock::now().addingSeconds(-48 * 3600)));
        fs::create_directories(link.parent_path());
        fs::create_directory_symlink(outside, link);

        auto fresh = makeBridge();
        fresh->setInboxBoundsForTesting(1, 1, 1);
        DispatchQueue::main().sync([&] { fresh->handleRemoteTransfer(filesFrom("V1", {file("evil.desktop")})); });
        runUntilIdle();
        EXPECT_TRUE(fs::exists(precious)) << "the start-up cleanup reached through the link";
        for (const auto& e : fs::recursive_directory_iterator(outside))
            EXPECT_TRUE(e.path() == precious || fs::is_directory(e.path())) << "written outside: " << e.path();
        EXPECT_EQ(statuses.back(), "clipboard file apply failed from Viewer");
        fs::remove(link);
    }
}

// A clipboard holds one value: a burst of transfers from a Viewer, faster
// than the main queue takes them, queues one task and applies the latest.
TEST_F(Bridge, ABurstOfTransfersQueuesOneTaskAndAppliesOnlyTheLatest) {
    using K = ClipboardTransferItemKind;
    for (const bool withFiles : {false, true}) {
        SCOPED_TRACE(withFiles ? "files" : "text");
        advance(1.1);
        statuses.clear();
        const size_t before = runtime->pendingCount();
        constexpr int burst = 500;
        for (int n = 1; n <= burst; ++n) {
            const std::string text = "copy " + std::to_string(n);
            bridge->receiveRemoteTransfer(withFiles ? filesFrom("B", {file(text + ".txt")})
                                                    : ClipboardTransfer{"B", uint64_t(n), 0, {{K::text, text, {}, {}, {}}}});
        }
        EXPECT_LE(runtime->pendingCount(), before + 1) << "one main-queue task for the whole burst";
        runUntilIdle();
        if (withFiles) {
            ASSERT_EQ(pb.readFileURLs().size(), 1u);
            EXPECT_EQ(pb.readFileURLs()[0].filename(), "copy 500.txt");
            EXPECT_EQ(namesIn(bridge->inboxFolder()).size(), 1u) << "one batch folder";
        } else {
            EXPECT_EQ(pb.stringForType(kPasteboardTypeString), "copy 500");
        }
        EXPECT_EQ(statuses.size(), 1u);
        // The next transfer after the burst is applied in its turn.
        bridge->receiveRemoteTransfer({"B", 9, 0, {{K::text, "after", {}, {}, {}}}});
        runUntilIdle();
        EXPECT_EQ(pb.stringForType(kPasteboardTypeString), "after");
    }
}

namespace {
// What the inbox holds on disk: batches, files and bytes.
struct InboxContent {
    size_t batches = 0, files = 0;
    uintmax_t bytes = 0;
};
InboxContent contentOf(const fs::path& inbox) {
    InboxContent c;
    std::error_code ec;
    for (const auto& b : fs::directory_iterator(inbox, ec)) {
        ++c.batches;
        for (const auto& f : fs::directory_iterator(b.path())) {
            ++c.files;
            c.bytes += f.file_size();
        }
    }
    return c;
}
}  // namespace

// Over many transfers the inbox keeps within each of its bounds, the
// oldest batches going first, on the inbox's queue; the batch the
// pasteboard names is always whole.
TEST_F(Bridge, TheInboxStaysWithinItsBoundsOverManyTransfers) {
    struct Case {
        const char* name;
        size_t batches, files;
        int64_t bytes;
    };
    const Case cases[] = {
        {"batches", 4, 1000, 1 << 20},
        {"files", 100, 7, 1 << 20},
        {"bytes", 100, 1000, 40},
    };
    int transferNumber = 0;
    std::vector<std::string> order;  // the batches made, oldest first
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(bridge->inboxFolder());
        bridge = makeBridge();
        bridge->setInboxBoundsForTesting(c.batches, c.files, c.bytes);
        order.clear();
        for (int n = 0; n < 30; ++n) {
            apply(filesFrom("T" + std::to_string(transferNumber++), {file("a.txt", 3), file("b.txt", 4)}));
            order.push_back(batch().filename().string());
            const InboxContent held = contentOf(bridge->inboxFolder());
            EXPECT_LE(held.batches, c.batches);
            EXPECT_LE(held.files, c.files);
            EXPECT_LE(held.bytes, uintmax_t(c.bytes));
            for (const auto& url : pb.readFileURLs()) EXPECT_TRUE(fs::exists(url)) << url;
        }
        // The newest batches are the ones kept.
        const auto kept = namesIn(bridge->inboxFolder());
        ASSERT_FALSE(kept.empty());
        std::vector<std::string> newest(order.end() - static_cast<long>(kept.size()), order.end());
        std::sort(newest.begin(), newest.end());
        EXPECT_EQ(kept, newest);
    }

    // The removal runs on the inbox's queue: right after the main queue
    // applied a transfer past the bound, the oldest batch is still there.
    const fs::path oldest = bridge->inboxFolder() / order[order.size() - namesIn(bridge->inboxFolder()).size()];
    DispatchQueue::main().sync([&] { bridge->handleRemoteTransfer(filesFrom("Z", {file("z.txt", 7)})); });
    EXPECT_TRUE(fs::exists(oldest));
    runUntilIdle();
    EXPECT_FALSE(fs::exists(oldest));
}

// Batches left by an earlier run count against the bounds at start; the
// oldest go first, except one the pasteboard still names.
TEST_F(Bridge, BatchesOfAnEarlierRunCountAndTheOneThePasteboardNamesStays) {
    const fs::path inbox = bridge->inboxFolder();
    const Date now = Clock::now();
    const size_t earlier = ClipboardSyncBridge::maxInboxBatches + 6;
    for (size_t n = 0; n < earlier; ++n) {
        const fs::path folder = inbox / ("b" + std::to_string(1000 + n));
        ASSERT_TRUE(FileIO::writeAtomically(folder / "f.txt", std::vector<uint8_t>{1}));
        ASSERT_TRUE(FileIO::setModificationDate(folder, now.addingSeconds(-3600.0 + double(n))));
    }
    pb.clearContents();
    pb.writeFileURLs({inbox / "b1000" / "f.txt"});  // the oldest
    auto second = makeBridge();
    runUntilIdle();
    const auto kept = namesIn(inbox);
    EXPECT_EQ(kept.size(), ClipboardSyncBridge::maxInboxBatches);
    EXPECT_TRUE(fs::exists(inbox / "b1000" / "f.txt")) << "named by the pasteboard";
    EXPECT_FALSE(fs::exists(inbox / "b1001")) << "the oldest unnamed goes first";
    EXPECT_TRUE(fs::exists(inbox / ("b" + std::to_string(1000 + earlier - 1))));
}

}  // namespace

// A sender picks the names: one too long for the file system is shortened
// to fit, once, and so is each numbered variant of it; the other files of
// the transfer land as they are. (Such names were skipped before: every
// file now arrives.)
TEST_F(Bridge, NamesTooLongForTheFileSystemAreShortenedWithoutEndlessRenaming) {
    struct NameCase {
        std::string id;
        std::string name;
        bool twice;  // the transfer holds the name twice
        std::vector<std::string> lines;
    };
    const NameCase cases[] = {
        {"N300", std::string(300, 'n'), false, {"clipboard file name shortened to fit: 300 bytes, saved under 255"}},
        {"N100k", std::string(100'000, 'm'), false, {"clipboard file name shortened to fit: 100000 bytes, saved under 255"}},
        {"N250", std::string(250, 't') + ".txt", true,
         {"clipboard file name shortened to fit: 254 bytes, saved under 255"}},
    };
    for (const auto& c : cases) {
        // These lines come at most once a second.
        advance(2);
        statuses.clear();
        std::vector<ClipboardTransferFile> files = {file("before.txt"), file(c.name), file("after.txt")};
        if (c.twice) files.insert(files.begin(), file(c.name));
        apply(filesFrom(c.id, files));
        const auto names = namesIn(batch());
        EXPECT_TRUE(std::count(names.begin(), names.end(), "before.txt") && std::count(names.begin(), names.end(), "after.txt"))
            << c.id;
        EXPECT_EQ(names.size(), files.size()) << c.id;
        std::vector<std::string> expected = c.lines;
        expected.push_back("clipboard applied " + std::to_string(files.size()) + " file(s) from Viewer");
        EXPECT_EQ(statuses, expected) << c.id;
    }
}

// Whether `name` is whole UTF-8: every lead byte followed by its
// continuation bytes, none left over.
bool isWholeUtf8(const std::string& name) {
    for (size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > name.size()) return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

// A Viewer's name holds up to 255 UTF-16 units, up to 765 UTF-8 bytes. Each
// length, in ASCII and in three-byte characters, twice in one transfer:
// both files arrive whole, under names that fit, end in their extension,
// are whole UTF-8 and begin as the sender's name began.
TEST_F(Bridge, ClipboardFilesOfEveryNameLengthArriveTwice) {
    const std::string wide = "\xE8\xAA\x9E";  // one character, three bytes
    int transferNumber = 0;
    for (const size_t bytes : {238u, 254u, 255u, 256u, 400u, 765u}) {
        for (const bool multibyte : {false, true}) {
            // The stem's odd bytes come first, so a cut near the end falls
            // among the wide characters.
            const size_t stemBytes = bytes - 4;
            std::string stem = multibyte ? std::string(stemBytes % 3, 'a') : std::string(stemBytes, 'a');
            if (multibyte)
                for (size_t k = 0; k < stemBytes / 3; ++k) stem += wide;
            const std::string name = stem + ".txt";
            ASSERT_EQ(name.size(), bytes);
            SCOPED_TRACE(std::to_string(bytes) + (multibyte ? " bytes, multibyte" : " bytes, ASCII"));
            advance(2);
            statuses.clear();
            apply(filesFrom("W" + std::to_string(transferNumber++), {file(name, 5), file(name, 7)}));
            const auto names = namesIn(batch());
            ASSERT_EQ(names.size(), 2u);
            std::vector<uintmax_t> sizes;
            for (const auto& arrived : names) {
                EXPECT_LE(arrived.size(), 255u);
                EXPECT_TRUE(isWholeUtf8(arrived));
                EXPECT_TRUE(arrived.ends_with(".txt")) << arrived;
                EXPECT_EQ(arrived.substr(0, 100), name.substr(0, 100));
                sizes.push_back(fs::file_size(batch() / arrived));
            }
            std::sort(sizes.begin(), sizes.end());
            EXPECT_EQ(sizes, (std::vector<uintmax_t>{5, 7}));
            // A name that fits arrives as it is; shortenings make one line a
            // second, the second of a transfer counted in the next.
            EXPECT_EQ(std::count(names.begin(), names.end(), name), bytes <= 255 ? 1 : 0);
            const auto shortened = std::count_if(statuses.begin(), statuses.end(), [](const std::string& line) {
                return line.starts_with("clipboard file name shortened to fit: ");
            });
            EXPECT_EQ(shortened, bytes <= 253 ? 0 : 1);
            EXPECT_EQ(statuses.back(), "clipboard applied 2 file(s) from Viewer");
        }
    }
}

// A Viewer may fill every transfer with names too long to keep and send
// such transfers as fast as it likes: the shortenings make one line a
// second, those held back counted in the next.
TEST_F(Bridge, ShortenedNamesMakeOneLineASecondHoweverManyCome) {
    std::vector<ClipboardTransferFile> files;
    for (int i = 0; i < 50; ++i) files.push_back(file(std::to_string(i) + std::string(300, 'n')));
    auto shortenedLines = [&] {
        std::vector<std::string> lines;
        for (const auto& line : statuses)
            if (line.starts_with("clipboard file name shortened to fit: ")) lines.push_back(line);
        return lines;
    };
    advance(2);
    statuses.clear();
    apply(filesFrom("S1", files));
    EXPECT_EQ(namesIn(batch()).size(), files.size()) << "every file still arrives";
    apply(filesFrom("S2", files));
    EXPECT_EQ(shortenedLines(), (std::vector<std::string>{"clipboard file name shortened to fit: 301 bytes, saved under 255"}));
    advance(2);
    statuses.clear();
    apply(filesFrom("S3", files));
    EXPECT_EQ(shortenedLines(), (std::vector<std::string>{"clipboard file name shortened to fit: 301 bytes, saved under 255 "
                                                          "(99 similar lines suppressed)"}));
}

TEST(ClipboardFilenames, AreCutBetweenCharactersWithTheirExtensionKept) {
    const std::string e = "\xC3\xA9";  // two bytes
    struct Case {
        std::string name, suffix;
        size_t maxBytes;
        std::string fitted;
    };
    const Case cases[] = {
        {"short.txt", "", 255, "short.txt"},
        {"short.txt", "-1", 255, "short-1.txt"},
        {"abcdef.txt", "", 7, "abc.txt"},
        {"abcdef.txt", "-12", 9, "ab-12.txt"},
        {e + e + e + ".txt", "", 9, e + e + ".txt"},
        {e + e + e + ".txt", "", 8, e + e + ".txt"},
        {e + e + e + ".txt", "", 7, e + ".txt"},
        {e + e + e, "-1", 6, e + e + "-1"},
        {"no-extension", "", 5, "no-ex"},
        {".hidden-file", "", 4, ".hid"},
        {"a." + std::string(40, 'x'), "", 10, "a.xxxxxxxx"},  // too long to be an extension
        {"a.txt", "-1", 6, "a.tx-1"},  // no room for the extension beside the number
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClipboardSyncBridge::fittedFilename(c.name, c.suffix, c.maxBytes), c.fitted)
            << c.name << " " << c.suffix << " " << c.maxBytes;
    }
}

namespace {
// An 8192 x 8192 picture that compresses well: PNG bytes of a few hundred kB
// whose decoded pixels take 256 MiB.
constexpr uint32_t kLargeSide = 8192;
std::vector<uint8_t> largePng() {
    std::vector<uint8_t> rgba(size_t{kLargeSide} * kLargeSide * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        const size_t row = i / (kLargeSide * 4);
        rgba[i] = uint8_t(row), rgba[i + 1] = uint8_t(row >> 8), rgba[i + 2] = 60, rgba[i + 3] = 255;
    }
    return *BitmapImage(kLargeSide, kLargeSide, std::move(rgba)).pngRepresentation();
}
}  // namespace

// On real threads, where converting a picture takes real time (which the
// virtual clock does not see): a Viewer's large picture holds the main
// queue no longer than putting the finished TIFF on the pasteboard.
TEST(BridgeOnRealThreads, ALargePictureFromAViewerIsConvertedOffTheMainQueue) {
    TemporaryDataRoot root;
    SimulatedMachine::install(std::make_shared<SimulatedMachine>());
    const std::vector<uint8_t> png = largePng();
    std::vector<std::string> statuses;
    {
        auto bridge = std::make_shared<ClipboardSyncBridge>("Viewer", Pasteboard::general(), kMaxFile, kMaxTotal);
        bridge->onStatus = [&](const std::string& s) { statuses.push_back(s); };
        const ClipboardTransfer transfer{"V1", 1, 0, {{ClipboardTransferItemKind::image, {}, png, "public.png", {}}}};
        DispatchQueue::main().resetLongestWorkItemForTesting();
        DispatchQueue::main().async([&] { bridge->handleRemoteTransfer(transfer); });
        Runtime::current().runMainQueue(120, [&] { return !statuses.empty(); });
        EXPECT_EQ(statuses, std::vector<std::string>{"clipboard applied image from Viewer"});
        EXPECT_LT(DispatchQueue::main().longestWorkItemSecondsForTesting(), 0.1);
        EXPECT_EQ(Pasteboard::general().dataForType(kPasteboardTypePNG), png);
        auto tiff = Pasteboard::general().dataForType(kPasteboardTypeTIFF);
        ASSERT_TRUE(tiff);
        EXPECT_LT(tiff->size(), png.size() * 4) << "compressed, not the pixels";
    }
    SimulatedMachine::install(nullptr);
}

#ifndef NORVESSAL_SANITIZED_BUILD
namespace {
// This process's resident and peak resident set, in bytes.
struct Resident {
    int64_t now = 0, peak = 0;
};
Resident resident() {
    std::ifstream status("/proc/self/status");
    Resident r;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) r.now = std::atoll(line.c_str() + 6) * 1024;
        if (line.rfind("VmHWM:", 0) == 0) r.peak = std::atoll(line.c_str() + 6) * 1024;
    }
    return r;
}
void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }
}  // namespace

// A picture at the decode limits costs no decoded copy while it is applied
// (its rows go straight to the TIFF writer), one while it is sent, and
// nothing once the change is settled: the pasteboard keeps a compressed
// TIFF, not the pixels.
TEST_F(Bridge, ALargeClipboardImageHoldsOneDecodedCopyAtMostAndNoneAfterwards) {
    constexpr int64_t decoded = int64_t{kLargeSide} * kLargeSide * 4;
    const std::vector<uint8_t> png = largePng();
    ASSERT_LT(png.size(), size_t{8} << 20);
    auto transfer = ClipboardTransfer{"V1", 1, 0, {{ClipboardTransferItemKind::image, {}, png, "public.png", {}}}};
    ::malloc_trim(0);
    const Resident idle = resident();
    resetPeakResident();

    apply(transfer);
    ASSERT_EQ(statuses.back(), "clipboard applied image from Viewer");
    ::malloc_trim(0);
    const Resident applied = resident();
    EXPECT_LT(applied.peak - idle.now, int64_t{32} << 20) << "peak while applying: the encoded data and a few rows";
    EXPECT_LT(applied.now - idle.now, int64_t{16} << 20) << "left after applying";
    auto tiff = pb.dataForType(kPasteboardTypeTIFF);
    ASSERT_TRUE(tiff);
    tiff.reset();

    // A Host-side copy of the same picture (TIFF only) is sent as PNG.
    pb.clearContents();
    {
        auto image = BitmapImage::fromData(png);
        ASSERT_TRUE(image.ok());
        ASSERT_TRUE(pb.writeImage(*image));
    }
    delivering = true;
    ::malloc_trim(0);
    const Resident copied = resident();
    resetPeakResident();
    advance(0.6);
    ASSERT_EQ(delivered.size(), 1u);
    ASSERT_EQ(delivered[0].items.size(), 1u);
    EXPECT_EQ(delivered[0].items[0].imageTypeIdentifier, "public.png");
    delivered.clear();
    offered.clear();
    ::malloc_trim(0);
    const Resident sent = resident();
    EXPECT_LT(sent.peak - copied.now, 2 * decoded) << "peak while sending";
    EXPECT_LT(sent.now - copied.now, int64_t{16} << 20) << "left after sending";
}
#endif

// An owner whose rights reach further than the user's may refuse the inbox:
// nothing is written and the refusal is told once.
TEST_F(Bridge, AnInboxTheOwnerRefusesGetsNothingWritten) {
    std::vector<fs::path> asked;
    bridge->mayWriteInbox = [&](const fs::path& inbox) {
        asked.push_back(inbox);
        return false;
    };
    apply(filesFrom("V9", {file("a.txt"), file("b.txt")}));
    EXPECT_EQ(asked, std::vector<fs::path>{bridge->inboxFolder()});
    EXPECT_EQ(statuses, (std::vector<std::string>{"clipboard inbox refused: outside the console user's home",
                                                  "clipboard file apply failed from Viewer"}));
    EXPECT_FALSE(fs::exists(bridge->inboxFolder())) << "no batch folder is made";
}

namespace {
// A Viewer can send transfers as fast as it likes, each causing lines on
// the main queue: every kind is written once a second, the rest counted.
TEST_F(Bridge, ATransferFloodWritesEachKindOfLineOnceASecond) {
    using K = ClipboardTransferItemKind;
    struct Row {
        const char* name;
        std::function<ClipboardTransfer(int)> transfer;
        std::string linePrefix;
    };
    const std::vector<Row> rows = {
        {"text", [](int n) { return ClipboardTransfer{"V", uint64_t(n), 0, {{K::text, "t" + std::to_string(n), {}, {}, {}}}}; },
         "clipboard applied text"},
        {"unsafe source", [](int) { return filesFrom("../x", {file("f")}); }, "clipboard inbox create failed"},
        {"file over the size bound", [](int) { return filesFrom("V", {file("big", 64), file("small", 4)}); },
         "clipboard file too large"},
    };
    bridge = makeBridge(16, kMaxTotal);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        advance(1.1);
        statuses.clear();
        for (int n = 0; n < 40; ++n) apply(row.transfer(n));
        size_t lines = 0;
        for (const auto& line : statuses) lines += line.starts_with(row.linePrefix);
        EXPECT_EQ(lines, 1u);
        advance(1.1);
        statuses.clear();
        apply(row.transfer(99));
        ASSERT_FALSE(statuses.empty());
        EXPECT_NE(statuses.front().find("similar lines suppressed"), std::string::npos) << statuses.front();
    }
}
}  // namespace

// --- What a Viewer's transfers cost, and whom --------------------------------------------

namespace {
// Bytes the allocator has handed out and not had back, mapped blocks
// included.
int64_t heapInUse() {
    const auto info = ::mallinfo2();
    return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

// A picture whose PNG is about as large as its pixels (noise compresses
// badly): `side` x `side`, about 4 * side * side bytes.
std::vector<uint8_t> noisyPng(uint32_t side, uint32_t seed) {
    std::vector<uint8_t> rgba(size_t{side} * side * 4);
    for (auto& byte : rgba) {
        seed = seed * 1664525u + 1013904223u;
        byte = uint8_t(seed >> 24);
    }
    return *BitmapImage(side, side, std::move(rgba)).pngRepresentation();
}

// One Viewer transfer of each kind whose work runs off the main queue, of
// about `bytes` each; `n` tells them apart.
struct WorkedKind {
    const char* name;
    std::function<ClipboardTransfer(int n)> transfer;
};
std::vector<WorkedKind> workedKinds() {
    using K = ClipboardTransferItemKind;
    return {
        {"picture",
         [](int n) { return ClipboardTransfer{"V", uint64_t(n), 0, {{K::image, {}, noisyPng(512, uint32_t(n)), "public.png", {}}}}; }},
        {"files", [](int n) { return filesFrom("V", {file("f" + std::to_string(n) + ".bin", size_t{1} << 20)}); }},
    };
}
}  // namespace

// Pictures and files are worked on off the main queue, which may apply
// newer transfers meanwhile: the values they supersede are let go at once
// and never converted or written, however many came.
TEST_F(Bridge, ValuesSupersededBeforeTheirWorkStartsAreDroppedUnworked) {
    for (const auto& kind : workedKinds()) {
        SCOPED_TRACE(kind.name);
        fs::remove_all(bridge->inboxFolder());
        bridge = makeBridge();
        constexpr int burst = 8;
        std::vector<ClipboardTransfer> transfers;
        for (int n = 0; n < burst; ++n) transfers.push_back(kind.transfer(n));
        const int64_t one = int64_t(transfers[0].items[0].imageData ? transfers[0].items[0].imageData->size()
                                                                    : transfers[0].items[0].files[0].data.size());
        ASSERT_GT(one, int64_t{900} << 10);
        const int64_t before = heapInUse();
        DispatchQueue::main().sync([&] {
            for (const auto& t : transfers) bridge->handleRemoteTransfer(t);
        });
        EXPECT_LT(heapInUse() - before, 2 * one) << "only the latest value waits for its work";
        runUntilIdle();
        if (transfers[0].items[0].kind == ClipboardTransferItemKind::image) {
            EXPECT_EQ(pb.dataForType(kPasteboardTypePNG), transfers.back().items[0].imageData);
        } else {
            EXPECT_EQ(namesIn(bridge->inboxFolder()).size(), 1u) << "the superseded files were never written";
            ASSERT_EQ(pb.readFileURLs().size(), 1u);
            EXPECT_EQ(pb.readFileURLs()[0].filename(), "f7.bin");
        }
    }
}

// A Viewer's files are flushed one by one before they take their names:
// that waits on the disk, so it is done on the inbox queue, never on the
// main queue that applied the transfer.
TEST_F(Bridge, ReceivedFilesAreWrittenOffTheMainQueue) {
    DispatchQueue::main().sync([&] { bridge->handleRemoteTransfer(filesFrom("V", {file("a.txt"), file("b.txt")})); });
    EXPECT_FALSE(fs::exists(bridge->inboxFolder())) << "nothing written by the main queue";
    EXPECT_TRUE(pb.readFileURLs().empty());
    runUntilIdle();
    ASSERT_EQ(pb.readFileURLs().size(), 2u);
    EXPECT_EQ(*FileIO::readAll(pb.readFileURLs()[1]), std::vector<uint8_t>(3, 'x'));
}

// Whatever a Viewer's transfer holds is charged to the ledger current when
// it arrived (its peer's, on the Host) until it has landed or been
// dropped: a value at the peer's budget stops the peer until then, and a
// gone peer's pictures and files are dropped before they are worked on, and
// a picture it left half converted goes no further.
TEST_F(Bridge, ATransferIsChargedToItsSenderUntilItLandsAndDroppedWhenItsSenderIsGone) {
    using K = ClipboardTransferItemKind;
    constexpr size_t budget = size_t{16} << 20;
    {
        SCOPED_TRACE("a text as large as the budget, waiting for the main queue");
        auto ledger = std::make_shared<WorkLedger>("peer", budget);
        {
            const WorkLedger::Charged charged(ledger);
            bridge->receiveRemoteTransfer({"V", 1, 0, {{K::text, std::string(budget, 't'), {}, {}, {}}}});
        }
        EXPECT_GE(ledger->bytesInUse(), budget);
        EXPECT_TRUE(ledger->overBudget()) << "its sender waits until it has landed";
        // A newer value from another peer frees the first one's share.
        auto other = std::make_shared<WorkLedger>("other", budget);
        {
            const WorkLedger::Charged charged(other);
            bridge->receiveRemoteTransfer({"V", 2, 0, {{K::text, "newer", {}, {}, {}}}});
        }
        EXPECT_EQ(ledger->bytesInUse(), 0u);
        runUntilIdle();
        EXPECT_EQ(pb.stringForType(kPasteboardTypeString), "newer");
        EXPECT_EQ(other->bytesInUse(), 0u);
        EXPECT_EQ(other->jobsInUse(), 0u);
    }
    for (const auto& kind : workedKinds()) {
        SCOPED_TRACE(kind.name);
        auto ledger = std::make_shared<WorkLedger>("peer", budget);
        const ClipboardTransfer transfer = kind.transfer(1);
        DispatchQueue::main().sync([&] {
            const WorkLedger::Charged charged(ledger);
            bridge->handleRemoteTransfer(transfer);
        });
        EXPECT_GE(ledger->bytesInUse(), size_t{900} << 10) << "the bytes its waiting work holds";
        // The peer leaves before its work had its turn: nothing is worked.
        ledger->cancel();
        const auto batchesBefore = namesIn(bridge->inboxFolder());
        runUntilIdle();
        EXPECT_EQ(ledger->bytesInUse(), 0u);
        EXPECT_EQ(ledger->jobsInUse(), 0u);
        EXPECT_FALSE(pb.dataForType(kPasteboardTypePNG));
        EXPECT_TRUE(pb.readFileURLs().empty());
        EXPECT_EQ(namesIn(bridge->inboxFolder()), batchesBefore);
    }
    {
        SCOPED_TRACE("files from a peer at its descriptor bound, then with room");
        auto ledger = std::make_shared<WorkLedger>("peer", budget);
        constexpr auto descriptors = WorkLedger::Held::descriptors;
        auto most = WorkLedger::Holding::take(ledger, descriptors, WorkLedger::heldBound(descriptors) - 1);
        ASSERT_TRUE(most);
        advance(2);
        statuses.clear();
        const auto batchesBefore = namesIn(bridge->inboxFolder());
        auto send = [&](uint64_t sequence) {
            DispatchQueue::main().sync([&] {
                const WorkLedger::Charged charged(ledger);
                bridge->handleRemoteTransfer({"V", sequence, 0, {{K::files, {}, {}, {}, {file("a.txt"), file("b.txt")}}}});
            });
            runUntilIdle();
        };
        send(20);
        EXPECT_EQ(namesIn(bridge->inboxFolder()), batchesBefore) << "nothing written past the peer's bound";
        EXPECT_TRUE(pb.readFileURLs().empty());
        EXPECT_EQ(statuses, (std::vector<std::string>{"clipboard inbox create failed: too many descriptors held",
                                                      "clipboard file apply failed from Viewer"}));
        most.reset();
        send(21);
        EXPECT_EQ(pb.readFileURLs().size(), 2u);
        EXPECT_EQ(ledger->mostFilesOpenPastItsHoldings(), 0u) << "what the write opened was held on its account";
        EXPECT_EQ(ledger->held(descriptors), 0u);
    }
    // A PNG is converted a slice of rows at a time; other pictures (a TIFF,
    // an interlaced PNG) whole, in one slice, which their sender may leave
    // during.
    struct Picture {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* type;
        bool sliced;
    };
    std::vector<uint8_t> noise(size_t{512} * 512 * 4);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t(i * 2654435761u >> 13);
    const Picture pictures[] = {
        {"a PNG", noisyPng(1024, 9), "public.png", true},
        {"a TIFF", *BitmapImage(512, 512, std::move(noise)).tiffRepresentation(), "public.tiff", false},
    };
    for (const auto& picture : pictures) {
        SCOPED_TRACE(std::string("the peer leaves while its picture is being converted: ") + picture.name);
        auto ledger = std::make_shared<WorkLedger>("peer", budget);
        const ClipboardTransfer transfer{"V", 9, 0, {{K::image, {}, picture.bytes, picture.type, {}}}};
        DispatchQueue::main().sync([&] {
            const WorkLedger::Charged charged(ledger);
            bridge->handleRemoteTransfer(transfer);
        });
        const size_t waiting = ledger->bytesInUse();
        ASSERT_GE(waiting, transfer.items[0].imageData->size());
        // The peer leaves once the picture queue's first work for it has
        // run: queues take their turns in the order work was queued.
        size_t converting = 0;
        DispatchQueue leaving("peer leaving");
        leaving.async([&] {
            converting = ledger->bytesInUse();
            ledger->cancel();
        });
        runUntilIdle();
        if (picture.sliced) {
            EXPECT_GT(converting, waiting) << "the rows written so far are held";
            EXPECT_LT(converting - waiting, transfer.items[0].imageData->size() / 4)
                << "the peer left while its picture was still being converted";
        }
        EXPECT_EQ(ledger->bytesInUse(), 0u);
        EXPECT_EQ(ledger->jobsInUse(), 0u);
        EXPECT_FALSE(pb.dataForType(kPasteboardTypeTIFF)) << "a gone peer's picture does not land";
        EXPECT_FALSE(pb.dataForType(kPasteboardTypePNG));
    }
}
