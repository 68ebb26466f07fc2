// The display and stream operations the power policy calls whose own
// behaviour is still to come: each does the least that keeps the policy
// sound until then.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::restartMotionStream(const std::string& reason, double afterSeconds) {
    publish("motion stream: restart requested (" + reason + ") after " + std::to_string(afterSeconds) + " s");
}
