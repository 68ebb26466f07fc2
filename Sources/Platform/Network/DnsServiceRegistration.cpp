#include "Platform/Network/DnsServiceRegistration.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <sys/time.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

#include "Platform/Runtime/Runtime.h"

namespace platform {

namespace {

// Every name the daemon offers in turn can be taken as well; past this many
// the registration gives up until the next publish or retry.
constexpr int kMaxRenamesPerAttempt = 16;

// The one queue every call into the Avahi client library goes through, for
// every registration of the process: libdbus takes its locks in an order
// that only holds while one thread at a time calls in (a registration
// publishing while another closes its connection inverts it). Made afresh
// for each runtime a test installs.
DispatchQueue avahiClientQueue() {
    static std::mutex lock;
    static std::optional<DispatchQueue> queue;
    static uint64_t madeForInstall = 0;
    std::lock_guard<std::mutex> guard(lock);
    const uint64_t install = Runtime::installCount();
    if (!queue || madeForInstall != install) {
        queue.emplace("platform.avahi.client");
        madeForInstall = install;
    }
    return *queue;
}

// The Avahi-backed registration. Its state and every Avahi call live on
// the Avahi client queue; the owner's publish and withdraw hop there. The
// Avahi calls themselves run on the poll thread while the queue waits, and
// the poll thread's callbacks do nothing but post to that queue.
class AvahiServiceRegistration final : public DnsServiceRegistration,
                                       public std::enable_shared_from_this<AvahiServiceRegistration> {
public:
    AvahiServiceRegistration(DispatchQueue ownerQueue, Logger log)
        : ownerQueue_(std::move(ownerQueue)), queue_(avahiClientQueue()), log_(std::move(log)) {}

    ~AvahiServiceRegistration() override {
        if (!poll_) return;
        // Freed on the Avahi queue like every other call. The poll thread is
        // stopped first, so no callback runs while the objects go away.
        queue_.sync([this] {
            if (client_) onPollThread([this] { avahi_client_free(client_); });
            avahi_threaded_poll_stop(poll_);
            avahi_threaded_poll_free(poll_);
        });
    }

    void publish(const DnsServiceDescription& service) override {
        ownerQueue_.dispatchPrecondition();
        onAvahiQueue([service](AvahiServiceRegistration& self) {
            if (!self.desired_ || self.desired_->name != service.name) self.activeName_ = service.name;
            self.desired_ = service;
            self.apply();
        });
    }

    void withdraw() override {
        ownerQueue_.dispatchPrecondition();
        onAvahiQueue([](AvahiServiceRegistration& self) {
            self.desired_.reset();
            self.apply();
        });
    }

private:
    // Runs the work on the poll thread and waits for it. Every call into
    // the client and its D-Bus connection is made there, the thread that
    // also dispatches the connection: libdbus locks a connection and its
    // global state in one order when it opens one and in the other when it
    // closes one on its own thread, so a second thread making calls could
    // deadlock against it. The wait is a plain one, not the runtime's: it
    // only ever waits for the poll thread's short turn.
    void onPollThread(const std::function<void()>& work) {
        struct Call {
            const std::function<void()>* work;
            const AvahiPoll* api;
            std::mutex lock;
            std::condition_variable doneChanged;
            bool done = false;
        } call{&work, avahi_threaded_poll_get(poll_)};
        avahi_threaded_poll_lock(poll_);
        timeval now{};
        gettimeofday(&now, nullptr);
        call.api->timeout_new(
            call.api, &now,
            [](AvahiTimeout* timeout, void* userdata) {
                auto* c = static_cast<Call*>(userdata);
                (*c->work)();
                c->api->timeout_free(timeout);
                std::lock_guard<std::mutex> guard(c->lock);
                c->done = true;
                c->doneChanged.notify_all();
            },
            &call);
        avahi_threaded_poll_unlock(poll_);
        std::unique_lock<std::mutex> guard(call.lock);
        call.doneChanged.wait(guard, [&] { return call.done; });
    }

    // What the poll thread's callbacks reach: never the registration itself,
    // which may be gone by the time the poll thread stops.
    struct CallbackRelay {
        std::weak_ptr<AvahiServiceRegistration> owner;
        DispatchQueue queue;
        // Callbacks only say "look again": the handler reads the current
        // state on the queue, so a late delivery never acts on a stale one.
        void post(void (AvahiServiceRegistration::*handler)()) const {
            queue.async([weak = owner, handler] {
                if (auto self = weak.lock()) ((*self).*handler)();
            });
        }
    };

    static void clientCallback(AvahiClient*, AvahiClientState, void* userdata) {
        static_cast<CallbackRelay*>(userdata)->post(&AvahiServiceRegistration::clientStateChanged);
    }
    static void groupCallback(AvahiEntryGroup*, AvahiEntryGroupState, void* userdata) {
        static_cast<CallbackRelay*>(userdata)->post(&AvahiServiceRegistration::groupStateChanged);
    }

    void onAvahiQueue(std::function<void(AvahiServiceRegistration&)> work) {
        std::weak_ptr<AvahiServiceRegistration> weak = weak_from_this();
        queue_.async([weak, work = std::move(work)] {
            if (auto self = weak.lock()) work(*self);
        });
    }

    void apply() {
        queue_.dispatchPrecondition();
        if (!client_) {
            if (desired_) connect();
            return;
        }
        onPollThread([this] { applyOnPollThread(); });
    }

    // Expects the client.
    void applyOnPollThread() {
        if (avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) return;  // applied once running
        if (!desired_) {
            if (group_) avahi_entry_group_reset(group_);
            registered_.reset();
            return;
        }
        if (registered_ && registered_->type == desired_->type && registered_->domain == desired_->domain &&
            registered_->port == desired_->port && registered_->name == activeName_) {
            if (registered_->txt == desired_->txt) return;
            AvahiStringList* txt = makeTxt(desired_->txt);
            int rc = avahi_entry_group_update_service_txt_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                                 AvahiPublishFlags(0), activeName_.c_str(),
                                                                 desired_->type.c_str(), desired_->domain.c_str(), txt);
            avahi_string_list_free(txt);
            if (rc == AVAHI_OK) {
                registered_->txt = desired_->txt;
                return;
            }
            log_("discovery: TXT record update failed (" + std::string(avahi_strerror(rc)) + "), registering again");
        }
        registerLocked();
    }

