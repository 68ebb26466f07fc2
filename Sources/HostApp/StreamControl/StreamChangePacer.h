#pragma once
// StreamChangePacer is responsible for how often Viewers' requests may
// rebuild or reconfigure the shared stream: capture modes (type 18), chroma
// preferences (21), the Host's display mode (24) and the physical display
// choice (34). Each session's requests of one kind are coalesced to the
// latest; once a change has been applied, the stream holds it for the
// hold of its kind before the next one is applied, and then every session's
// latest change is applied in the order it arrived. A change that only
// repeats the one applied last (same session, kind and value, nothing
// applied in between) is dropped when the hold ends. The first change
// after a quiet hold is applied at once, so a Viewer that asks now and then
// waits for nothing.
//
// Why: every one of these rebuilds the encoder or switches a display, and
// a Viewer may send them at any rate; applied one by one they took the
// server queue and the stream from every other Viewer.
//
// Sequence: the server queue only. Held by the server in its stream-control
// state; a hold that ends after the server is gone does nothing.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "Platform/Dispatch.h"
#include "Platform/Uuid.h"

class StreamChangePacer {
public:
    enum class Kind : uint8_t { captureMode, videoPreference, hostDisplayMode, physicalDisplayAction };

    // How long an applied change holds before the next one is applied. A
    // display switch rebuilds the stream some time after it is made, so a
    // shorter hold left the other Viewers a stream that was mostly rebuilds.
    static constexpr double streamHoldSeconds = 1.0;
    static constexpr double displayHoldSeconds = 2.0;
    // The longest hold: waiting this long lets any held change through.
    static constexpr double holdSeconds = displayHoldSeconds;
    static constexpr double holdSecondsFor(Kind kind) {
        return kind == Kind::hostDisplayMode || kind == Kind::physicalDisplayAction ? displayHoldSeconds
                                                                                    : streamHoldSeconds;
    }

    StreamChangePacer();

    // Applies `apply` on `queue` now, or when the hold ends unless a newer
    // request of the same session and kind takes its place first. `value`
    // (the decoded request in its wire form, a few bytes) tells a repeat
    // from a change. Server queue only; `apply` runs there.
    void submit(const platform::DispatchQueue& queue, const platform::UUID& session, Kind kind,
                std::span<const uint8_t> value, std::function<void()> apply);

    size_t pendingCount() const;
    // Changes applied and changes coalesced or dropped since the start, for
    // the statistics line and for tests.
    uint64_t appliedCount() const;
    uint64_t coalescedCount() const;

private:
    struct Change {
        platform::UUID session;
        Kind kind;
        std::vector<uint8_t> value;
        std::function<void()> apply;
    };
    struct Applied {
        platform::UUID session;
        Kind kind;
        std::vector<uint8_t> value;
    };
    // Shared with the pending end of the hold, which holds it weakly: the
    // pacer lives inside the server and may go before the queue runs it.
    struct State {
        // One entry per session and kind, in the order the latest arrived.
        std::vector<Change> pending;
        // When the hold of the change applied last ends.
        std::optional<uint64_t> holdEndsNs;
        std::optional<Applied> lastApplied;
        platform::DispatchWorkItemRef holdEnd;
        uint64_t applied = 0;
        uint64_t coalesced = 0;
    };

    static void applyPending(State& state);
    static void run(State& state, Change change);

    std::shared_ptr<State> state_;
};
