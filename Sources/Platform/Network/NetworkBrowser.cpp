#include "Platform/Network/NetworkBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include <atomic>

#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

std::string NetworkBrowserState::description() const {
    switch (kind) {
        case Kind::setup: return "setup";
        case Kind::ready: return "ready";
        case Kind::waiting: return "waiting: " + error;
        case Kind::failed: return "failed: " + error;
        case Kind::cancelled: return "cancelled";
    }
    return "setup";
}

namespace {

// Shared by both kinds of browse: handlers run on the start queue, nothing
// after cancelled, and cancelled only once.
class BrowserBase : public NetworkBrowser, public std::enable_shared_from_this<BrowserBase> {
protected:
    // Any thread: hands the state to the handler on the queue.
    void post(NetworkBrowserState state) {
        std::weak_ptr<BrowserBase> weak = weak_from_this();
        queue_->async([weak, state] {
            if (auto self = weak.lock()) self->deliver(state);
        });
    }
    void postResults(std::vector<NetworkBrowseResult> results) {
        std::weak_ptr<BrowserBase> weak = weak_from_this();
        queue_->async([weak, results] {
            auto self = weak.lock();
            if (!self || self->finished_ || !self->browseResultsChangedHandler) return;
            self->browseResultsChangedHandler(results);
        });
    }
    void deliver(const NetworkBrowserState& state) {
        if (finished_) return;
        if (state.kind == NetworkBrowserState::Kind::cancelled) finished_ = true;
        if (stateUpdateHandler) stateUpdateHandler(state);
    }
    // Starts once; false for a later call.
    bool begin(DispatchQueue queue) {
        std::lock_guard<std::mutex> g(lock_);
        if (queue_) return false;
        queue_ = std::move(queue);
        return true;
    }
    bool started() {
        std::lock_guard<std::mutex> g(lock_);
        return queue_.has_value();
    }

    std::mutex lock_;
    std::optional<DispatchQueue> queue_;
    // Touched on the queue only.
    bool finished_ = false;
};

class ScriptedBrowser final : public BrowserBase {
public:
    explicit ScriptedBrowser(SimulatedBonjourBrowsing::Script script) : script_(std::move(script)) {}

    void start(DispatchQueue queue) override {
        if (!begin(queue)) return;
        std::weak_ptr<BrowserBase> weak = shared_from_this();
        bool resultsSent = false;
        for (const auto& [delay, state] : script_.states) {
            const bool withResults = !resultsSent && state.kind == NetworkBrowserState::Kind::ready &&
                                     !script_.results.empty();
            resultsSent = resultsSent || withResults;
            auto results = withResults ? script_.results : std::vector<NetworkBrowseResult>{};
            queue.asyncAfter(delay, [weak, state = state, results, withResults] {
                auto self = weak.lock();
                if (!self) return;
                static_cast<ScriptedBrowser&>(*self).deliver(state);
                if (withResults) static_cast<ScriptedBrowser&>(*self).postResults(results);
            });
        }
    }

    void cancel() override {
        if (started()) post({NetworkBrowserState::Kind::cancelled, ""});
    }

private:
    const SimulatedBonjourBrowsing::Script script_;
};

// The daemon's browse. Avahi objects live on the threaded poll and are
// touched only under its lock; its callbacks only post to the queue.
class AvahiBrowser final : public BrowserBase {
public:
    explicit AvahiBrowser(NetworkBrowseDescriptor descriptor) : descriptor_(std::move(descriptor)) {}

    ~AvahiBrowser() override { stop(); }

