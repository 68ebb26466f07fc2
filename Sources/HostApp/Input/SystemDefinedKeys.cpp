// Media, volume, brightness and similar keys, which macOS carries as
// system-defined events with an NX key type, and key combinations posted
// as modifier presses around a key, at once or paced on the server queue.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Runtime/Clock.h"

using platform::CGEventType;

namespace {

constexpr int16_t kAuxControlButtonsSubtype = 8;
constexpr uint64_t kSystemKeyModifierFlags = 0xA00;
constexpr double kSystemKeyUpDelay = 0.04;
constexpr double kComboStepSeconds = 0.035;

constexpr ModifierKey kComboModifierOrder[] = {{59, platform::kCGEventFlagMaskControl},
                                               {58, platform::kCGEventFlagMaskAlternate},
                                               {56, platform::kCGEventFlagMaskShift},
                                               {55, platform::kCGEventFlagMaskCommand}};

platform::CGEventRef systemDefinedKeyEvent(int keyType, bool down) {
    // Unsigned 64-bit: a key type of 0x8000 or more must not overflow into
    // the sign.
    const uint64_t type = static_cast<uint32_t>(keyType);
    const auto data1 = static_cast<int64_t>((type << 16) | (down ? 0x0A00u : 0x0B00u));
    auto event = platform::NSEvent::otherEvent(CGEventType::systemDefined, platform::CGPoint{},
                                               kSystemKeyModifierFlags, platform::Clock::uptimeSeconds(), 0,
                                               kAuxControlButtonsSubtype, data1, -1);
    return event ? event->cgEvent() : nullptr;
}

}  // namespace

bool V230HostAudioAuxServer::postSystemDefinedKey(int keyType) {
    queue.dispatchPrecondition();
    auto down = systemDefinedKeyEvent(keyType, true);
    if (!down) return false;
    auto up = systemDefinedKeyEvent(keyType, false);
    if (!up) return false;
    platform::CGEventPost(platform::CGEventTapLocation::hid, down);
    // The key-up goes out even if the Viewer has left meanwhile: a key left
    // down would repeat on the Host.
    queue.asyncAfter(kSystemKeyUpDelay, [up] { platform::CGEventPost(platform::CGEventTapLocation::hid, up); });
    return true;
}

std::vector<ModifierKey> V230HostAudioAuxServer::modifierKeys(uint64_t flags) {
    std::vector<ModifierKey> mods;
    for (const auto& m : kComboModifierOrder)
        if (flags & m.flag) mods.push_back(m);
    return mods;
}

std::vector<KeyComboEvent> V230HostAudioAuxServer::keyComboEvents(uint16_t key, uint64_t flags) {
    const auto mods = modifierKeys(flags);
    std::vector<KeyComboEvent> events;
    uint64_t running = 0;
    for (const auto& m : mods) {
        running |= m.flag;
        events.push_back({m.keyCode, true, running});
    }
    events.push_back({key, true, flags});
    events.push_back({key, false, flags});
    // Each modifier's key-up still carries its own flag.
    for (auto m = mods.rbegin(); m != mods.rend(); ++m) {
        events.push_back({m->keyCode, false, running});
        running &= ~m->flag;
    }
    return events;
}

void V230HostAudioAuxServer::postKeyCombo(uint16_t key, uint64_t flags) {
    for (const auto& e : keyComboEvents(key, flags)) postKeyboardEvent(e.keyCode, e.keyDown, e.flags);
}

void V230HostAudioAuxServer::postDelayedKeyCombo(uint16_t key, uint64_t flags) {
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    const auto events = keyComboEvents(key, flags);
    for (size_t i = 0; i < events.size(); ++i) {
        queue.asyncAfter(static_cast<double>(i) * kComboStepSeconds, [weak, e = events[i]] {
            if (auto self = weak.lock()) self->postKeyboardEvent(e.keyCode, e.keyDown, e.flags);
        });
    }
}

void V230HostAudioAuxServer::applySystemDefinedKeyEvent(const SystemDefinedKeyEventControlPayload& event,
                                                        const platform::UUID& sourceID) {
    queue.dispatchPrecondition();
    switch (event.keyType) {
        case 25: {
            auto name = viewerSessionNames.find(sourceID);
            publish("remote input: ignored system-defined MENU key from " +
                                 (name == viewerSessionNames.end() ? std::string("Viewer") : name->second));
            return;
        }
        case 13: {
            activateLaunchpadForViewers();
            return;
        }
        default:
            if (!ensureInputTrust()) return;
            if (!postSystemDefinedKey(event.keyType))
                publish("host system key failed type=" + std::to_string(event.keyType));
    }
}
