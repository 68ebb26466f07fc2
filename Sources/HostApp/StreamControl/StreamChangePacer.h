#pragma once
// StreamChangePacer is responsible for how often Viewers' requests may
// rebuild or reconfigure the shared stream or start a second encode of it:
// capture modes (type 18), chroma preferences (21), the Host's display mode
// (24), the physical display choice (34) and recording starts and stops
// (50). It is one for the whole Host, whoever asks: once a change has been
// applied, it holds for the hold of its kind, and only then is the next
// one applied, one change a hold however many peers or connections ask.
// A peer's requests of one kind are coalesced to its latest, which takes
// its turn from when it arrived; waiting changes are applied in that order,
// one per hold. A change whose hold sees the stream stopped for a rebuild
// holds, besides, a whole hold from when the stream flows again (waited
// for at most streamWaitSeconds): the Viewers watching get a whole hold of
// stream between two rebuilds however long a rebuild takes on a busy
// machine. A change that only repeats the one applied last (same peer,
// kind and value, nothing applied in between), or whose session has gone,
// is dropped when its turn comes, before it takes a hold: a Viewer that
// left costs the others no wait. The first change after a quiet hold is
// applied at once, so a Viewer that asks now and then waits for nothing.
//
// Why: every one of these rebuilds the encoder, switches a display or opens
// a movie writer, and a Viewer may send them at any rate; applied one by
// one they took the server queue and the stream from every other Viewer,
// and paced per connection or per peer, more connections or more peers
// bought more rebuilds.
//
// Sequence: the server queue only. Held by the server in its stream-control
// state; a hold that ends after the server is gone does nothing.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Runtime/Dispatch.h"

class StreamChangePacer {
public:
    enum class Kind : uint8_t { captureMode, videoPreference, hostDisplayMode, physicalDisplayAction, recording };

    // How long an applied change holds before the next one is applied. A
    // display switch rebuilds the stream some time after it is made, so a
    // shorter hold left the other Viewers a stream that was mostly rebuilds.
    static constexpr double streamHoldSeconds = 1.0;
    static constexpr double displayHoldSeconds = 2.0;
    // A movie writer opened or closed: cheaper than a rebuild, but a start
    // encodes the shared picture a second time.
    static constexpr double recordingHoldSeconds = 1.0;
    // The longest a rebuilt stream is waited for before its hold runs
    // anyway: a capture that does not come back holds the next change back
    // no longer than this.
    static constexpr double streamWaitSeconds = 3.0;
    // The longest hold: waiting this long lets the next held change through.
    static constexpr double holdSeconds = displayHoldSeconds;
    // A change stops the stream at the latest as its hold ends, and the
    // hold then runs from when the stream flows again, or its wait ended.
    static constexpr double longestHoldSeconds = holdSeconds + streamWaitSeconds + holdSeconds;
    // Whether a change of this kind stops the shared stream until it is
    // rebuilt (a recording encodes it a second time, and stops nothing).
    static constexpr bool rebuildsTheStream(Kind kind) { return kind != Kind::recording; }
    static constexpr double holdSecondsFor(Kind kind) {
        switch (kind) {
            case Kind::hostDisplayMode:
            case Kind::physicalDisplayAction:
                return displayHoldSeconds;
            case Kind::recording:
                return recordingHoldSeconds;
            default:
                return streamHoldSeconds;
        }
    }

    StreamChangePacer();

    // Applies `apply` on `queue` now, or in its turn once the holds before
    // it end, unless a newer request of the same peer and kind takes its
    // place first. `peer` is the principal the request is charged to (the
    // Viewer's address); `value` (the decoded request in its wire form, a
    // few bytes) tells a repeat from a change; `stillWanted` is asked when
    // its turn comes, and false (its session has gone) drops it without a
    // hold. Server queue only, always the same one; both run there.
    void submit(const platform::DispatchQueue& queue, const std::string& peer, Kind kind,
                std::span<const uint8_t> value, std::function<bool()> stillWanted, std::function<void()> apply);

    // The shared stream was stopped to be rebuilt (the first time during
    // the hold of the change applied last counts). Server queue.
    void streamStopped();
    // The shared stream delivered a frame: the first after a stop that
    // counted, within its wait, starts the rest of the hold. Server queue.
    void streamFlowing();
    // The shared stream was paused: it is not started again, so a stop
    // that counted is waited for no more. Server queue.
    void streamPaused();

    // Whether the hold of the change applied last still runs.
    bool holding() const;
    size_t pendingCount() const;
    // Changes applied and changes coalesced or dropped since the start, for
    // the statistics line and for tests.
    uint64_t appliedCount() const;
    uint64_t coalescedCount() const;

private:
    struct Change {
        std::string peer;
        Kind kind;
        std::vector<uint8_t> value;
        std::function<bool()> stillWanted;
        std::function<void()> apply;
    };
    struct Applied {
        std::string peer;
        Kind kind;
        std::vector<uint8_t> value;
    };
    // Shared with the pending end of the hold, which holds it weakly: the
    // pacer lives inside the server and may go before the queue runs it.
    struct State {
        // One entry per peer and kind (at most peers x kinds), in the order
        // the latest arrived.
        std::vector<Change> pending;
        // When the hold of the change applied last ends counted from when
        // it was applied; when the stream stopped during it, and when it
        // first flowed again within its wait.
        std::optional<uint64_t> holdEndsNs;
        std::optional<uint64_t> streamStoppedNs;
        std::optional<uint64_t> streamFlowedNs;
        std::optional<Applied> lastApplied;
        std::optional<platform::DispatchQueue> queue;
        platform::DispatchWorkItemRef holdEnd;
        uint64_t applied = 0;
        uint64_t coalesced = 0;
    };

    // Applies the first waiting change that is neither a repeat nor gone,
    // and sets the end of its hold if more wait.
    static void applyNext(const std::shared_ptr<State>& state);
    static void scheduleHoldEnd(const std::shared_ptr<State>& state, double seconds);
    void rescheduleHoldEnd();
    // When the hold of the change applied last ends, all counted.
    static uint64_t holdEnd(const State& state);
    static void run(State& state, Change change);

    std::shared_ptr<State> state_;
};
