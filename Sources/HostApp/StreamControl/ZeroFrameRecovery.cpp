// Zero-frame recovery as the statistics tick reaches it: until the Screen
// Sharing fallback exists, a capture that delivers nothing is rebuilt.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::attemptVideoZeroFrameRecovery(uint32_t displayID) {
    publish("video: no frames captured on display=" + std::to_string(displayID) + "; rebuilding capture");
    restartVideoCapture(0);
}

void V230HostAudioAuxServer::resumeAuxVideoCaptureAfterZeroFrameSuspension(const std::string& reason) {
    auto& sc = streamControl;
    if (!sc.auxVideoCaptureSuspendedForZeroFrames) return;
    sc.auxVideoCaptureSuspendedForZeroFrames = false;
    publish("video: Aux capture resumed (" + reason + ")");
}
