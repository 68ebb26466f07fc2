// The Viewer's input as the control dispatch hands it over.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::applyPointerEvent(const PointerEventControlPayload& event,
                                               const platform::UUID& sourceID) {
    publish("input: pointer from " + sourceID.id8() + " buttons=" + std::to_string(event.buttonMask) + " at " +
            std::to_string(event.x) + "," + std::to_string(event.y));
}

void V230HostAudioAuxServer::applyGestureEvent(const GestureEventControlPayload& event,
                                               const platform::UUID& sourceID) {
    publish("input: gesture from " + sourceID.id8() + " kind=" + std::to_string(static_cast<int>(event.kind)));
}

void V230HostAudioAuxServer::applyHostShortcut(const HostShortcutControlPayload& shortcut,
                                               const platform::UUID& sourceID) {
    publish("input: shortcut from " + sourceID.id8() + " kind=" + std::to_string(static_cast<int>(shortcut.kind)));
}

void V230HostAudioAuxServer::applyKeyEvent(const KeyEventControlPayload& event) {
    publish("input: key keysym=" + std::to_string(event.keysym) + (event.down ? " down" : " up"));
}

void V230HostAudioAuxServer::applyRawKeyEvent(const RawKeyEventControlPayload& event) {
    publish("input: raw key code=" + std::to_string(event.keyCode) + (event.down ? " down" : " up"));
}

void V230HostAudioAuxServer::applySystemDefinedKeyEvent(const SystemDefinedKeyEventControlPayload& event,
                                                        const platform::UUID& sourceID) {
    publish("input: system key from " + sourceID.id8() + " type=" + std::to_string(event.keyType));
}

void V230HostAudioAuxServer::releasePointerButtons(uint8_t mask) {
    publish("input: releasing pointer buttons mask=" + std::to_string(mask));
}

void V230HostAudioAuxServer::releaseHeldKeyboardModifiers(const std::string& reason) {
    publish("input: releasing held keyboard modifiers (" + reason + ")");
}
