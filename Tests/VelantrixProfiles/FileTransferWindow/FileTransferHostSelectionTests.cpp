// The window's Host pop-up, pane titles, direction switch and execute
// button.

#include <gtest/gtest.h>

#include "FileTransferWindowFixture.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/SimulatedMac/ComputerName.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

using Kind = FileTransferNode::Kind;

TEST_F(FileTransferWindowTest, TwoHostsSelectTheFirstAndShowItsRoots) {
    FileTransferCenter::shared().autoPresentToFront = true;
    make();
    const auto& window = controller->window();
    EXPECT_EQ(window->title, "File Transfer");
    EXPECT_EQ(window->minSize, (platform::CGSize{1100, 680}));
    EXPECT_EQ(window->collectionBehavior(), 258u);
    EXPECT_TRUE(window->isCentered());
    EXPECT_FALSE(window->isReleasedWhenClosed);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(FileTransferCenter::shared().autoPresentToFront);

    EXPECT_EQ(controller->selectedPeerID(), "a");
    EXPECT_EQ(ui().hostSelector->selectedIndex, 0u);
    EXPECT_EQ(ui().leftTitleLabel->text, "Studio Mac (Source)");
    EXPECT_EQ(ui().rightTitleLabel->text, "A (Destination)");
    EXPECT_EQ(names(controller->remoteRoots()), (std::vector<std::string>{"Home", "Desktop", "Documents", "Downloads"}));
    EXPECT_EQ(controller->remoteRoots()[3]->path, "~/Downloads");
    EXPECT_EQ(ui().rightOutlineView->numberOfRows(), 4);
    EXPECT_TRUE(listingRequests.empty());  // a root is listed when opened
    EXPECT_FALSE(ui().executeButton->isEnabled);
    EXPECT_EQ(ui().executeButton->text, "Copy Selected Items");
    EXPECT_EQ(ui().transferSummaryLabel->text, "Select one or more files or folders to transfer.");
    EXPECT_EQ(ui().transferStatusLabel->text, "Select one or more files or folders to transfer.");

    controller->show();
    runUntilIdle();
    EXPECT_TRUE(platform::Application::shared().isActive());
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_EQ(window->orderFrontRegardlessCount(), 1);
}

TEST_F(FileTransferWindowTest, AHostServedByAnotherWindowFallsBackToTheFirst) {
    const struct {
        std::set<std::string> served;
        size_t picked;
        std::optional<std::string> selected;
        const char* status;
    } cases[] = {
        {{"b"}, 1, "a", "Opened File Transfer for B in its Host window."},
        {{"a", "b"}, 1, std::nullopt, "Opened File Transfer for A in its Host window."},
        {{"a"}, 0, std::nullopt, "Opened File Transfer for A in its Host window."},
    };
    for (const auto& c : cases) {
        servedElsewhere.clear();
        make();
        servedElsewhere = c.served;
        ui().hostSelector->selectedIndex = c.picked;
        ui().hostSelector->performClick();
        EXPECT_EQ(controller->selectedPeerID(), c.selected) << c.picked;
        EXPECT_EQ(controller->selectedPeerName().has_value(), c.selected.has_value());
        EXPECT_EQ(ui().rightStatusLabel->text, c.status);
        if (!c.selected) {
            EXPECT_EQ(ui().transferSummaryLabel->text, "Connect to a Host to transfer files.");
            EXPECT_EQ(ui().rightTitleLabel->text, "Host (Destination)");
        }
    }
}

TEST_F(FileTransferWindowTest, DeviceNamesLoseTheirDotsAndBlanks) {
    const struct {
        const char* local;
        const char* host;
        const char* leftTitle;
        const char* rightTitle;
    } cases[] = {
        {"Studio Mac", "\u25CF Studio ", "Studio Mac (Source)", "Studio (Destination)"},
        {"\u25CF\n", "\u25CF \u25CF ", "This Mac (Source)", "Host (Destination)"},
        {" Air\u25CF", "", "Air (Source)", "Host (Destination)"},
    };
    for (const auto& c : cases) {
        localName = c.local;
        peers = {{"h", c.host}};
        make();
        EXPECT_EQ(ui().leftTitleLabel->text, c.leftTitle);
        EXPECT_EQ(ui().rightTitleLabel->text, c.rightTitle);
    }
}

