#pragma once
// Roads nobody named: several peers take steps read from bytes against a
// started server (valid and malformed packets on every channel, batches
// cancelled at any stage, listings they never read, packets that stop
// arriving, floods of work past their job budget, leaves, vanishings and
// returns; against a whole Host, deliveries into its folders too, each
// cancelled at any stage). After every step each live peer's account is
// within its bounds in every kind, the Host's total holds at least what the
// accounts hold, under their machines, and stays within its own bound, and
// the Host holds nothing for a batch
// its peer cancelled; once all have left, every account reads zero in
// every kind within 10 s, and the process's descriptors (and, where asked,
// its memory, and whatever else the Host names) are back.
//
// Free of any test framework: a broken invariant comes back as text, so the
// same steps run as a test (which fails on it) and as a fuzz target (which
// aborts on it). Driven from the runtime's driving thread.

#include <cstddef>
#include <filesystem>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Foundation/Uuid.h"
#include "Platform/Runtime/VirtualRuntime.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Support/AuxTestClient.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

// Steps are read from bytes, so a seed's generator and a fuzzer's input
// drive the same interpreter. Past the end every byte reads 0.
class StepBytes {
public:
    explicit StepBytes(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint8_t next() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    size_t pick(size_t n) { return n ? next() % n : 0; }
    bool done() const { return at_ >= bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
};

class PeerAccountSteps {
public:
    // How long each job of a flood past the budget keeps the queue it waits
    // on (virtual time), and how many packets a flood is. A gone peer's
    // jobs are dropped in no time; the ones it has waiting, run rather than
    // dropped, would take 12.8 s, and its whole flood 38 s, past the 10 s
    // its account has to drain.
    static constexpr double kSlowJobSeconds = 0.05;
    static constexpr size_t kFloodPackets = 3 * platform::WorkLedger::kDefaultMaxJobs;
    // What the Host may hold for nobody beside what the accounts say: a
    // descriptor of its own that comes and goes (a connection accepted
    // the moment before it is counted), and the bytes of its connections' packets that are being
    // served right now. Everything else it holds is some peer's.
    static constexpr size_t kUnchargedDescriptors = 1;
    static constexpr size_t kUnchargedBytes = 64 << 10;
    // However slowly a packet larger than the budget arrives, it has ended
    // (arrived, or its connection closed) this long after its header did:
    // its own bound, once the unfinished packets of the peer's two other
    // connections that may hold the place first have had theirs, and one
    // trickle step.
    static constexpr double kTrickleBoundSeconds =
        3 * platform::ReceiveTurns::arrivalBoundSeconds(AuxAdmission::workBudgetBytesPerPeer + (4 << 20)) + 30;
    // How many parts one write is cut into at most.
    static constexpr size_t kMostSplitParts = 48;
    // The path that marks a flood's packets.
    static constexpr const char* kSlowWorkPath = "slow-work";

    // Where the server's file-transfer packets go, and what the caller's
    // Host must have let go of besides the accounts.
    struct FileHooks {
        std::function<void(FileTransferPacket, const platform::UUID&)> packet;
        std::function<void(const platform::UUID&)> sessionEnded;
        // Whether the Host still holds anything for this batch (called on
        // the driving thread).
        std::function<bool(const platform::UUID&)> holdsBatch;
        // Once every peer left: what the Host still holds outside the
        // accounts (staging, panels, questions), or nothing.
        std::function<std::optional<std::string>()> leftBehind;
        // Steps also deliver files and folders into the Host's folders:
        // managed copies to a named folder, plain copies that ask for a
        // folder, copies whose names are taken, each cancelled at any
        // stage, some moved across file systems and, every other run,
        // where the no-replace flag is refused; ask the Host
        // to send them folders, read or not, cancelled, left mid-send; and
        // ask for listings unread until their send budget is spent.
        bool deliveries = false;
        // How many listings the Host has built so far (with deliveries).
        std::function<size_t()> listingsComputed;
        // Where the Host stages what peers send it: what is on the disk
        // there is at most what the accounts say is staged.
        std::function<std::filesystem::path()> stagingRoot;
    };
    // A bare Host file service answering the server's packets (the
    // delegate's delivery is not there): no deliveries.
    static FileHooks bareFileService(const std::shared_ptr<V230HostAudioAuxServer>& server);

    // Wires the server's file-transfer hooks through `hooks` (and puts back
    // what they were when it goes); `user` and `password` log the peers in.
    PeerAccountSteps(std::shared_ptr<platform::VirtualRuntime> runtime, std::shared_ptr<V230HostAudioAuxServer> server,
                     FileHooks hooks, std::string user, std::string password);
    ~PeerAccountSteps();
    PeerAccountSteps(const PeerAccountSteps&) = delete;
    PeerAccountSteps& operator=(const PeerAccountSteps&) = delete;

    // At most `maxSteps` steps read from `bytes`, then every peer leaves.
    // The first broken invariant, or nothing. `checkResident`: the process's
    // resident memory must be back too (not under a sanitizer, whose
    // allocator keeps what was freed).
    std::optional<std::string> run(std::vector<uint8_t> bytes, size_t maxSteps, const std::string& name,
                                   bool checkResident);
    // Bytes for `steps` steps drawn from a seed.
    static std::vector<uint8_t> seedBytes(uint32_t seed, size_t steps);
    // run() for each seed's `steps` steps in turn, until one fails.
    std::optional<std::string> runSeeds(const std::vector<uint32_t>& seeds, size_t steps, bool checkResident);

    // Peers that left, or vanished, while past their job budget.
    size_t leavesPastTheJobBudget() const { return leavesPastTheJobBudget_; }
    // Deliveries cancelled, by kind and the stage they were cancelled at.
    using DeliveryStage = std::pair<std::string, std::string>;
    const std::map<DeliveryStage, size_t>& cancelledDeliveries() const { return cancelledDeliveries_; }

private:
    // The folders below each folder item a delivery brings, two deep.
    static constexpr const char* kInnerFolder = "inner";
    // Folders the deliveries go to, beneath the home.
    static constexpr const char* kNamedFolder = "stateful-in";
    static constexpr const char* kTakenFolder = "stateful-taken";
    // What the Host is asked to send: a few hundred small files.
    static constexpr const char* kSendFolder = "stateful-out";
    static constexpr size_t kSendFiles = 300;
    // A folder whose listing is long: a few of its replies, unread, spend a
    // peer's send budget.
    static constexpr const char* kVastFolder = "stateful-vast";
    // The folder the other listings ask for.
    static constexpr const char* kListedFolder = "stateful-listed";

    struct Peer {
        std::string address;
        std::unique_ptr<AuxTestClient> control;
        std::shared_ptr<platform::TcpConnection> connection;
        std::shared_ptr<FileTransferChannelConnection> channel;
        platform::UUID session;
        // A data channel whose replies are never read.
        int quiet = -1;
        // Other logged-in connections of the same peer: one for packets
        // that stop arriving, one for floods of work.
        std::unique_ptr<AuxTestClient> extra;
        std::unique_ptr<AuxTestClient> busy;
        std::shared_ptr<platform::WorkLedger> ledger;
        std::vector<platform::UUID> batches;
        // Deliveries it cancelled: the Host must let go of each.
        std::vector<platform::UUID> cancelled;
        // Listings it asked for, on any channel.
        size_t listingsAsked = 0;
    };

    void step(StepBytes& in);
    void join(Peer& p);
    void leave(Peer& p, bool vanish);
    void copyRightBeforeVanishing(Peer& p);
    // Its account must read zero within 10 s of the clock.
    void leaveAndDrain(Peer& p, bool vanish, const std::string& when);
    bool drainWithin10Seconds(const std::vector<std::shared_ptr<platform::WorkLedger>>& accounts);
    void sendOp(Peer& p, const FileTransferPacket& packet);
    void writeQuiet(Peer& p, const std::vector<uint8_t>& bytes);
    platform::UUID batchOf(Peer& p, StepBytes& in);
    void controlPacket(Peer& p, StepBytes& in);
    void fileOp(Peer& p, StepBytes& in);
    void unreadListings(Peer& p, StepBytes& in);
    bool openQuiet(Peer& p);
    void readQuiet(Peer& p);
    void peerSend(Peer& p, StepBytes& in);
    void listingsPastTheSendBudget(Peer& p, StepBytes& in);
    // Listing requests the Host took from the peer's session so far.
    size_t listingsArrivedFor(const Peer& p) const;
    // The Host bound the peer's unread channel as its session's.
    bool quietIsBound(const Peer& p) const;
    // Until `done` holds: false after about a minute of real time, or when
    // the clock, moved in steps while `needsTheClock` holds, passed two
    // minutes. A hang guard, not a pace.
    bool waitFor(const std::function<bool()>& done, const std::function<bool()>& needsTheClock);
    void unfinishedPacket(Peer& p, StepBytes& in);
    void unfinishedPacketOn(AuxTestClient& on, StepBytes& in, Peer* p);
    void pastTheJobBudget(Peer& p, StepBytes& in);
    void delivery(Peer& p, StepBytes& in);
    void checkCancelledReleased(const std::string& where);
    std::unique_ptr<AuxTestClient> loggedInClient(const Peer& p, const std::string& name);

    void checkLiveAccounts(const std::string& where);
    // What the Host really holds, read from the holders themselves (its
    // connections' buffers and send queues, /proc/self/fd, the staging
    // folder on disk), is at most what the accounts say, plus what is
    // stated below as held for nobody.
    void checkWhatTheHostHolds(const std::string& where);
    // Descriptors the Host has open: sockets whose local port is one of
    // its own listeners' (the test's clients share the process), and every
    // other descriptor above those open before the run.
    size_t hostDescriptors(size_t* others = nullptr, std::string* named = nullptr) const;
    size_t otherDescriptorsBefore_ = 0;
    // What all peers held of the Host-wide descriptor total before the run.
    size_t hostDescriptorsBefore_ = 0;
    // The seed and step running, for what a step finds itself.
    std::string stepName_;
    // Writes `bytes` on `on` in parts cut at random points (down to single
    // bytes), the Host reading each before the next when asked for.
    void writeSplit(Peer& p, AuxTestClient& on, const std::vector<uint8_t>& bytes, StepBytes& in);
    // Until the Host has read what was written on `on`, or reads no more
    // of it for now; a short hang guard, not a pace.
    void waitUntilRead(Peer& p, AuxTestClient& on);
    // Bytes the Host's end of the connection whose other end is
    // `clientEnd` has not read from its socket; nothing when it has no
    // such end (any more).
    std::optional<size_t> unreadByTheHost(int clientEnd) const;
    // A packet larger than the budget, trickled one byte every 20-29 s.
    void trickle(Peer& p, StepBytes& in);
    // A watcher, maybe past its budget, acknowledges its frames behind a
    // costly packet and hundreds of pointer moves, all in one read or
    // split: it keeps its video.
    void acknowledgedStream(Peer& p, StepBytes& in);
    void fail(std::string text) {
        if (!failure_) failure_ = std::move(text) + " (" + stepName_ + ")";
    }

    std::shared_ptr<platform::VirtualRuntime> runtime_;
    std::shared_ptr<V230HostAudioAuxServer> server_;
    const std::string user_;
    const std::string password_;
    FileHooks hooks_;
    // What the server's hooks were before.
    std::function<void(FileTransferPacket, const platform::UUID&)> formerPacket_, formerIncoming_;
    std::function<void(const platform::UUID&)> formerSessionEnded_;
    // By peer, a queue each of whose jobs keeps it for kSlowJobSeconds, as
    // a busy disk would, and what resumes it; it drops a gone peer's work
    // (as the Host's queue of a session's listings does). Server queue.
    using SlowWork = std::map<std::string, std::pair<platform::DispatchQueue, platform::DispatchQueue>>;
    std::shared_ptr<SlowWork> slowWork_ = std::make_shared<SlowWork>();
    // Listing requests the Host's file hooks were handed, by session.
    // Server queue.
    std::shared_ptr<std::map<std::string, size_t>> listingsArrived_ = std::make_shared<std::map<std::string, size_t>>();
    std::vector<Peer> peers_;
    // Every account a peer ever had: all must drain.
    std::vector<std::shared_ptr<platform::WorkLedger>> accounts_;
    std::optional<std::string> failure_;
    size_t leavesPastTheJobBudget_ = 0;
    std::map<DeliveryStage, size_t> cancelledDeliveries_;
    // Runs so far: with deliveries, every other one has the no-replace
    // flag refused.
    size_t runs_ = 0;
public:
    // Peer sends asked for, and listing floods that reached their send
    // budget (with deliveries).
    size_t peerSendsAsked = 0;
    // Whole copies the Host read right before their peer vanished (with
    // deliveries).
    size_t copiesRightBeforeVanishing = 0;
    size_t sendBudgetsReached = 0;
};
