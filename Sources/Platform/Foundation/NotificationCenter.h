#pragma once
// Named notifications broadcast to whoever observes them: the local centre
// for the Host's own components and the distributed centre for messages
// between the Host and its sibling apps (in-process here for now).

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Runtime/Dispatch.h"

namespace platform {

struct Notification {
    std::string name;
    std::map<std::string, std::string> userInfo;
};

class NotificationCenter {
public:
    static NotificationCenter& defaultCenter();
    static NotificationCenter& distributedCenter();

    using Token = uint64_t;
    using Handler = std::function<void(const Notification&)>;

    // Observes notifications with exactly this name. Without a queue the
    // handler runs on the poster's thread during post(); with one it runs
    // asynchronously on that queue.
    Token addObserver(std::string name, Handler handler, std::optional<DispatchQueue> queue = std::nullopt);
    // After this returns the handler is not called again, not even for
    // posts already in progress or deliveries already queued (a call that
    // has already begun on another thread runs to its end).
    void removeObserver(Token token);
    // Delivers to the observers present when the post begins. No lock is
    // held while handlers run, so they may post, add and remove observers.
    void post(const Notification& notification);

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

private:
    struct Observer {
        std::string name;
        Handler handler;
        std::optional<DispatchQueue> queue;
        std::atomic<bool> removed{false};
    };

    std::mutex lock_;
    Token nextToken_ = 1;
    std::map<Token, std::shared_ptr<Observer>> observers_;
};

}  // namespace platform
