#include "Platform/Network/NetworkPathMonitor.h"

namespace platform {

NetworkPathMonitor::NetworkPathMonitor(std::string queueLabel) : queue_(std::move(queueLabel)) {}

NetworkPathMonitor::~NetworkPathMonitor() {
    if (timer_) timer_->cancel();
}

void NetworkPathMonitor::start() {
    if (started_) return;
    started_ = true;
    std::weak_ptr<NetworkPathMonitor> weak = weak_from_this();
    // The baseline is the table at the moment of start(), not whenever the
    // queue gets to it: a change in between must still count as one.
    queue_.async([weak, baseline = currentNetworkInterfaces()]() mutable {
        if (auto self = weak.lock()) self->last_ = std::move(baseline);
    });
    timer_ = std::make_unique<DispatchTimer>(queue_, kPollIntervalSeconds, [weak] {
        if (auto self = weak.lock()) self->poll();
    });
    timer_->resume();
}

void NetworkPathMonitor::cancel() {
    if (timer_) timer_->cancel();
    // A poll already running on the queue may still reach the handler;
    // waiting for it makes "never after cancel() returned" hold.
    if (!queue_.isCurrent()) queue_.sync([] {});
}

void NetworkPathMonitor::poll() {
    if (timer_ && timer_->isCancelled()) return;
    auto table = currentNetworkInterfaces();
    if (last_ && *last_ == table) return;
    const bool changed = last_.has_value();
    last_ = std::move(table);
    if (changed && pathUpdateHandler) pathUpdateHandler();
}

}  // namespace platform
