// The power intake of the application's sleep and wake observers. The
// sleep, wake and power-assertion policy comes with its own change; for
// now the state change is only noted.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::noteHostPowerState(const std::string& reason, bool screensSleeping,
                                                bool preflightHeadlessCapture) {
    publish("power: noted " + reason + " screensSleeping=" + (screensSleeping ? "1" : "0") +
            " preflightHeadlessCapture=" + (preflightHeadlessCapture ? "1" : "0"));
}

void V230HostAudioAuxServer::switchPhysicalCaptureToHeadlessIfNeeded(const std::string& reason) {
    publish("power: move of physical capture to the headless display requested (" + reason + ")");
}
