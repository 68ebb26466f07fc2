#include "Platform/Foundation/NotificationCenter.h"

#include <vector>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static auto* center = new NotificationCenter();
    return *center;
}

NotificationCenter& NotificationCenter::distributedCenter() {
    static auto* center = new NotificationCenter();
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Handler handler,
                                                         std::optional<DispatchQueue> queue) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->handler = std::move(handler);
    observer->queue = std::move(queue);
    std::lock_guard<std::mutex> g(lock_);
    Token token = nextToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = observers_.find(token);
    if (it == observers_.end()) return;
    it->second->removed = true;
    observers_.erase(it);
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (const auto& [token, observer] : observers_)
            if (observer->name == notification.name) targets.push_back(observer);
    }
    for (const auto& observer : targets) {
        if (observer->removed) continue;
        if (observer->queue) {
            observer->queue->async([observer, notification] {
                if (!observer->removed) observer->handler(notification);
            });
        } else {
            observer->handler(notification);
        }
    }
}

}  // namespace platform
