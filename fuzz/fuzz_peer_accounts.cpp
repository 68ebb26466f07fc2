// Runs the stateful peer-account steps (Tests/Support/PeerAccountSteps.h)
// against the real Viewer session server, one input at a time: the input's
// bytes are the steps three peers take (at most kMaxSteps of them), after
// which every peer leaves. It aborts on the first broken invariant: a live
// account past a bound in any kind, or an account that does not read zero
// in every kind, or descriptors not back, within 10 s of the last leave.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FuzzServer.h"
#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/VirtualRuntime.h"
#include "Platform/Security/Directory.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/PeerAccountSteps.h"

namespace {

// Enough for several kinds of step and a return, few enough that an input
// runs in about a second and a short run still gets through many.
constexpr size_t kMaxSteps = 8;
constexpr const char* kPassword = "pw";

// One of the folders the peers ask the Host to send, made here before the
// steps would make theirs: a send costs what its items do, and a tenth of
// the steps' entries keeps an input's send to a tenth of its work, with
// names near the longest a file system takes.
void makeCrowdedFolder() {
    const auto crowded = platform::Folders::home() / "crowded";
    std::filesystem::create_directories(crowded);
    const std::string stem(240, 'c');
    for (int i = 0; i < 400; ++i) std::ofstream(crowded / (stem + std::to_string(i)));
}

FuzzServer& harness() {
    static FuzzServer* h = [] {
        auto* server = new FuzzServer("fuzz-peer-accounts", kPassword);
        makeCrowdedFolder();
        return server;
    }();
    return *h;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto& h = harness();
    PeerAccountSteps steps(h.runtime, h.server, PeerAccountSteps::bareFileService(h.server), h.user, kPassword);
    const auto failure = steps.run(std::vector<uint8_t>(data, data + size), kMaxSteps, "input", false);
    if (failure) {
        std::fprintf(stderr, "peer accounts: %s\n", failure->c_str());
        std::abort();
    }
    return 0;
}
