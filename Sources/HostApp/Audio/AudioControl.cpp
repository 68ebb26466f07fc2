// A Viewer's audio control (type 7): listening here only, which narrows
// audio delivery to that Viewer and silences the Mac while it lasts, and a
// mute of the Mac's output while the Viewer listens.

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"

void V230HostAudioAuxServer::applyAudioControl(const AudioControlPayload& control, const platform::UUID& sourceID,
                                               const std::shared_ptr<platform::TcpConnection>& connection) {
    queue.dispatchPrecondition();
    if (!authorizedAudioSessions.count(sourceID)) {
        sendHostStatus("audio: session authorization is required", connection);
        return;
    }
    const std::string knownName = viewerName(sourceID);
    const std::string name = knownName.empty() ? "Viewer" : knownName;

    // The Viewer-requested mute answers only when it changes hands.
    bool answered = false;
    const bool holder = audio.viewerHostOutputMuteSessionID == sourceID;
    auto& viewerMute = audio.viewerHostOutputMuteController;
    std::string muteText;
    if (control.muteHostOutput && !holder) {
        const std::string t = viewerMute.muteForExclusiveListening();
        if (viewerMute.lastOperationSucceeded()) {
            audio.viewerHostOutputMuteSessionID = sourceID;
            muteText = "audio: Host output muted for " + name + "; " + t;
        } else {
            muteText = "audio: Host output mute failed for " + name + "; " + t;
        }
        answered = true;
    } else if (!control.muteHostOutput && holder) {
        const std::string t = viewerMute.restoreAfterExclusiveListening().value_or("Host output restored");
        if (viewerMute.lastOperationSucceeded()) {
            audio.viewerHostOutputMuteSessionID.reset();
            muteText = "audio: Host output restored for " + name + "; " + t;
        } else {
            muteText = "audio: Host output restore failed for " + name + "; " + t;
        }
        answered = true;
    }
    if (answered) {
        sendHostStatus(muteText, connection);
        publish(muteText);
    }

    if (control.listenHereOnly) {
        const auto previous = audio.exclusiveAudioSessionID;
        audio.exclusiveAudioSessionID = sourceID;
        updateAudioSendConnections();
        const std::string t = audio.hostOutputMuteController.muteForExclusiveListening();
        if (previous && *previous != sourceID) {
            if (auto other = audioSessions.find(*previous); other != audioSessions.end()) {
                sendHostStatus("audio: listening here only disabled because another Viewer became exclusive",
                               other->second);
            }
        }
        sendHostStatus("audio: listening here only enabled; " + t, connection);
        publish(std::string("exclusive audio ") + (previous == sourceID ? "refreshed" : "enabled") + " for " +
                             name + "; " + t);
        return;
    }
    if (audio.exclusiveAudioSessionID == sourceID) {
        releaseExclusiveAudioListening("Viewer disabled listening here only");
        sendHostStatus("audio: listening here only disabled", connection);
    } else if (!answered && !control.muteHostOutput) {
        // Only a message that asked for nothing else hears that there was
        // nothing to end.
        sendHostStatus("audio: listening here only is not active for this Viewer", connection);
    }
}

void V230HostAudioAuxServer::releaseExclusiveAudioListening(const std::string& reason) {
    queue.dispatchPrecondition();
    if (!audio.exclusiveAudioSessionID) return;
    audio.exclusiveAudioSessionID.reset();
    updateAudioSendConnections();
    auto restored = audio.hostOutputMuteController.restoreAfterExclusiveListening();
    publish("exclusive audio released: " + reason + (restored ? "; " + *restored : std::string()));
}

std::optional<std::string> V230HostAudioAuxServer::restoreViewerHostOutputAfterExclusiveListening() {
    queue.dispatchPrecondition();
    return audio.viewerHostOutputMuteController.restoreAfterExclusiveListening();
}
