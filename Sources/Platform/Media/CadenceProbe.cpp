#include "Platform/Media/CadenceProbe.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

CadenceProbe::CadenceProbe(std::string label) : label_(std::move(label)) {}

void CadenceProbe::record(uint64_t timestampNs) {
    std::lock_guard<std::mutex> g(lock_);
    if (samples_ > 0) {
        uint64_t d = timestampNs >= last_ ? timestampNs - last_ : 0;
        if (samples_ == 1) {
            minNs_ = maxNs_ = d;
        } else {
            if (d < minNs_) minNs_ = d;
            if (d > maxNs_) maxNs_ = d;
        }
        sumNs_ += d;
    }
    last_ = timestampNs;
    samples_++;
}

std::optional<std::string> CadenceProbe::reportAndReset() {
    std::lock_guard<std::mutex> g(lock_);
    std::optional<std::string> out;
    if (samples_ >= 2) {
        uint64_t intervals = samples_ - 1;
        char buf[256];
        std::snprintf(buf, sizeof buf, "cadence %s n=%llu avg=%.2fms min=%.2fms max=%.2fms", label_.c_str(),
                      static_cast<unsigned long long>(intervals), static_cast<double>(sumNs_) / intervals / 1e6,
                      static_cast<double>(minNs_) / 1e6, static_cast<double>(maxNs_) / 1e6);
        out = buf;
    }
    samples_ = 0;
    last_ = sumNs_ = minNs_ = maxNs_ = 0;
    return out;
}

namespace {
// Read once from the environment; frame paths ask on every frame.
std::atomic<bool>& requestedFlag() {
    static std::atomic<bool> on{std::getenv("VELANTRIX_DEBUG_CADENCE") != nullptr};
    return on;
}
}  // namespace

bool CadenceProbe::requested() { return requestedFlag().load(std::memory_order_relaxed); }

void CadenceProbe::setRequestedForTesting(bool requested) { requestedFlag().store(requested); }
