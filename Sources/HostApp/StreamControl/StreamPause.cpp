// Pausing and resuming the stream, as far as the Host shortcuts need it
// until the shared capture lifecycle owns it: the flag, audio stopped on
// pause, and the capture applied again and audio started on resume.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::setPaused(bool paused) {
    queue.dispatchPrecondition();
    if (isPaused == paused) return;
    isPaused = paused;
    if (paused) {
        retireVideoCaptureOnLifecycleQueue();
        stopAudioCapture(true);
        return;
    }
    if (currentCaptureRequest.flags & CaptureModeControlPayload::flagIOSBuiltInDisplay) {
        applyIOSBuiltInDisplayCaptureRequest(currentCaptureRequest);
    } else {
        applyVideoCaptureMode(currentVideoMode);
    }
    startAudioCapture();
}