    // Expects the poll thread and the client running.
    void registerLocked() {
        registered_.reset();
        if (!group_) {
            group_ = avahi_entry_group_new(client_, groupCallback, relay_.get());
            if (!group_) {
                log_("discovery: cannot create a DNS-SD entry group (" +
                     std::string(avahi_strerror(avahi_client_errno(client_))) + ")");
                scheduleRetry();
                return;
            }
        } else {
            avahi_entry_group_reset(group_);
        }
        AvahiStringList* txt = makeTxt(desired_->txt);
        int rc = AVAHI_OK;
        for (int attempt = 0; attempt <= kMaxRenamesPerAttempt; ++attempt) {
            rc = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                      AvahiPublishFlags(0), activeName_.c_str(),
                                                      desired_->type.c_str(), desired_->domain.c_str(), nullptr,
                                                      desired_->port, txt);
            // A name held by another service of this same daemon is refused
            // at once rather than reported as a collision later.
            if (rc != AVAHI_ERR_COLLISION) break;
            rename();
        }
        avahi_string_list_free(txt);
        if (rc == AVAHI_OK) rc = avahi_entry_group_commit(group_);
        if (rc != AVAHI_OK) {
            log_("discovery: cannot register \"" + activeName_ + "\" (" + std::string(avahi_strerror(rc)) + ")");
            avahi_entry_group_reset(group_);
            scheduleRetry();
            return;
        }
        registered_ = *desired_;
        registered_->name = activeName_;
        establishedLogged_ = false;
    }

    void rename() {
        char* alternative = avahi_alternative_service_name(activeName_.c_str());
        std::string next = alternative ? alternative : activeName_ + " #2";
        avahi_free(alternative);
        log_("discovery: service name \"" + activeName_ + "\" is taken, advertising as \"" + next + "\"");
        activeName_ = next;
    }

    static AvahiStringList* makeTxt(const DnsTxtRecord& record) {
        // Adding prepends, so the entries go in back to front.
        AvahiStringList* list = nullptr;
        for (auto it = record.rbegin(); it != record.rend(); ++it)
            list = avahi_string_list_add_pair(list, it->first.c_str(), it->second.c_str());
        return list;
    }

