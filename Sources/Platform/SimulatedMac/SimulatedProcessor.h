#pragma once
// The processor family of the simulated machine. The Host sizes its encoder
// budgets by it; tests switch it to present an Intel Mac.

#include <atomic>

namespace platform {

class SimulatedProcessor {
public:
    bool isAppleSilicon() const { return appleSilicon_.load(); }
    void setAppleSilicon(bool appleSilicon) { appleSilicon_.store(appleSilicon); }

private:
    std::atomic<bool> appleSilicon_{true};
};

}  // namespace platform
