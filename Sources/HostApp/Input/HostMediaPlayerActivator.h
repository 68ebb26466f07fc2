#pragma once
// Brings the application that is playing sound to the front after a Viewer
// pressed play/pause, next or previous track. It asks the audio system
// which processes produce output, prefers a known media player among them,
// falls back to the most recently started known player, and activates it,
// through the workspace when a plain activation is refused.
//
// One shared object with its own serial queue, so the server queue never
// waits for it; requests run in order, each to its end (including a wait of
// up to 2 s on the workspace) before the next. A request that arrives while
// one for the same key is still waiting to start joins it: however fast a
// Viewer presses, at most one request per key waits.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "Platform/Runtime/Dispatch.h"

class HostMediaPlayerActivator : public std::enable_shared_from_this<HostMediaPlayerActivator> {
public:
    // How long an open through the workspace may take to answer.
    static constexpr double workspaceOpenWaitSeconds = 2.0;

    // The one instance, created on first use.
    static std::shared_ptr<HostMediaPlayerActivator> shared();
    // A fresh instance for the next test (its queue on the test's runtime).
    static void resetSharedForTesting();

    // Returns at once; the work runs on the activator's queue. `reason` only
    // labels the log line, which goes to `log` when one is given (the
    // server's limited logger for the Viewer that pressed), else to the log.
    void bringPlayingAppToFront(const std::string& reason, std::function<void(const std::string&)> log = {});
    // Requests taken so far that have not started yet, one per key at most.
    size_t waitingRequestsForTesting() const;

    // The bundle identifier of a process playing audio: the first known
    // player in the audio system's order, else the first of any.
    static std::optional<std::string> audioOutputBundleID();
    // Brings a running application with the identifier forward; what
    // happened, or none when no such application runs. Activator queue.
    std::optional<std::string> activate(const std::string& bundleID);
    // Activates the running known player with the highest process
    // identifier that answers. Activator queue.
    std::optional<std::string> activateMostRecentKnownPlayer();
    // "HH:mm:ss.SSS", local time.
    static std::string timestamp();
    static const std::set<std::string>& knownPlayerBundleIDs();

    // The text of the last outcome; "never" before the first request.
    std::string lastActivationDescription() const;

    HostMediaPlayerActivator();

private:
    platform::DispatchQueue queue_{"v230.host.media-player.activator"};
    mutable std::mutex lock_;
    std::string lastActivationDescription_ = "never";
    // The reasons of the requests queued that have not started: a later
    // one of the same reason joins it. Guarded by lock_.
    std::set<std::string> waitingReasons_;
};
