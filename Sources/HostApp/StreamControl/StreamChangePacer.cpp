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
    scheduleHoldEnd(state_, holding ? double(holdEnd(s) - now) / 1e9 : 0.0);
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

uint64_t StreamChangePacer::holdEnd(const State& s) {
    if (!s.holdEndsNs) return 0;
    if (!s.streamStoppedNs || !s.lastApplied) return *s.holdEndsNs;
    const uint64_t waited = *s.streamStoppedNs + static_cast<uint64_t>(streamWaitSeconds * 1e9);
    const uint64_t back = s.streamFlowedNs ? std::min(*s.streamFlowedNs, waited) : waited;
    return std::max(*s.holdEndsNs, back + static_cast<uint64_t>(holdSecondsFor(s.lastApplied->kind) * 1e9));
}

void StreamChangePacer::streamStopped() {
    auto& s = *state_;
    if (!s.lastApplied || !rebuildsTheStream(s.lastApplied->kind) || s.streamStoppedNs || !holding()) return;
    // A hold end already scheduled comes before the new end, and moves on
    // to it.
    s.streamStoppedNs = platform::Clock::uptimeNs();
}

void StreamChangePacer::streamFlowing() {
    auto& s = *state_;
    if (!s.streamStoppedNs || s.streamFlowedNs) return;
    // Past its wait the stream no longer counts (holdEnd): the hold ran
    // from then.
    s.streamFlowedNs = platform::Clock::uptimeNs();
    rescheduleHoldEnd();
}

void StreamChangePacer::streamPaused() {
    auto& s = *state_;
    if (!s.streamStoppedNs || s.streamFlowedNs) return;
    s.streamStoppedNs.reset();
    rescheduleHoldEnd();
}

void StreamChangePacer::rescheduleHoldEnd() {
    auto& s = *state_;
    // A hold end scheduled for the end of the wait comes at the one that
    // holds now.
    if (!s.holdEnd) return;
    s.holdEnd->cancel();
    s.holdEnd.reset();
    const uint64_t now = platform::Clock::uptimeNs();
    const uint64_t ends = holdEnd(s);
    scheduleHoldEnd(state_, ends > now ? double(ends - now) / 1e9 : 0.0);
}

void StreamChangePacer::applyNext(const std::shared_ptr<State>& state) {
    // The hold may have grown since this end was scheduled.
    const uint64_t start = platform::Clock::uptimeNs();
    if (const uint64_t ends = holdEnd(*state); start < ends) {
        scheduleHoldEnd(state, double(ends - start) / 1e9);
        return;
    }
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
        const uint64_t ends = std::max(holdEnd(*state), now);
        scheduleHoldEnd(state, ends > now ? double(ends - now) / 1e9 : 0.0);
    }
}

void StreamChangePacer::run(State& state, Change change) {
    state.holdEndsNs = platform::Clock::uptimeNs() + static_cast<uint64_t>(holdSecondsFor(change.kind) * 1e9);
    state.streamStoppedNs.reset();
    state.streamFlowedNs.reset();
    state.lastApplied = Applied{std::move(change.peer), change.kind, std::move(change.value)};
    ++state.applied;
    change.apply();
}

bool StreamChangePacer::holding() const { return platform::Clock::uptimeNs() < holdEnd(*state_); }

size_t StreamChangePacer::pendingCount() const { return state_->pending.size(); }
uint64_t StreamChangePacer::appliedCount() const { return state_->applied; }
uint64_t StreamChangePacer::coalescedCount() const { return state_->coalesced; }
