// The File Transfer window against a running Host over real sockets: a test
// Viewer logs in, its service is bound to the window as the Viewer binds
// it, and files go both ways through the window's own buttons. Host and
// Viewer share one process and so one home folder: each side works in
// folders of its own.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "HostShellTestFixture.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Files/Folders.h"
#include "Support/FileTransferTestViewer.h"
#include "Support/FileTransferWindowServiceAdapter.h"

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> childNames(const FileTransferNodePtr& node) {
    std::vector<std::string> out;
    if (node->children)
        for (const auto& child : *node->children) out.push_back(child->name);
    return out;
}

FileTransferNodePtr childNamed(const FileTransferNodePtr& node, const std::string& name) {
    if (node->children)
        for (const auto& child : *node->children)
            if (child->name == name) return child;
    return nullptr;
}

void select(platform::OutlineView& outline, const FileTransferNodePtr& node) {
    outline.selectRow(outline.rowForItem(node));
}

class FileTransferWindowEndToEnd : public HostShellTest {
protected:
    void SetUp() override {
        launch();
        home = platform::Folders::home();
        fs::create_directories(home / "Documents");
        viewer = FileTransferTestViewer::connect(runtime, delegate->audioServer(), *log, consoleUser, password, "Viewer");
        ASSERT_TRUE(viewer->channel);
        adapter = FileTransferWindowServiceAdapter::make(viewer->service, {{"host-1", "Lab Host"}});
        onMain([&] {
            window = FileTransferWindowController::make(adapter->dependencies());
            adapter->attach(window);
        });
    }
    void TearDown() override {
        onMain([&] {
            for (const auto& alert : platform::Application::shared().shownAlerts()) alert->pressButton(0);
            window.reset();
        });
        if (viewer) viewer->disconnect();
        runUntilIdle();
        HostShellTest::TearDown();
    }
    // Opens a Host folder and waits for its listing.
    void listHostFolder(const FileTransferNodePtr& folder) {
        onMain([&] { window->views().rightOutlineView->expandItem(folder); });
        ASSERT_TRUE(runUntil([&] {
            return folder->children && !folder->children->empty() &&
                   folder->children->front()->kind != FileTransferNode::Kind::placeholder;
        }));
    }
    // Grants a folder of this device, as Add Folder would, and lists it.
    FileTransferNodePtr grantLocalFolder(const fs::path& folder) {
        fs::create_directories(folder);
        FileTransferNodePtr root;
        onMain([&] {
            window->addLocalBookmark(folder.string());
            for (const auto& r : window->localRoots())
                if (r->path == folder.string()) root = r;
            if (root) window->views().leftOutlineView->expandItem(root);
        });
        return root;
    }
    std::string status() const { return window->views().transferStatusLabel->text; }

    fs::path home;
    std::unique_ptr<FileTransferTestViewer> viewer;
    std::shared_ptr<FileTransferWindowServiceAdapter> adapter;
    std::shared_ptr<FileTransferWindowController> window;
};

}  // namespace

TEST_F(FileTransferWindowEndToEnd, AFileGoesToTheHostAndComesBackThroughTheWindow) {
    std::string payload(300000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 7) % 253);
    fs::create_directories(home / "HostShelf");
    std::ofstream(home / "HostShelf" / "already.txt") << "on the Host";

    // The Host's home, as the Host lists it.
    const auto hostHome = window->remoteRoots()[0];
    listHostFolder(hostHome);
    EXPECT_EQ(hostHome->path, home.string());
    const auto shelf = childNamed(hostHome, "HostShelf");
    ASSERT_TRUE(shelf);
    EXPECT_EQ(shelf->kind, FileTransferNode::Kind::directory);

    // Viewer to Host: a ticked local file into "~/Documents".
    auto outbox = grantLocalFolder(home / "ViewerOut");
    ASSERT_TRUE(outbox);
    std::ofstream(home / "ViewerOut" / "report.bin", std::ios::binary) << payload;
    onMain([&] {
        outbox->children.reset();
        window->loadLocalChildren(outbox);
        childNamed(outbox, "report.bin")->isChecked = true;
        window->views().leftOutlineView->reloadData();
        select(*window->views().rightOutlineView, window->remoteRoots()[2]);
        window->updateExecuteButton();
        ASSERT_TRUE(window->views().executeButton->isEnabled);
        window->views().executeButton->performClick();
    });
    ASSERT_TRUE(runUntil([&] { return status() == "\u2705 1 item transferred \u2014 ready for another copy."; }));
    EXPECT_EQ(contents(home / "Documents" / "report.bin"), payload);
    EXPECT_EQ(adapter->reports().back(), "complete cancelled=0 confirmed=1");
    EXPECT_EQ(window->views().transferSummaryLabel->text, "\U0001F4E4 Copied 1 item(s) to Lab Host");
    // The Host folder is listed again and shows the file. Both sides share
    // one home here, so the listed Documents below Home is the first row
    // that matches the target.
    const auto documents = childNamed(hostHome, "Documents");
    ASSERT_TRUE(documents);
    ASSERT_TRUE(runUntil([&] { return childNamed(documents, "report.bin") != nullptr; }));
    EXPECT_EQ(documents->path, (home / "Documents").string());
    EXPECT_EQ(childNamed(documents, "report.bin")->size, payload.size());
    onMain([&] {
        for (const auto& alert : platform::Application::shared().shownAlerts()) alert->pressButton(0);
    });

    // Host to Viewer: that file into a granted local folder.
    auto inbox = grantLocalFolder(home / "ViewerIn");
    ASSERT_TRUE(inbox);
    onMain([&] {
        window->selectDirection(TransferPanelDirection::receiveFromHost);
        childNamed(documents, "report.bin")->isChecked = true;
        select(*window->views().leftOutlineView, inbox);
        window->updateExecuteButton();
        ASSERT_TRUE(window->views().executeButton->isEnabled);
        window->views().executeButton->performClick();
    });
    ASSERT_TRUE(runUntil([&] { return fs::exists(home / "ViewerIn" / "report.bin") && !window->activeTransferBatchID(); }));
    EXPECT_EQ(contents(home / "ViewerIn" / "report.bin"), payload);
    EXPECT_EQ(status(), "\u2705 1 item transferred \u2014 ready for another copy.");
    EXPECT_EQ(window->views().transferSummaryLabel->text, "\U0001F4E5 Copied 1 item(s) to Lab Host");
    EXPECT_EQ(childNames(inbox), std::vector<std::string>{"report.bin"}) << "the local folder is listed again";
}
