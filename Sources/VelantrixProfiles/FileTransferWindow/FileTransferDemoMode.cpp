// Demo mode: the window shown without any Host, both panes holding the same
// fixed sample tree, and a copy action that explains instead of sending.

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Foundation/Calendar.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"

namespace {

using NodeKind = FileTransferNode::Kind;

// The sample texts are fixed, in English.
constexpr const char* kDemoHostName = "Demo Host";
constexpr const char* kDemoViewerName = "This Mac";

FileTransferNodePtr demoFolder(const std::string& name, const std::string& path, const FileTransferNodePtr& parent) {
    auto node = std::make_shared<FileTransferNode>(name, path, parent ? NodeKind::directory : NodeKind::volume, parent);
    node->children.emplace();
    // Listed already: opening a sample folder on the Host side never asks
    // a Host that is not there.
    node->childrenLoaded = true;
    if (parent) parent->children->push_back(node);
    return node;
}

void demoFile(const FileTransferNodePtr& folder, const std::string& name, uint64_t size, int daysAgo,
              platform::Date now, bool ticked = false) {
    auto node = std::make_shared<FileTransferNode>(name, folder->path + "/" + name, NodeKind::file, folder);
    node->size = size;
    node->modificationDate = platform::Calendar::addingDays(-daysAgo, now);
    node->isChecked = ticked;
    folder->children->push_back(node);
}

}  // namespace

FileTransferWindowController::NodeList FileTransferWindowController::demoRoots(const std::string& sideName) {
    const auto now = platform::Clock::now();
    auto root = demoFolder(sideName, "~/", nullptr);
    auto documents = demoFolder("Documents", "~/Documents", root);
    auto projects = demoFolder("Projects", "~/Documents/Projects", documents);
    demoFile(projects, "Demo.mov", 96'000'000, 3, now);
    demoFile(projects, "App.swift", 18'432, 0, now);
    demoFile(projects, "Logo.png", 524'288, 9, now);
    demoFile(documents, "Notes.txt", 2'048, 2, now, true);
    demoFile(documents, "Budget.xlsx", 48'204, 6, now);
    demoFile(documents, "Readme.md", 1'024, 1, now);
    auto downloads = demoFolder("Downloads", "~/Downloads", root);
    demoFile(downloads, "NorvessalHost-1.6.0.pkg", 2'800'000, 1, now);
    demoFile(downloads, "Screenshot.png", 1'200'000, 5, now);
    return {root};
}

void FileTransferWindowController::showDemoListing() {
    demoMode_ = true;
    if (auto& selector = views_.hostSelector) {
        selector->items.clear();
        selector->items.push_back({kDemoHostName, 0, ""});
        selector->selectedIndex = 0;
        selector->isEnabled = false;
    }
    // Replies to listings asked of a real Host must not land in the sample.
    forgetRemoteRequests();
    clearSelectedPeer();
    localRoots_ = demoRoots(kDemoViewerName);
    remoteRoots_ = demoRoots(kDemoHostName);
    reload(views_.leftOutlineView);
    reload(views_.rightOutlineView);
    updateLeftCheckboxState();
    updateExecuteButton();
    foregroundWindow();
}

void FileTransferWindowController::presentDemoListingAlert() {
    auto alert = platform::Alert::make();
    alert->messageText = "Demo Listing";
    alert->informativeText =
        "This is a sample listing that demonstrates the File Transfer UI. Connect a real Host to transfer files.";
    alert->addButton("OK");
    if (const auto& window = this->window()) {
        beginRaisedSheet(alert, window);
        return;
    }
    alert->window()->setLevel(platform::kModalPanelWindowLevel);
    alert->runModal();
}
