#include "HostApp/Input/HostMediaPlayerActivator.h"

#include <algorithm>
#include <vector>

#include "Platform/SimulatedMac/CoreAudio.h"
#include "Platform/Runtime/Log.h"
#include "Platform/AppKit/Workspace.h"

namespace {

std::mutex sharedActivatorLock;
std::shared_ptr<HostMediaPlayerActivator>& sharedActivator() {
    static std::shared_ptr<HostMediaPlayerActivator> instance;
    return instance;
}

// What a workspace open answered. The completion can come after the wait
// gave up, so the box is shared and outlives whichever side ends last.
struct OpenAnswer {
    std::mutex lock;
    std::optional<std::string> error;
};

}  // namespace

HostMediaPlayerActivator::HostMediaPlayerActivator() = default;

std::shared_ptr<HostMediaPlayerActivator> HostMediaPlayerActivator::shared() {
    std::lock_guard<std::mutex> g(sharedActivatorLock);
    auto& instance = sharedActivator();
    if (!instance) instance = std::make_shared<HostMediaPlayerActivator>();
    return instance;
}

void HostMediaPlayerActivator::resetSharedForTesting() {
    std::lock_guard<std::mutex> g(sharedActivatorLock);
    sharedActivator().reset();
}

const std::set<std::string>& HostMediaPlayerActivator::knownPlayerBundleIDs() {
    static const std::set<std::string> ids = {
        "com.apple.Music",    "com.apple.iTunes",   "com.apple.QuickTimePlayerX", "com.apple.TV",
        "com.apple.podcasts", "com.spotify.client", "com.colliderli.iina",        "org.videolan.vlc",
        "com.google.Chrome",  "com.apple.Safari",   "com.microsoft.edgemac",      "org.mozilla.firefox",
        "com.apple.WebKit.GPU",
    };
    return ids;
}

std::string HostMediaPlayerActivator::timestamp() { return platform::Log::timestamp(); }

std::string HostMediaPlayerActivator::lastActivationDescription() const {
    std::lock_guard<std::mutex> g(lock_);
    return lastActivationDescription_;
}

size_t HostMediaPlayerActivator::waitingRequestsForTesting() const {
    std::lock_guard<std::mutex> g(lock_);
    return waitingReasons_.size();
}

void HostMediaPlayerActivator::bringPlayingAppToFront(const std::string& reason,
                                                      std::function<void(const std::string&)> log) {
    {
        // The waiting request will find the playing app as well as this
        // one would: one queued task, not one per key press.
        std::lock_guard<std::mutex> g(lock_);
        if (!waitingReasons_.insert(reason).second) return;
    }
    std::weak_ptr<HostMediaPlayerActivator> weak = weak_from_this();
    queue_.async([weak, reason, log = std::move(log)] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> g(self->lock_);
            self->waitingReasons_.erase(reason);
        }
        std::optional<std::string> description;
        if (auto id = audioOutputBundleID()) description = self->activate(*id);
        if (!description) description = self->activateMostRecentKnownPlayer();
        const std::string text = description.value_or("no playing app found");
        {
            std::lock_guard<std::mutex> g(self->lock_);
            self->lastActivationDescription_ = text;
        }
        const std::string line = "media activator: " + text + " (" + reason + ")";
        if (log) {
            log(line);
        } else {
            platform::Log::line(line);
        }
    });
}

std::optional<std::string> HostMediaPlayerActivator::audioOutputBundleID() {
    using namespace platform;
    const AudioObjectPropertyAddress list{kAudioHardwarePropertyProcessObjectList};
    uint32_t size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, list, size) != noErr || size < sizeof(AudioObjectID))
        return std::nullopt;
    std::vector<AudioObjectID> processes;
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, list, size, processes) != noErr) return std::nullopt;
    std::optional<std::string> fallback;
    for (AudioObjectID process : processes) {
        uint32_t running = 0;
        if (AudioObjectGetPropertyData(process, {kAudioProcessPropertyIsRunningOutput}, running) != noErr ||
            running == 0)
            continue;
        std::string id;
        if (AudioObjectGetPropertyData(process, {kAudioProcessPropertyBundleID}, id) != noErr || id.empty()) continue;
        if (knownPlayerBundleIDs().count(id)) return id;
        if (!fallback) fallback = id;
    }
    return fallback;
}

std::optional<std::string> HostMediaPlayerActivator::activate(const std::string& bundleID) {
    const auto running = platform::Workspace::runningApplications(bundleID);
    if (running.empty()) return std::nullopt;
    const platform::RunningApplication* app = &running.front();
    if (app->isActive) return bundleID + " already frontmost";
    if (app->activate(platform::kApplicationActivateAllWindows)) return "brought " + bundleID + " to the front";
    if (!app->bundleURL) return "could not activate " + bundleID + " (no bundle URL)";

    auto answer = std::make_shared<OpenAnswer>();
    auto answered = std::make_shared<platform::DispatchSemaphore>(0);
    platform::Workspace::openApplication(*app->bundleURL, true,
                                         [answer, answered](const std::optional<std::string>& error) {
                                             {
                                                 std::lock_guard<std::mutex> g(answer->lock);
                                                 answer->error = error;
                                             }
                                             answered->signal();
                                         });
    // Silence is no proof that the application came forward.
    if (!answered->wait(workspaceOpenWaitSeconds))
        return "asked launch services to open " + bundleID + " (no answer within 2 s)";
    std::lock_guard<std::mutex> g(answer->lock);
    if (answer->error) return "could not activate " + bundleID + " (" + *answer->error + ")";
    return "brought " + bundleID + " to the front (launch services)";
}

std::optional<std::string> HostMediaPlayerActivator::activateMostRecentKnownPlayer() {
    std::vector<platform::RunningApplication> players;
    for (const auto& app : platform::Workspace::runningApplications()) {
        if (app.bundleIdentifier && knownPlayerBundleIDs().count(*app.bundleIdentifier) && !app.isTerminated)
            players.push_back(app);
    }
    std::stable_sort(players.begin(), players.end(),
                     [](const auto& a, const auto& b) { return a.processIdentifier > b.processIdentifier; });
    for (const auto& player : players) {
        if (auto description = activate(*player.bundleIdentifier)) return description;
    }
    return std::nullopt;
}