    void start(DispatchQueue queue) override {
        if (!begin(queue)) return;
        poll_ = avahi_threaded_poll_new();
        if (!poll_) return post({NetworkBrowserState::Kind::failed, "cannot start the Avahi event loop"});
        int error = AVAHI_OK;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0), clientCallback, this, &error);
        if (!client_) return post({NetworkBrowserState::Kind::failed, avahi_strerror(error)});
        browser_ = avahi_service_browser_new(client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, descriptor_.type.c_str(),
                                             descriptor_.domain.c_str(), AvahiLookupFlags(0), browseCallback, this);
        if (!browser_) return post({NetworkBrowserState::Kind::failed, avahi_strerror(avahi_client_errno(client_))});
        running_ = true;
        if (avahi_threaded_poll_start(poll_) < 0) {
            running_ = false;
            return post({NetworkBrowserState::Kind::failed, "cannot start the Avahi event loop"});
        }
        post({NetworkBrowserState::Kind::ready, ""});
    }

    void cancel() override {
        if (!started()) return;
        stop();
        post({NetworkBrowserState::Kind::cancelled, ""});
    }

private:
    // Stops the poll thread first, so that no callback runs while the
    // objects go away.
    void stop() {
        std::lock_guard<std::mutex> g(stopLock_);
        if (!poll_) return;
        if (running_) avahi_threaded_poll_stop(poll_);
        if (client_) avahi_client_free(client_);  // frees the service browser too
        avahi_threaded_poll_free(poll_);
        poll_ = nullptr;
        client_ = nullptr;
        browser_ = nullptr;
        running_ = false;
    }

    static void clientCallback(AvahiClient* client, AvahiClientState state, void* userdata) {
        if (state != AVAHI_CLIENT_FAILURE) return;
        auto* self = static_cast<AvahiBrowser*>(userdata);
        // During avahi_client_new the object is not shared yet; its failure
        // comes back through the constructor's error instead.
        if (!self->running_) return;
        self->post({NetworkBrowserState::Kind::failed, avahi_strerror(avahi_client_errno(client))});
    }

    static void browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex, AvahiProtocol, AvahiBrowserEvent event,
                               const char* name, const char* type, const char* domain, AvahiLookupResultFlags,
                               void* userdata) {
        auto* self = static_cast<AvahiBrowser*>(userdata);
        switch (event) {
            case AVAHI_BROWSER_NEW:
                self->found_.push_back({name ? name : "", type ? type : "", domain ? domain : ""});
                break;
            case AVAHI_BROWSER_REMOVE:
                std::erase(self->found_, NetworkBrowseResult{name ? name : "", type ? type : "", domain ? domain : ""});
                break;
            case AVAHI_BROWSER_FAILURE:
                if (self->running_)
                    self->post({NetworkBrowserState::Kind::failed,
                                avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser)))});
                return;
            default:
                return;
        }
        if (self->running_) self->postResults(self->found_);
    }

    const NetworkBrowseDescriptor descriptor_;
    std::mutex stopLock_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
    // The poll thread runs; callbacks may post.
    std::atomic<bool> running_{false};
    // Written by the poll thread only.
    std::vector<NetworkBrowseResult> found_;
};

}  // namespace

std::shared_ptr<NetworkBrowser> NetworkBrowser::make(NetworkBrowseDescriptor descriptor, bool includePeerToPeer) {
    auto& browsing = SimulatedMachine::current().component<SimulatedBonjourBrowsing>();
    browsing.noteBrowse({descriptor, includePeerToPeer});
    // Avahi has no peer-to-peer links to add: the flag is recorded only.
    if (auto script = browsing.script()) return std::make_shared<ScriptedBrowser>(std::move(*script));
    return std::make_shared<AvahiBrowser>(std::move(descriptor));
}

void SimulatedBonjourBrowsing::setScript(std::optional<Script> script) {
    std::lock_guard<std::mutex> g(lock_);
    script_ = std::move(script);
}

std::optional<SimulatedBonjourBrowsing::Script> SimulatedBonjourBrowsing::script() const {
    std::lock_guard<std::mutex> g(lock_);
    return script_;
}

std::vector<SimulatedBonjourBrowsing::Browse> SimulatedBonjourBrowsing::browses() const {
    std::lock_guard<std::mutex> g(lock_);
    return browses_;
}

void SimulatedBonjourBrowsing::noteBrowse(Browse browse) {
    std::lock_guard<std::mutex> g(lock_);
    browses_.push_back(std::move(browse));
}

}  // namespace platform
