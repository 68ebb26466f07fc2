// Opening Launchpad for a Viewer: a fixed chain of ways, from the Dock's
// private notification through a press on the Dock tile found through
// Accessibility, workspace and command-line opening and AppleScript, to the
// Launchpad system key; the first that works names the result.

#include <algorithm>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/SimulatedMac/DynamicLoader.h"
#include "Platform/Foundation/UnicodeText.h"
#include "Platform/AppKit/Workspace.h"

using platform::AXUIElement;
using platform::CGEventType;
using platform::CGMouseButton;
using platform::CGPoint;

namespace {

constexpr const char* kLaunchpadBundleID = "com.apple.launchpad.launcher";
constexpr const char* kLaunchpadName = "Launchpad";
constexpr const char* kDockBundleID = "com.apple.dock";
constexpr const char* kFixedTileTitles[] = {"Launchpad", "启动台", "Apps", "应用", "应用程序"};
constexpr int kTileSearchDepth = 5;
constexpr int kTitleDumpDepth = 3;
constexpr size_t kTitlesLogged = 12;
constexpr size_t kTitleDumpStop = 24;
constexpr double kTileMouseUpDelay = 0.03;
constexpr double kPointerRestoreDelay = 0.05;

std::string titleList(const std::vector<std::string>& items, size_t limit) {
    std::string text;
    for (size_t i = 0; i < items.size() && i < limit; ++i) text += (i ? ", " : "") + items[i];
    return text;
}

}  // namespace

void V230HostAudioAuxServer::activateLaunchpadForViewers() {
    queue.dispatchPrecondition();
    runOnShortcutTools(HostShortcutTool::launchpad, [](V230HostAudioAuxServer& self) {
        const auto result = self.activateLaunchpad();
        return ShortcutToolAnswer([result](V230HostAudioAuxServer& server) {
            server.publishAndBroadcast(launchpadActivationText(result));
        });
    });
}

LaunchpadActivationResult V230HostAudioAuxServer::activateLaunchpad() {
    hostShortcuts.toolQueue.dispatchPrecondition();
    using R = LaunchpadActivationResult;
    // The steps that post input or read the input state run on the server
    // queue; the others (the Dock's notification, tools, the workspace) run
    // here.
    if (toggleLaunchpadViaDockNotification()) return R::dockPrivateToggle;
    const auto [trusted, pressed] = queue.syncValue([this] {
        const bool trust = ensureInputTrust();
        if (!trust) return std::pair(false, false);
        postFlagsChanged(0);
        return std::pair(true, clickDockLaunchpadItem());
    });
    if (pressed) return R::dockTilePress;
    const std::string id = kLaunchpadBundleID;
    const bool openedByIdentifier = openApplicationByBundleIdentifierViaWorkspace(id) ||
                                    runToolAndWait(openToolPath, {"-b", id}, "open -b " + id);
    if (openedByIdentifier)
        return activateApplicationByBundleIdentifierViaAppleScript(id) ? R::appleScript : R::bundleIdentifierActivation;
    if (runToolAndWait(openToolPath, {"-a", kLaunchpadName}, std::string("open -a ") + kLaunchpadName))
        return R::openCommand;
    if (activateApplicationByBundleIdentifierViaAppleScript(id)) return R::appleScript;
    if (openSystemApplication(kLaunchpadName, id)) return R::openCommand;
    if (trusted && queue.syncValue([this] { return postSystemDefinedKey(13); })) return R::systemKey;
    return R::failed;
}

bool V230HostAudioAuxServer::toggleLaunchpadViaDockNotification() {
    const std::string prefix = "host shortcut Launchpad Dock private toggle ";
    auto withError = [](std::string text, const std::optional<std::string>& error) {
        return error && !error->empty() ? text + ": " + *error : text;
    };
    auto dock = platform::dlopen(platform::kDockExecutablePath, platform::kRTLDNow);
    const auto openError = platform::dlerror();
    if (!dock) {
        publish(withError(prefix + "dlopen failed", openError));
        return false;
    }
    auto send = platform::lookupFunction<platform::CoreDockSendNotificationFunction>(*dock, "CoreDockSendNotification");
    if (!send) {
        publish(withError(prefix + "dlsym failed", platform::dlerror()));
        platform::dlclose(*dock);
        return false;
    }
    const int32_t status = (*send)("com.apple.launchpad.toggle", 0);
    if (status != 0) publish(prefix + "returned " + std::to_string(status));
    platform::dlclose(*dock);
    return status == 0;
}

