#pragma once
// A File Transfer window over scripted dependencies: connected Hosts, Hosts
// served by another window, the device name, and recorded listing requests.

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "FileTransferTrees.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Locale.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferSelectionCheckbox.h"

// The alerts the window has shown, oldest first.
inline std::vector<std::shared_ptr<platform::Alert>> alerts() { return platform::Application::shared().shownAlerts(); }
// This device's home folder.
inline std::string home() { return platform::Folders::home().string(); }

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
            listingIDs.push_back(platform::UUID::random());
            return listingIDs.back();
        };
        deps.setDirectoryListingHandler = [this](Controller::Dependencies::ListingHandler h) { handler = std::move(h); };
        deps.sendFiles = [this](const std::vector<std::filesystem::path>& urls, FileTransferIntent intent,
                                const std::optional<std::string>& target, const std::optional<std::string>& peer,
                                FileTransferDeliveryOptions options) {
            sends.push_back({urls, intent, target, peer, options.rawValue});
            return acceptedBatch();
        };
        deps.requestPeerSend = [this](const std::vector<std::string>& paths, const std::string& target,
                                      FileTransferDeliveryOptions options) {
            receives.push_back({paths, target, options.rawValue});
            return acceptedBatch();
        };
        deps.cancelBatch = [this](const platform::UUID& id) {
            // What the window showed when the service was asked to stop.
            cancelRequests.push_back({id, ui().transferStatusLabel->text});
        };
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

    std::optional<platform::UUID> acceptedBatch() {
        if (!ownerAccepts) return std::nullopt;
        batchIDs.push_back(platform::UUID::random());
        return batchIDs.back();
    }

    struct SentFiles {
        std::vector<std::filesystem::path> urls;
        FileTransferIntent intent;
        std::optional<std::string> target, peer;
        uint64_t options;
    };
    struct PeerSendRequest {
        std::vector<std::string> paths;
        std::string target;
        uint64_t options;
    };
    struct CancelRequest {
        platform::UUID batchID;
        std::string statusShown;
    };
    // The owner's side of transfers: what it was asked, and its answers.
    bool ownerAccepts = true;
    std::vector<SentFiles> sends;
    std::vector<PeerSendRequest> receives;
    std::vector<platform::UUID> batchIDs;
    std::vector<CancelRequest> cancelRequests;

    std::vector<Controller::Peer> peers{{"a", "A"}, {"b", "B"}};
    std::set<std::string> servedElsewhere;
    std::string localName = "Studio Mac";
    std::vector<std::string> listingRequests;
    std::vector<platform::UUID> listingIDs;
    Controller::Dependencies::ListingHandler handler;
    std::shared_ptr<Controller> controller;
};
