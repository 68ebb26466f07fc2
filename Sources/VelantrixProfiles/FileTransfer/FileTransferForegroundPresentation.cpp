#include "VelantrixProfiles/FileTransfer/FileTransferForegroundPresentation.h"

#include <utility>

#include "Platform/AppKit/AppKitApplication.h"

std::function<void()> FileTransferForegroundPresentation::prepareSheetParent(
    const std::shared_ptr<platform::Window>& window) {
    platform::Application::shared().activate(true);
    if (!window) return [] {};
    const int level = window->level();
    const uint32_t behavior = window->collectionBehavior();
    const bool hides = window->hidesOnDeactivate;
    window->setLevel(platform::kFloatingWindowLevel);
    window->setCollectionBehavior(behavior | platform::kWindowJoinAllSpacesAndFullScreenAuxiliary);
    window->hidesOnDeactivate = false;
    window->makeKeyAndOrderFront();
    window->orderFrontRegardless();
    std::weak_ptr<platform::Window> weak = window;
    return [weak, level, behavior, hides] {
        auto w = weak.lock();
        if (!w) return;
        w->setLevel(level);
        w->setCollectionBehavior(behavior);
        w->hidesOnDeactivate = hides;
    };
}

FileTransferForegroundPresentation::RaisedSheet FileTransferForegroundPresentation::raisedSheet(
    const std::shared_ptr<platform::Window>& window) {
    // The restore step taken when the sheet showed; shared by both ends.
    auto restore = std::make_shared<std::function<void()>>();
    std::weak_ptr<platform::Window> weak = window;
    return RaisedSheet{[weak, restore] {
                           if (auto w = weak.lock()) *restore = prepareSheetParent(w);
                       },
                       [restore] {
                           auto step = std::exchange(*restore, nullptr);
                           if (step) step();
                       }};
}