TEST_F(FileTransferWindowTest, SwitchingDirectionSwapsTheRoles) {
    make();
    auto a = file("a.txt", "/v/a.txt");
    controller->setLocalRootsForTesting({a});
    controller->setRemoteRootsForTesting({dir("Documents", "~/Documents"), file("r.txt", "~/r.txt")});
    controller->remoteRoots()[1]->isChecked = true;
    chooseTarget(ui().rightOutlineView, "~/Documents");
    ASSERT_TRUE(controller->targetDirectoryPath());

    ui().directionControl->clickSegment(1);
    EXPECT_EQ(controller->direction(), TransferPanelDirection::receiveFromHost);
    EXPECT_TRUE(ui().leftTopCheckbox->isHidden);
    EXPECT_FALSE(ui().rightTopCheckbox->isHidden);
    EXPECT_FALSE(ui().leftOutlineView->allowsMultipleSelection);
    EXPECT_TRUE(ui().rightOutlineView->allowsMultipleSelection);
    EXPECT_EQ(ui().leftTitleLabel->text, "Studio Mac (Destination)");
    EXPECT_EQ(ui().rightTitleLabel->text, "A (Source)");
    EXPECT_FALSE(controller->targetDirectoryPath());
    EXPECT_FALSE(controller->remoteRoots()[1]->isChecked);  // the new source starts unticked
    EXPECT_EQ(ui().executeButton->text, "Receive Selected Items");
    EXPECT_FALSE(ui().executeButton->isEnabled);
    EXPECT_EQ(controller->window()->contentView->viewWithTag(999)->text, "\u2190");

    ui().directionControl->clickSegment(0);
    EXPECT_EQ(controller->window()->contentView->viewWithTag(999)->text, "\u2192");
    EXPECT_EQ(ui().executeButton->text, "Copy Selected Items");
}

TEST_F(FileTransferWindowTest, TicksHostAndTargetEnableTheButtonUnlessBusy) {
    make();
    auto one = file("one.txt", "/v/one.txt"), two = file("two.txt", "/v/two.txt");
    controller->setLocalRootsForTesting({one, two, file("three.txt", "/v/three.txt")});
    one->isChecked = two->isChecked = true;
    chooseTarget(ui().rightOutlineView, "~/Documents");
    EXPECT_TRUE(ui().executeButton->isEnabled);
    EXPECT_EQ(ui().executeButton->text, "Copy 2 Item(s) to A");
    EXPECT_EQ(ui().transferSummaryLabel->text, "Ready to copy to ~/Documents");
    EXPECT_EQ(ui().transferStatusLabel->text, "Start the transfer when ready.");
    // Return presses the button only while it is enabled; the owner
    // refusing the batch keeps the window idle for what follows.
    ownerAccepts = false;
    EXPECT_TRUE(controller->window()->performKeyEquivalent("\r"));
    EXPECT_EQ(sends.size(), 1u);

    // A target chosen in A's tree survives a change of Host.
    ui().hostSelector->selectedIndex = 1;
    ui().hostSelector->performClick();
    EXPECT_EQ(ui().executeButton->text, "Copy 2 Item(s) to B");
    EXPECT_EQ(ui().transferSummaryLabel->text, "Ready to copy to ~/Documents");

    controller->setActiveTransferBatchIDForTesting(platform::UUID::random());
    controller->updateExecuteButton();
    EXPECT_FALSE(ui().executeButton->isEnabled);
    EXPECT_EQ(ui().executeButton->text, "Copying\u2026");
    EXPECT_FALSE(controller->window()->performKeyEquivalent("\r"));

    const struct {
        bool source, target, peer;
        const char* text;
    } guidance[] = {
        {true, true, false, "Connect to a Host to transfer files."},
        {false, false, false, "Connect to a Host to transfer files."},
        {false, true, true, "Select one or more files or folders to transfer."},
        {true, false, true, "Select a destination folder to continue."},
        {true, true, true, ""},
    };
    for (const auto& g : guidance)
        EXPECT_EQ(Controller::transferSetupGuidance(g.source, g.target, g.peer), g.text) << g.text;
}

