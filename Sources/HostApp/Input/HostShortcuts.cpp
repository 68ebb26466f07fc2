// The Host shortcuts a Viewer fires by name (type 29): each kind becomes key
// combinations, system-defined keys, an application opened, a desktop step,
// a power-management call or a change of the streaming state. The heavier
// actions live beside this file: Launchpad and application opening, desktop
// stepping, and the media player activator.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Input/HostMediaPlayerActivator.h"
#include "Platform/SimulatedMac/PowerManagement.h"

using K = HostShortcutKind;

namespace {

constexpr uint64_t kControl = platform::kCGEventFlagMaskControl;
constexpr uint64_t kOption = platform::kCGEventFlagMaskAlternate;
constexpr uint64_t kShiftCommand = platform::kCGEventFlagMaskShift | platform::kCGEventFlagMaskCommand;
constexpr uint64_t kControlCommand = platform::kCGEventFlagMaskControl | platform::kCGEventFlagMaskCommand;
constexpr uint16_t kKeyLeftControl = 59;
constexpr double kInputSourceControlReleaseDelay = 0.25;

// A kind that only posts an NX system key, without a trust check.
std::optional<int> plainSystemKey(K kind) {
    switch (kind) {
        case K::mute: return 7;
        case K::volumeUp: return 0;
        case K::volumeDown: return 1;
        case K::brightnessUp: return 2;
        case K::brightnessDown: return 3;
        case K::keyboardIlluminationUp: return 21;
        case K::keyboardIlluminationDown: return 22;
        default: return std::nullopt;
    }
}

// A trust-checked key combination and the sentence it reports; `broadcast`
// when the Viewers are told too.
struct ShortcutCombo {
    uint16_t keyCode;
    uint64_t flags;
    const char* text;
    bool broadcast;
};

std::optional<ShortcutCombo> trustedCombo(K kind) {
    switch (kind) {
        case K::appExpose: return ShortcutCombo{125, kControl, "host shortcut: Control+Down App Expose", true};
        case K::screenshot: return ShortcutCombo{20, kShiftCommand, "host shortcut: screenshot (Shift+Cmd+3)", false};
        case K::recordingToggle:
            return ShortcutCombo{23, kShiftCommand, "host shortcut: recording toggle (Shift+Cmd+5)", false};
        case K::lockScreen: return ShortcutCombo{12, kControlCommand, "host shortcut: lock screen (Ctrl+Cmd+Q)", true};
        default: return std::nullopt;
    }
}

// The media keys: the NX key, then the playing app comes forward.
std::optional<std::pair<int, const char*>> mediaKey(K kind) {
    switch (kind) {
        case K::playPause: return std::pair{16, "play/pause"};
        case K::nextTrack: return std::pair{17, "next track"};
        case K::previousTrack: return std::pair{18, "previous track"};
        default: return std::nullopt;
    }
}

}  // namespace

void V230HostAudioAuxServer::publishAndBroadcast(const std::string& text) {
    publish(text);
    broadcastHostError(text);
}

void V230HostAudioAuxServer::postFlagsChanged(uint64_t flags) {
    auto event = platform::CGEventCreateKeyboardEvent(nullptr, 0, false);
    if (!event) return;
    platform::CGEventSetType(event, platform::CGEventType::flagsChanged);
    platform::CGEventSetFlags(event, flags);
    platform::CGEventPost(platform::CGEventTapLocation::hid, event);
}

void V230HostAudioAuxServer::runOnShortcutTools(HostShortcutTool kind,
                                                std::function<ShortcutToolAnswer(V230HostAudioAuxServer&)> work) {
    queue.dispatchPrecondition();
    auto& busy = hostShortcuts.toolBusy[static_cast<size_t>(kind)];
    if (terminating_ || busy.exchange(true)) return;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    // The tools and their answer are the asking Viewer's work, lines and
    // all: the queues charge them to its peer.
    hostShortcuts.toolQueue.async([weak, kind, work = std::move(work)] {
        auto self = weak.lock();
        if (!self) return;
        ShortcutToolAnswer answer;
        // Work queued before termination began is skipped, not run late.
        answer = self->terminating_ ? nullptr : work(*self);
        self->hostShortcuts.toolBusy[static_cast<size_t>(kind)] = false;
        if (!answer) return;
        self->queue.async([weak, answer = std::move(answer)] {
            auto server = weak.lock();
            if (server && !server->terminating_) answer(*server);
        });
    });
}