bool V230HostAudioAuxServer::clickDockLaunchpadItem() {
    const auto docks = platform::Workspace::runningApplications(kDockBundleID);
    if (docks.empty()) {
        publish("host shortcut Launchpad Dock process not found");
        return false;
    }
    const AXUIElement dockElement = platform::AXUIElementCreateApplication(docks.front().processIdentifier);
    std::set<std::string> titles;
    for (const auto& title : launchpadDockItemCandidateTitles()) titles.insert(platform::UnicodeText::lowercased(title));
    auto tile = findAXElement(dockElement, titles, kTileSearchDepth);
    if (!tile) {
        publish("host shortcut Launchpad Dock tile not found; Dock titles=" +
                titleList(collectAXTitles(dockElement, kTitleDumpDepth), kTitlesLogged));
        return false;
    }
    auto center = axElementCenter(*tile);
    if (!center) {
        publish("host shortcut Launchpad Dock tile geometry unavailable");
        return false;
    }
    // Read in Quartz space, where postMouse puts it back; AppKit's location
    // has its origin at the bottom left and would land mirrored.
    std::optional<CGPoint> pointer;
    if (auto here = platform::CGEventCreate(nullptr)) pointer = platform::CGEventGetLocation(here);
    postMouse(CGEventType::mouseMoved, CGMouseButton::left, *center);
    postMouse(CGEventType::leftMouseDown, CGMouseButton::left, *center);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    queue.asyncAfter(kTileMouseUpDelay, [weak, at = *center, pointer] {
        auto self = weak.lock();
        if (!self) return;
        self->postMouse(CGEventType::leftMouseUp, CGMouseButton::left, at);
        if (!pointer) return;
        self->queue.asyncAfter(kPointerRestoreDelay, [weak, back = *pointer] {
            if (auto again = weak.lock()) again->postMouse(CGEventType::mouseMoved, CGMouseButton::left, back);
        });
    });
    return true;
}

std::vector<std::string> V230HostAudioAuxServer::launchpadDockItemCandidateTitles() {
    std::vector<std::string> titles(std::begin(kFixedTileTitles), std::end(kFixedTileTitles));
    if (auto url = platform::Workspace::urlForApplication(kLaunchpadBundleID)) {
        if (auto bundle = platform::ApplicationBundle::at(*url)) {
            for (const auto& info : {bundle->localizedInfoDictionary, bundle->infoDictionary}) {
                if (!info) continue;
                for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
                    auto value = info->find(key);
                    if (value == info->end()) continue;
                    if (auto text = value->second.asString(); text && !text->empty()) titles.push_back(*text);
                }
            }
        }
    }
    std::vector<std::string> unique;
    for (auto& title : titles) {
        if (std::find(unique.begin(), unique.end(), title) == unique.end()) unique.push_back(std::move(title));
    }
    return unique;
}

std::optional<AXUIElement> V230HostAudioAuxServer::findAXElement(const AXUIElement& element,
                                                                  const std::set<std::string>& matchingTitles,
                                                                  int remainingDepth) {
    if (auto label = axElementLabel(element); label && matchingTitles.count(platform::UnicodeText::lowercased(*label)))
        return element;
    if (remainingDepth < 1) return std::nullopt;
    for (const auto& child : axChildren(element)) {
        if (auto found = findAXElement(child, matchingTitles, remainingDepth - 1)) return found;
    }
    return std::nullopt;
}

std::vector<std::string> V230HostAudioAuxServer::collectAXTitles(const AXUIElement& element, int remainingDepth) {
    std::vector<std::string> titles;
    if (auto label = axElementLabel(element); label && !label->empty()) titles.push_back(*label);
    if (remainingDepth < 1) return titles;
    for (const auto& child : axChildren(element)) {
        auto more = collectAXTitles(child, remainingDepth - 1);
        titles.insert(titles.end(), more.begin(), more.end());
        if (titles.size() >= kTitleDumpStop) break;
    }
    return titles;
}

std::optional<std::string> V230HostAudioAuxServer::axStringAttribute(const std::string& attribute,
                                                                     const AXUIElement& element) {
    platform::AXAttributeValue value;
    if (platform::AXUIElementCopyAttributeValue(element, attribute, value) != platform::kAXErrorSuccess)
        return std::nullopt;
    const auto* text = std::get_if<std::string>(&value);
    if (!text) return std::nullopt;
    return std::string(platform::UnicodeText::trimmingWhitespace(*text));
}

std::optional<std::string> V230HostAudioAuxServer::axElementLabel(const AXUIElement& element) {
    for (const char* attribute : {platform::kAXTitleAttribute, platform::kAXDescriptionAttribute}) {
        if (auto text = axStringAttribute(attribute, element); text && !text->empty()) return text;
    }
    return std::nullopt;
}

std::vector<AXUIElement> V230HostAudioAuxServer::axChildren(const AXUIElement& element) {
    platform::AXAttributeValue value;
    if (platform::AXUIElementCopyAttributeValue(element, platform::kAXChildrenAttribute, value) !=
        platform::kAXErrorSuccess)
        return {};
    if (const auto* children = std::get_if<std::vector<AXUIElement>>(&value)) return *children;
    return {};
}

std::optional<CGPoint> V230HostAudioAuxServer::axElementCenter(const AXUIElement& element) {
    platform::AXAttributeValue position, size;
    if (platform::AXUIElementCopyAttributeValue(element, platform::kAXPositionAttribute, position) !=
            platform::kAXErrorSuccess ||
        platform::AXUIElementCopyAttributeValue(element, platform::kAXSizeAttribute, size) != platform::kAXErrorSuccess)
        return std::nullopt;
    const auto* positionValue = std::get_if<platform::AXValue>(&position);
    const auto* sizeValue = std::get_if<platform::AXValue>(&size);
    CGPoint origin;
    platform::CGSize extent;
    if (!positionValue || !sizeValue || !platform::AXValueGetValue(*positionValue, origin) ||
        !platform::AXValueGetValue(*sizeValue, extent))
        return std::nullopt;
    return CGPoint{origin.x + extent.width * 0.5, origin.y + extent.height * 0.5};
}
