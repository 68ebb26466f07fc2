// Drives the receiving side of the file-transfer engine through its whole
// state machine: a real service, staging into a temporary data root, fed
// sequences of batch, mkdir, file, chunk, end and cancel packets from two
// sessions of one peer (one address, one account, as a Viewer that opens a
// second connection has) that share batch IDs. After each input both
// sessions end; then no batch may be open, no destination held, nothing
// staged once what completed batches staged is removed as the Host's
// delivery removes it, and the peer's account reads zero.
//
// The input is text, one packet or event a line (seeds in
// fuzz/corpus/fuzz_file_receiving):
//   <session a|b><batch 0|1|2><op> [number] [path] [data]
// op: S batchStart (number: total bytes, data: item names), M mkdir,
// F fileStart (number: size), C fileChunk (number: offset), E fileEnd
// (number: size), B batchEnd, X cancelBatch, I batchIntent (number: the
// intent), D directSave (path: the destination, number: its options),
// Q the session ends. Fields are separated by one space; the data runs to
// the end of the line.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Uuid.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/VirtualRuntime.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"

namespace fs = std::filesystem;

namespace {

struct Harness {
    // Where the run keeps its files; removed when the process exits.
    static fs::path& root() {
        static fs::path* path = new fs::path;
        return *path;
    }

    std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::install();
    // The batch IDs the sessions name; the same for every input, so that
    // one session's packets meet another's batch.
    const platform::UUID ids[3] = {*platform::UUID::parse("0F0E0D0C-0000-4000-8000-000000000001"),
                                   *platform::UUID::parse("0F0E0D0C-0000-4000-8000-000000000002"),
                                   *platform::UUID::parse("0F0E0D0C-0000-4000-8000-000000000003")};

    Harness() {
        platform::Log::setSinkForTesting([](const std::string&) {});
        root() = fs::temp_directory_path() / ("fuzz-file-receiving-" + std::to_string(getpid()));
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(root(), ignored);
        });
        platform::Folders::setOverrideRoot(root());
    }
};

Harness& harness() {
    static Harness* h = new Harness;
    return *h;
}

// The next field of `line` up to a space (or its end), taken off it.
std::string_view field(std::string_view& line) {
    const size_t space = line.find(' ');
    const std::string_view out = line.substr(0, space);
    line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    return out;
}

uint64_t number(std::string_view text) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value > (UINT64_MAX - 9) / 10 ? UINT64_MAX : value * 10 + uint64_t(c - '0');
    }
    return value;
}

void feed(FileTransferService& service, std::string_view line) {
    auto& h = harness();
    if (line.size() < 3) return;
    const std::string session = line[0] == 'b' ? "b" : "a";
    const platform::UUID& id = h.ids[uint8_t(line[1]) % 3];
    const char op = line[2];
    line.remove_prefix(3);
    if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    const uint64_t value = number(field(line));
    const std::string path(field(line));
    const std::vector<uint8_t> data(line.begin(), line.end());
    auto packet = [&](FileTransferOp kind, uint64_t value2 = 0) {
        service.handleIncomingPacket({kind, id, value, value2, path, data}, session);
    };
    switch (op) {
        case 'S': return packet(FileTransferOp::batchStart, packBatchStartValue2(FileTransferIntent::copy, 1));
        case 'M': return packet(FileTransferOp::mkdir);
        case 'F': return packet(FileTransferOp::fileStart);
        case 'C': return packet(FileTransferOp::fileChunk);
        case 'E': return packet(FileTransferOp::fileEnd);
        case 'B': return packet(FileTransferOp::batchEnd);
        case 'X': return packet(FileTransferOp::cancelBatch);
        case 'I': return packet(FileTransferOp::batchIntent);
        case 'D': return packet(FileTransferOp::directSave);
        case 'Q': return service.sessionEnded(session);
        default: return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    auto& h = harness();
    auto service = std::make_shared<FileTransferService>("Viewer", 262144);
    // Both sessions' packets are charged to their one peer, as the Host
    // charges every session of an address.
    auto peer = std::make_shared<platform::WorkLedger>("192.0.2.1", size_t{1} << 30);
    // A completed batch's items are checked, then removed as the Host's
    // delivery removes what it did not move.
    service->onBatchCompleted = [](const platform::UUID&, const std::vector<fs::path>& staged, FileTransferIntent,
                                    const FileTransferDeliveryResult& unsaved, ReceivedBatchHoldings&) {
        std::set<fs::path> distinct;
        for (const auto& item : staged) {
            // Each top-level item once, and there when its batch says so.
            std::error_code error;
            if (!distinct.insert(item).second || !fs::exists(fs::symlink_status(item, error))) std::abort();
        }
        if (unsaved.failedNames.size() > FileTransferDeliveryResult::namedFailures ||
            unsaved.failedNames.size() > unsaved.failedItemCount)
            std::abort();
        FileTransferStagedItems::remove(staged);
        FileTransferStagedItems::removeBatchFolderOf(staged);
    };

    std::string_view input(reinterpret_cast<const char*>(bytes), size);
    {
        const platform::WorkLedger::Charged charged(peer);
        while (!input.empty()) {
            const size_t end = input.find('\n');
            feed(*service, input.substr(0, end));
            input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        }
    }
    h.runtime->runUntilIdle();
    {
        const platform::WorkLedger::Charged charged(peer);
        service->sessionEnded("a");
        service->sessionEnded("b");
    }
    // Past the idle bound, so that every batch's idle check has run.
    h.runtime->advance(FileTransferService::inboundBatchIdleSeconds + 1);
    service->syncRemovalQueueForTesting();
    h.runtime->runUntilIdle();

    if (service->openInboundBatchCountForTesting() != 0 || service->pendingDestinationCountForTesting() != 0)
        std::abort();
    for (size_t kind = 0; kind < platform::WorkLedger::kHeldKinds; ++kind)
        if (peer->held(static_cast<platform::WorkLedger::Held>(kind)) != 0) std::abort();
    if (peer->jobsInUse() != 0) std::abort();
    std::error_code error;
    const fs::path staging = service->stagingRoot();
    if (fs::exists(staging, error) && !fs::is_empty(staging, error)) std::abort();
    return 0;
}