void V230HostAudioAuxServer::applyHostShortcut(const HostShortcutControlPayload& shortcut,
                                               const platform::UUID& sourceID) {
    queue.dispatchPrecondition();
    const K kind = shortcut.kind;

    if (auto key = plainSystemKey(kind)) {
        postSystemDefinedKey(*key);
        return;
    }
    if (auto media = mediaKey(kind)) {
        postSystemDefinedKey(media->first);
        // Its line is written on the activator's queue, still as this
        // Viewer's: that work is charged to its peer.
        HostMediaPlayerActivator::shared()->bringPlayingAppToFront(media->second, weakPublisher());
        return;
    }
    if (auto combo = trustedCombo(kind)) {
        if (!ensureInputTrust()) return;
        postDelayedKeyCombo(combo->keyCode, combo->flags);
        if (combo->broadcast) {
            publishAndBroadcast(combo->text);
        } else {
            publish(combo->text);
        }
        return;
    }

    switch (kind) {
        case K::missionControl: {
            auto name = viewerSessionNames.find(sourceID);
            auto address = viewerSessionRemoteAddresses.find(sourceID);
            publish("remote input: Mission Control requested by " +
                                 (name == viewerSessionNames.end() ? std::string("Viewer") : name->second) + " from " +
                                 (address == viewerSessionRemoteAddresses.end() ? std::string("unknown")
                                                                                : address->second));
            const bool trusted = ensureInputTrust();
            if (trusted) {
                // Clears whatever modifiers injected input left held.
                postFlagsChanged(0);
                postSystemDefinedKey(160);
            }
            // Opening waits on tools and the workspace: off the server queue,
            // with the fallback and the answer back on it.
            runOnShortcutTools(HostShortcutTool::missionControl, [trusted](V230HostAudioAuxServer& self) {
                const bool opened = self.openSystemApplication("Mission Control", "com.apple.exposelauncher");
                return ShortcutToolAnswer([trusted, opened](V230HostAudioAuxServer& server) {
                    if (trusted && !opened) server.postDelayedKeyCombo(126, kControl);
                    server.publishAndBroadcast("host shortcut: opened Mission Control");
                });
            });
            return;
        }
        case K::launchpad:
            activateLaunchpadForViewers();
            return;
        case K::nextDesktop:
        case K::previousDesktop:
            requestDesktopSwitch(kind == K::nextDesktop);
            return;
        case K::nextInputSource: {
            postDelayedKeyCombo(49, kControl);
            publish("host shortcut: next input source (Ctrl+Space)");
            // Control must end up released on the Host and in what the key
            // path believes held, even when the Viewer itself pressed it:
            // a stuck Control would turn every later key into a shortcut.
            std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
            queue.asyncAfter(kInputSourceControlReleaseDelay, [weak] {
                auto self = weak.lock();
                if (!self) return;
                self->postKeyboardEvent(kKeyLeftControl, false, 0);
                self->remoteInput.inputKeyboardFlags &= ~kControl;
            });
            return;
        }
        case K::wakeDisplay: {
            platform::IOPMAssertionID assertion = 0;
            const platform::IOReturn result = platform::IOPMAssertionDeclareUserActivity(
                "Norvessal wake request", platform::IOPMUserActiveType::local, assertion);
            publishAndBroadcast(result == platform::kIOReturnSuccess
                       ? std::string("host shortcut: wake display (PM assertion)")
                       : "host shortcut: wake display failed (" + std::to_string(result) + ")");
            return;
        }
        case K::pauseStreaming:
            streamControl.pausingSessions.insert(sourceID);
            setPaused(true);
            return;
        case K::resumeStreaming:
            streamControl.pausingSessions.clear();
            setPaused(false);
            return;
        case K::optionMissionControlKey:
        case K::optionLaunchpadKey:
            if (!ensureInputTrust()) return;
            postFlagsChanged(kOption);
            postSystemDefinedKey(kind == K::optionMissionControlKey ? 160 : 13);
            return;
        default:
            return;  // every other kind was handled above
    }
}
