#pragma once
// A frame-cadence probe: records frame times and reports the intervals
// between them. Only consulted when "VELANTRIX_DEBUG_CADENCE" is set.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CadenceProbe {
public:
    explicit CadenceProbe(std::string label);
    void record(uint64_t timestampNs);
    // "cadence {label} n={count} avg={ms}ms min={ms}ms max={ms}ms" over the
    // intervals since the last report; nothing for fewer than 2 samples.
    std::optional<std::string> reportAndReset();
    static bool requested();
    // Turns the probes on or off whatever the environment says.
    static void setRequestedForTesting(bool requested);

private:
    std::string label_;
    std::mutex lock_;
    // Running figures rather than a sample list: the probe sits on the frame
    // path and must not grow between reports.
    uint64_t samples_ = 0;
    uint64_t last_ = 0;
    uint64_t sumNs_ = 0, minNs_ = 0, maxNs_ = 0;
};
