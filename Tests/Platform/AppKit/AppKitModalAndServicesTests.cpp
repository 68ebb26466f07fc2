// Application-modal sessions, the table view and the Services of the
// headless AppKit model, in virtual time.

#include <gtest/gtest.h>

#include "Platform/AppKit/AppKit.h"
#include "Platform/AppKit/AppKitModal.h"
#include "Platform/AppKit/AppKitServices.h"
#include "Platform/AppKit/AppKitTableView.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

class ModalSession : public platform::testing::VirtualTimeTest {
protected:
    static ModalResponse onMain(const std::function<ModalResponse()>& body) {
        ModalResponse r = 0;
        DispatchQueue::main().sync([&] { r = body(); });
        return r;
    }
};

TEST_F(ModalSession, ServesTheMainQueueAndTimeUntilStoppedAndNests) {
    auto outer = Window::make({100, 100}, kWindowStyleTitled);
    auto inner = Window::make({100, 100}, kWindowStyleTitled);
    std::vector<std::string> seen;
    const uint64_t start = Clock::uptimeNs();
    const ModalResponse code = onMain([&] {
        DispatchQueue::main().async([&] { seen.push_back(modalWindow() == outer ? "outer" : "?"); });
        DispatchQueue::main().asyncAfter(2.5, [&] {
            // A session opened inside another ends first; stopping it leaves
            // the outer one running.
            DispatchQueue::main().asyncAfter(1.0, [&] { stopModalWithCode(3); });
            seen.push_back("inner " + std::to_string(runModalForWindow(inner)));
            seen.push_back(modalWindow() == outer ? "outer again" : "?");
            DispatchQueue::main().asyncAfter(0.5, [&] { stopModalWithCode(7); });
        });
        return runModalForWindow(outer);
    });
    EXPECT_EQ(code, 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner 3", "outer again"}));
    EXPECT_EQ(Clock::uptimeNs() - start, 4'000'000'000u);
    EXPECT_TRUE(outer->isKeyWindow() || outer->isVisible());
    EXPECT_FALSE(modalWindow());
    // Nothing runs: stopping is a no-op.
    stopModalWithCode(1);
}

TEST_F(ModalSession, TerminationAbortsTheSession) {
    auto window = Window::make({100, 100}, kWindowStyleTitled);
    const ModalResponse code = onMain([&] {
        DispatchQueue::main().asyncAfter(1.0, [] { Application::shared().terminate(); });
        return runModalForWindow(window);
    });
    EXPECT_EQ(code, kModalResponseAbort);
}

TEST(AppKitBeep, IsCounted) {
    const int before = beepCountForTesting();
    beep();
    beep();
    EXPECT_EQ(beepCountForTesting() - before, 2);
}

class Rows : public TableViewDelegate {
public:
    int rows = 3;
    std::vector<int> changes;
    int numberOfRowsInTableView(TableView&) override { return rows; }
    std::shared_ptr<View> tableViewViewFor(TableView&, const TableColumn* column, int row) override {
        return View::label((column ? column->identifier : "?") + std::to_string(row));
    }
    void tableViewSelectionDidChange(TableView& view) override { changes.push_back(view.selectedRow()); }
};

TEST(AppKitTableView, SelectsWithinItsRowsAndReportsEachChange) {
    auto rows = std::make_shared<Rows>();
    auto table = TableView::make();
    table->addTableColumn(std::make_shared<TableColumn>("device"));
    table->delegate = rows;
    table->reloadData();
    EXPECT_EQ(table->numberOfRows(), 3);
    table->selectRow(2);
    table->selectRow(2);
    table->selectRow(5);  // below the rows: cleared
    table->selectRow(1);
    EXPECT_EQ(rows->changes, (std::vector<int>{2, -1, 1}));
    EXPECT_EQ(table->viewAt(1)->text, "device1");
    EXPECT_FALSE(table->viewAt(3));
    rows->rows = 1;
    table->reloadData();
    EXPECT_EQ(table->selectedRow(), -1);
}

class Provider : public ServicesProvider {
public:
    std::vector<std::string> received;
    bool performService(const std::string& message, const Pasteboard& pasteboard, const std::optional<std::string>&,
                        std::optional<std::string>& error) override {
        if (message != "sendFilesToViewer") return false;
        received.push_back(pasteboard.name());
        if (pasteboard.types().empty()) error = "empty";
        return true;
    }
};

TEST_F(ModalSession, AServiceIsPerformedOnlyWhenDeclaredAndProvided) {
    const auto& declared = mainBundleServiceDeclarations();
    ASSERT_EQ(declared.size(), 1u);
    EXPECT_EQ(declared[0].message, "sendFilesToViewer");
    EXPECT_EQ(declared[0].sendTypes, std::vector<PasteboardType>{kPasteboardTypeFileURL});

    Pasteboard pb = makeUniquePasteboard();
    EXPECT_NE(pb.name(), makeUniquePasteboard().name());
    EXPECT_EQ(performServiceForTesting("sendFilesToViewer", pb), "service unavailable");
    auto provider = std::make_shared<Provider>();
    auto& app = Application::shared();
    app.setServicesProvider(provider);
    const int updates = app.dynamicServicesUpdateCount();
    app.updateDynamicServices();
    EXPECT_EQ(app.dynamicServicesUpdateCount(), updates + 1);

    EXPECT_EQ(performServiceForTesting("sendFilesToViewer", pb), "empty");
    pb.writeFileURLs({"/tmp/a"});
    EXPECT_EQ(performServiceForTesting("sendFilesToViewer", pb), std::nullopt);
    EXPECT_EQ(performServiceForTesting("sendToHost", pb), "service unavailable");
    EXPECT_EQ(provider->received.size(), 2u);
}

TEST_F(ModalSession, PasteboardReadsForServices) {
    Pasteboard pb = makeUniquePasteboard();
    pb.writeFileURLs({"/tmp/a b"});
    SimulatedMachine::current().component<SimulatedPasteboards>().withContents(pb.name(), [](auto& c) {
        auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
        c.items.push_back({{kPasteboardTypeURL, bytes("https://example.invalid/")}});
        c.items.push_back({{kPasteboardTypeForeignObjectForTesting, bytes("x")}});
        c.items.push_back({{kPasteboardTypeString, bytes("text")}});
        return 0;
    });
    auto urls = [](const std::vector<PasteboardObject>& objects) {
        std::vector<std::string> out;
        for (const auto& o : objects) out.push_back(o.urlString.value_or("<not a URL>"));
        return out;
    };
    EXPECT_EQ(urls(readURLObjects(pb, true)), (std::vector<std::string>{"file:///tmp/a%20b", "<not a URL>"}));
    EXPECT_EQ(urls(readURLObjects(pb, false)),
              (std::vector<std::string>{"file:///tmp/a%20b", "https://example.invalid/", "<not a URL>"}));
    EXPECT_EQ(itemStringsForType(pb, kPasteboardTypeFileURL),
              (std::vector<std::optional<std::string>>{"file:///tmp/a%20b", std::nullopt, std::nullopt, std::nullopt}));

    EXPECT_FALSE(propertyListForType(pb, kPasteboardTypeLegacyFilenames));
    pb.setData(PropertyList::writeXML(PlistValue::Array{"/x", "/y"}),
               kPasteboardTypeLegacyFilenames);
    EXPECT_EQ(propertyListForType(pb, kPasteboardTypeLegacyFilenames), PlistValue(PlistValue::Array{"/x", "/y"}));
    pb.setData(std::vector<uint8_t>{'n', 'o', 'p', 'e'}, kPasteboardTypeLegacyFilenames);
    EXPECT_FALSE(propertyListForType(pb, kPasteboardTypeLegacyFilenames));
}

}  // namespace