TEST_F(FileTransferWindowTest, DestinationIsTheSelectedFolderRowElseThePreviousTarget) {
    make();
    controller->setRemoteRootsForTesting({dir("Documents", "~/Documents"), file("r.txt", "~/r.txt")});
    auto& right = ui().rightOutlineView;
    EXPECT_EQ(controller->currentDestinationPath(), std::nullopt);
    right->selectRow(0);
    EXPECT_EQ(controller->currentDestinationPath(), "~/Documents");
    right->selectRow(1);
    EXPECT_EQ(controller->currentDestinationPath(), "~/Documents");
    EXPECT_EQ(controller->targetDirectoryPath(), "~/Documents");
}

TEST_F(FileTransferWindowTest, RefreshKeepsTheRememberedHostShown) {
    make();
    ui().hostSelector->selectedIndex = 1;
    ui().hostSelector->performClick();
    peers = {{"c", "C"}, {"a", "A"}, {"b", "B"}};
    controller->refreshClicked();
    EXPECT_EQ(controller->selectedPeerID(), "b");
    EXPECT_EQ(ui().hostSelector->selectedIndex, 2u);
    EXPECT_EQ(ui().hostSelector->items[2].identifier, "b");
    EXPECT_EQ(controller->remoteRoots().size(), 4u);
}

TEST_F(FileTransferWindowTest, LosingEveryHostDisablesTheButton) {
    make();
    auto one = file("one.txt", "/v/one.txt");
    controller->setLocalRootsForTesting({one});
    one->isChecked = true;
    chooseTarget(ui().rightOutlineView, "~/Desktop");
    ASSERT_TRUE(ui().executeButton->isEnabled);

    peers.clear();
    controller->refreshClicked();
    ASSERT_EQ(ui().hostSelector->items.size(), 1u);
    EXPECT_EQ(ui().hostSelector->items[0].title, "No Host connected");
    EXPECT_FALSE(ui().hostSelector->isEnabled);
    EXPECT_FALSE(controller->selectedPeerID());
    EXPECT_TRUE(controller->remoteRoots().empty());
    EXPECT_FALSE(ui().executeButton->isEnabled);
    EXPECT_EQ(ui().transferSummaryLabel->text, "Connect to a Host to transfer files.");
    EXPECT_EQ(ui().rightTitleLabel->text, "Host (Destination)");
    EXPECT_FALSE(controller->window()->performKeyEquivalent("\r"));
}

TEST_F(FileTransferWindowTest, DeviceNameAndListingHandlerOutliveNothing) {
    const struct {
        std::optional<std::string> computerName;
        std::string expected;
    } names[] = {
        {" Studio \n", "Studio"},
        {"  ", std::string(platform::UnicodeText::trimmingWhitespace(platform::ComputerName::processHostName()))},
    };
    for (const auto& n : names) {
        platform::ComputerName::setLocalizedNameForTesting(n.computerName);
        const auto name = Controller::defaultLocalDeviceName();
        EXPECT_EQ(name, n.expected.empty() ? "This Mac" : n.expected);
    }
    platform::ComputerName::setLocalizedNameForTesting(std::nullopt);

    // The default cancel does nothing, and the installed handler outlives
    // the window harmlessly.
    Controller::Dependencies{}.cancelBatch(platform::UUID::random());
    make();
    ASSERT_TRUE(handler);
    std::weak_ptr<Controller> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    handler(platform::UUID::random(), "/Users/host", {RemoteDirectoryEntry{"a", false, 1, std::nullopt}});
}