    void connect() {
        if (retryScheduled_) return;
        if (!poll_) {
            relay_ = std::make_unique<CallbackRelay>(CallbackRelay{weak_from_this(), queue_});
            poll_ = avahi_threaded_poll_new();
            if (!poll_ || avahi_threaded_poll_start(poll_) < 0) {
                if (poll_) avahi_threaded_poll_free(poll_);
                poll_ = nullptr;
                unavailable("cannot start the Avahi event loop");
                return;
            }
        }
        int error = AVAHI_OK;
        onPollThread([&] {
            client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0), clientCallback,
                                       relay_.get(), &error);
        });
        if (!client_) {
            unavailable(avahi_strerror(error));
            return;
        }
        apply();
    }

    void unavailable(const std::string& why) {
        if (!unavailableLogged_) {
            unavailableLogged_ = true;
            log_("discovery: no DNS-SD daemon answers (" + why + "); the Host keeps serving and tries again every " +
                 std::to_string(static_cast<int>(kRetryIntervalSeconds)) + " s");
        }
        scheduleRetry();
    }

    void scheduleRetry() {
        if (retryScheduled_) return;
        retryScheduled_ = true;
        std::weak_ptr<AvahiServiceRegistration> weak = weak_from_this();
        queue_.asyncAfter(kRetryIntervalSeconds, [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->retryScheduled_ = false;
            self->apply();
        });
    }

    void clientStateChanged() {
        if (!client_) return;
        AvahiClientState state;
        int error;
        onPollThread([&] {
            state = avahi_client_get_state(client_);
            error = avahi_client_errno(client_);
            // The daemon dropped every record when the host name changed or
            // collided; they are added again once it runs.
            if ((state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) && group_)
                avahi_entry_group_reset(group_);
        });
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                apply();
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                registered_.reset();
                break;
            case AVAHI_CLIENT_FAILURE: {
                onPollThread([this] { avahi_client_free(client_); });
                client_ = nullptr;
                group_ = nullptr;
                registered_.reset();
                unavailableLogged_ = false;
                unavailable(std::string("lost the daemon: ") + avahi_strerror(error));
                break;
            }
            default:
                break;
        }
    }

    void groupStateChanged() {
        if (!group_) return;
        AvahiEntryGroupState state;
        int error;
        onPollThread([&] {
            state = static_cast<AvahiEntryGroupState>(avahi_entry_group_get_state(group_));
            error = avahi_client_errno(client_);
        });
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                unavailableLogged_ = false;
                if (registered_ && !establishedLogged_) {
                    establishedLogged_ = true;
                    log_("discovery: advertising \"" + registered_->name + "\" as " + registered_->type + " in " +
                         registered_->domain + " on port " + std::to_string(registered_->port));
                }
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                if (!desired_) break;
                rename();
                registered_.reset();
                apply();
                break;
            case AVAHI_ENTRY_GROUP_FAILURE:
                log_("discovery: service registration failed (" + std::string(avahi_strerror(error)) + ")");
                registered_.reset();
                scheduleRetry();
                break;
            default:
                break;
        }
    }

    // Where publish and withdraw are called.
    const DispatchQueue ownerQueue_;
    // The Avahi client queue, where everything else runs.
    const DispatchQueue queue_;
    const Logger log_;
    // What the poll thread's callbacks reach; made with the poll.
    std::unique_ptr<CallbackRelay> relay_;

    // Avahi objects: the poll thread runs from the first connection attempt
    // until destruction; client and group exist while the daemon answers.
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;

    // What the owner wants published; nothing after withdraw().
    std::optional<DnsServiceDescription> desired_;
    // What the entry group holds now (with the name actually in use).
    std::optional<DnsServiceDescription> registered_;
    // The owner's name, or the alternative that replaced it after a collision.
    std::string activeName_;
    // One log line per outage, not one per retry.
    bool unavailableLogged_ = false;
    bool retryScheduled_ = false;
    bool establishedLogged_ = false;
};

}  // namespace

std::shared_ptr<DnsServiceRegistration> DnsServiceRegistration::makeAvahi(DispatchQueue queue, Logger log) {
    return std::make_shared<AvahiServiceRegistration>(std::move(queue), std::move(log));
}

std::string DnsServiceRegistration::defaultServiceName() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return "Host";
    return serviceNameForHostName(buffer);
}

std::string DnsServiceRegistration::serviceNameForHostName(const std::string& hostName) {
    std::string name = hostName.substr(0, hostName.find('.'));
    if (name.size() > 63) {
        // Cut before a whole character: the daemon refuses a name that ends
        // in half of one, and would never advertise the Host at all.
        size_t cut = 63;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }
    return name.empty() ? "Host" : name;
}

}  // namespace platform
