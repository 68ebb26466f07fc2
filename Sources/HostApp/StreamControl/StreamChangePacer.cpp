#include "HostApp/StreamControl/StreamChangePacer.h"

#include <algorithm>

#include "Platform/Clock.h"

StreamChangePacer::StreamChangePacer() : state_(std::make_shared<State>()) {}

void StreamChangePacer::submit(const platform::DispatchQueue& queue, const platform::UUID& session, Kind kind,
                               std::span<const uint8_t> value, std::function<void()> apply) {
    queue.dispatchPrecondition();
    auto& s = *state_;
    const uint64_t now = platform::Clock::uptimeNs();
    const bool holding = s.holdEndsNs && now < *s.holdEndsNs;
    if (!holding && s.pending.empty()) {
        run(s, Change{session, kind, {value.begin(), value.end()}, std::move(apply)});
        return;
    }
    // The newest of a session's requests of one kind is the only one that
    // still means anything; it takes its turn from when it arrived.
    auto same = [&](const Change& c) { return c.session == session && c.kind == kind; };
    if (auto it = std::find_if(s.pending.begin(), s.pending.end(), same); it != s.pending.end()) {
        s.pending.erase(it);
        ++s.coalesced;
    }
    s.pending.push_back(Change{session, kind, {value.begin(), value.end()}, std::move(apply)});
    if (s.holdEnd) return;
    const double wait = holding ? double(*s.holdEndsNs - now) / 1e9 : 0.0;
    std::weak_ptr<State> weak = state_;
    s.holdEnd = platform::makeWorkItem([weak] {
        if (auto state = weak.lock()) {
            state->holdEnd.reset();
            applyPending(*state);
        }
    });
    queue.asyncAfter(wait, s.holdEnd);
}

void StreamChangePacer::applyPending(State& state) {
    // Taken first: applying a change may submit another, which then waits
    // for the next hold.
    auto changes = std::move(state.pending);
    state.pending.clear();
    for (auto& change : changes) {
        const auto& last = state.lastApplied;
        if (last && last->session == change.session && last->kind == change.kind && last->value == change.value) {
            ++state.coalesced;
            continue;
        }
        run(state, std::move(change));
    }
}

void StreamChangePacer::run(State& state, Change change) {
    state.holdEndsNs = platform::Clock::uptimeNs() + static_cast<uint64_t>(holdSecondsFor(change.kind) * 1e9);
    state.lastApplied = Applied{change.session, change.kind, std::move(change.value)};
    ++state.applied;
    change.apply();
}

size_t StreamChangePacer::pendingCount() const { return state_->pending.size(); }
uint64_t StreamChangePacer::appliedCount() const { return state_->applied; }
uint64_t StreamChangePacer::coalescedCount() const { return state_->coalesced; }
