#include "VelantrixProfiles/FileTransfer/FileTransferForegroundPresentation.h"

#include "Platform/AppKitApplication.h"

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
