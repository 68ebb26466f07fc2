#include "HostApp/StreamControl/StreamChangePacer.h"

#include <algorithm>

#include "Platform/Runtime/Clock.h"

StreamChangePacer::StreamChangePacer() : state_(std::make_shared<State>()) {}

void StreamChangePacer::submit(const platform::DispatchQueue& queue, const std::string& peer, Kind kind,
                               std::span<const uint8_t> value, std::function<bool()> stillWanted,
                               std::function<void()> apply) {
    queue.dispatchPrecondition();
    auto& s = *state_;
    if (!s.queue) s.queue = queue;
    const uint64_t now = platform::Clock::uptimeNs();
    const bool holding = this->holding();
    Change change{peer, kind, {value.begin(), value.end()}, std::move(stillWanted), std::move(apply)};
    if (!holding && s.pending.empty()) {
        if (change.stillWanted()) {
            run(s, std::move(change));
        } else {
            ++s.coalesced;
        }
        return;
    }
    // The newest of a peer's requests of one kind is the only one that still
    // means anything; it takes its turn from when it arrived.
    auto same = [&](const Change& c) { return c.kind == kind && c.peer == peer; };
    if (auto it = std::find_if(s.pending.begin(), s.pending.end(), same); it != s.pending.end()) {
        s.pending.erase(it);
        ++s.coalesced;
    }
    s.pending.push_back(std::move(change));
    if (s.holdEnd) return;
    scheduleHoldEnd(state_, holding ? double(*s.holdEndsNs - now) / 1e9 : 0.0);
}

void StreamChangePacer::scheduleHoldEnd(const std::shared_ptr<State>& state, double seconds) {
    std::weak_ptr<State> weak = state;
    state->holdEnd = platform::makeWorkItem([weak] {
        if (auto s = weak.lock()) {
            s->holdEnd.reset();
            applyNext(s);
        }
    });
    state->queue->asyncAfter(seconds, state->holdEnd);
}

void StreamChangePacer::streamStopped() {
    auto& s = *state_;
    // Only the first stop of a change's hold: a capture that keeps being
    // restarted holds the next change back no longer for it.
    if (!s.lastApplied || !rebuildsTheStream(s.lastApplied->kind) || !holding() || s.stopSeen) return;
    s.stopSeen = true;
    s.awaitingStream = true;
    // The latest it can end; the stream flowing again brings it forward.
    const uint64_t latest = platform::Clock::uptimeNs() +
                            static_cast<uint64_t>((streamWaitSeconds + holdSecondsFor(s.lastApplied->kind)) * 1e9);
    s.holdEndsNs = std::max(*s.holdEndsNs, latest);
}

void StreamChangePacer::streamFlowing() {
    auto& s = *state_;
    if (!s.awaitingStream) return;
    s.awaitingStream = false;
    const uint64_t now = platform::Clock::uptimeNs();
    s.holdEndsNs = now + static_cast<uint64_t>(holdSecondsFor(s.lastApplied->kind) * 1e9);
    // A hold end scheduled before comes at the end that holds now.
    if (s.holdEnd) {
        s.holdEnd->cancel();
        s.holdEnd.reset();
        scheduleHoldEnd(state_, double(*s.holdEndsNs - now) / 1e9);
    }
}

void StreamChangePacer::applyNext(const std::shared_ptr<State>& state) {
    const uint64_t start = platform::Clock::uptimeNs();
    if (state->holdEndsNs && start < *state->holdEndsNs) {
        scheduleHoldEnd(state, double(*state->holdEndsNs - start) / 1e9);
        return;
    }
    // The stream never came back within its wait: its hold has run.
    state->awaitingStream = false;
    while (!state->pending.empty()) {
        // Taken out first: applying a change may submit another, which then
        // waits behind the rest.
        Change change = std::move(state->pending.front());
        state->pending.erase(state->pending.begin());
        const auto& last = state->lastApplied;
        const bool repeat =
            last && last->kind == change.kind && last->peer == change.peer && last->value == change.value;
        // Asked before the hold is taken: a change nobody waits for any more
        // would hold the others back for nothing.
        if (repeat || !change.stillWanted()) {
            ++state->coalesced;
            continue;
        }
        run(*state, std::move(change));
        break;
    }
    if (!state->pending.empty() && !state->holdEnd) {
        const uint64_t now = platform::Clock::uptimeNs();
        const uint64_t ends = state->holdEndsNs.value_or(now);
        scheduleHoldEnd(state, ends > now ? double(ends - now) / 1e9 : 0.0);
    }
}

void StreamChangePacer::run(State& state, Change change) {
    state.holdEndsNs = platform::Clock::uptimeNs() + static_cast<uint64_t>(holdSecondsFor(change.kind) * 1e9);
    state.awaitingStream = false;
    state.stopSeen = false;
    state.lastApplied = Applied{std::move(change.peer), change.kind, std::move(change.value)};
    ++state.applied;
    change.apply();
}

bool StreamChangePacer::holding() const {
    return state_->holdEndsNs && platform::Clock::uptimeNs() < *state_->holdEndsNs;
}

size_t StreamChangePacer::pendingCount() const { return state_->pending.size(); }
uint64_t StreamChangePacer::appliedCount() const { return state_->applied; }
uint64_t StreamChangePacer::coalescedCount() const { return state_->coalesced; }
