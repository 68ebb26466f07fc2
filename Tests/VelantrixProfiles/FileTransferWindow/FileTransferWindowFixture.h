#pragma once
// A File Transfer window over scripted dependencies: connected Hosts, Hosts
// served by another window, the device name, and recorded listing requests.

#include <set>
#include <string>
#include <vector>

#include "FileTransferTrees.h"
#include "Platform/Locale.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferSelectionCheckbox.h"

class FileTransferWindowTest : public VirtualTimeTest {
protected:
    using Controller = FileTransferWindowController;

    void SetUp() override { platform::Locale::setCurrentForTesting("en-US"); }
    void TearDown() override { platform::Locale::setCurrentForTesting(std::nullopt); }

    std::shared_ptr<Controller> make() {
        Controller::Dependencies deps;
        deps.connectedPeers = [this] { return peers; };
        deps.openFileTransferForPeer = [this](const std::string& id) { return servedElsewhere.count(id) > 0; };
        deps.localDeviceName = [this] { return localName; };
        deps.requestDirectoryListing = [this](const std::string& path) {
            listingRequests.push_back(path);
            return platform::UUID::random();
        };
        deps.setDirectoryListingHandler = [this](Controller::Dependencies::ListingHandler h) { handler = std::move(h); };
        controller = Controller::make(std::move(deps));
        return controller;
    }
    const FileTransferWindowViews& ui() const { return controller->views(); }

    // Clicks the row checkbox of `node` in `outline`, the box first showing
    // `shown` (three states allowed, as the rows' boxes are).
    void clickRowBox(const FileTransferNodePtr& node, const std::shared_ptr<platform::OutlineView>& outline,
                     int shown) {
        auto box = FileTransferSelectionCheckbox::make();
        box->allowsMixedState = true;
        box->setState(shown);
        box->node = node;
        box->outlineView = outline;
        box->action = [this](platform::View& sender) { controller->sourceCheckboxToggled(sender); };
        box->performClick();
    }

    // Picks a folder of the destination tree by its path.
    void chooseTarget(const std::shared_ptr<platform::OutlineView>& outline, const std::string& path) {
        for (int row = 0; row < outline->numberOfRows(); ++row) {
            auto node = std::dynamic_pointer_cast<FileTransferNode>(outline->itemAtRow(row));
            if (node && node->path == path) outline->selectRow(row);
        }
        controller->currentDestinationPath();
        controller->updateExecuteButton();
    }

    static std::vector<std::string> names(const Controller::NodeList& nodes) {
        std::vector<std::string> out;
        for (const auto& n : nodes) out.push_back(n->name);
        return out;
    }

    std::vector<Controller::Peer> peers{{"a", "A"}, {"b", "B"}};
    std::set<std::string> servedElsewhere;
    std::string localName = "Studio Mac";
    std::vector<std::string> listingRequests;
    Controller::Dependencies::ListingHandler handler;
    std::shared_ptr<Controller> controller;
};
