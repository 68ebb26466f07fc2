#include "Support/PeerAccountSteps.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "HostApp/AuxServer/AuxAdmission.h"
#include "HostApp/Protocol/AudioControlPayloads.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "Platform/Network/Network.h"
#include "VelantrixProfiles/Clipboard/ClipboardTransfer.h"
#include "Support/LongListingFolder.h"

namespace fs = std::filesystem;
using platform::UUID;
using platform::HostByteTotal;
using platform::WorkLedger;
using Op = FileTransferOp;
using Bytes = std::vector<uint8_t>;

namespace {

// The largest packet a step sends whole or in part.
constexpr size_t kLargestPacket = AuxAdmission::workBudgetBytesPerPeer + (4 << 20);

constexpr WorkLedger::Held kHeldKinds[] = {WorkLedger::Held::descriptors, WorkLedger::Held::stagedBytes,
                                          WorkLedger::Held::batches, WorkLedger::Held::listings,
                                          WorkLedger::Held::sends, WorkLedger::Held::saveLocations};
static_assert(std::size(kHeldKinds) == WorkLedger::kHeldKinds);

uint16_t portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

bool sameEndpoint(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family || portOf(a) != portOf(b)) return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
    return a.ss_family == AF_INET6 && std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                                                  &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr,
                                                  sizeof(in6_addr)) == 0;
}

size_t openDescriptorCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

double residentMiB() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
    std::ifstream statm("/proc/self/statm");
    size_t total = 0, resident = 0;
    statm >> total >> resident;
    return static_cast<double>(resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE))) / (1 << 20);
}

// Bytes of the regular files beneath `root` on the disk.
size_t bytesOnDisk(const fs::path& root) {
    std::error_code error;
    size_t bytes = 0;
    if (root.empty() || !fs::exists(root, error)) return 0;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (it->is_regular_file(ignored)) bytes += it->file_size(ignored);
    }
    return bytes;
}

bool drained(const WorkLedger& a) {
    if (a.bytesInUse() != 0 || a.arrivingBytes() != 0 || a.jobsInUse() != 0 || a.sendingBytes() != 0) return false;
    return std::all_of(std::begin(kHeldKinds), std::end(kHeldKinds), [&](auto kind) { return a.held(kind) == 0; });
}

std::string describe(const WorkLedger& a) {
    std::string text = a.owner() + " holds " + std::to_string(a.bytesInUse()) + " bytes, " +
                       std::to_string(a.arrivingBytes()) + " arriving, " + std::to_string(a.jobsInUse()) + " jobs, " +
                       std::to_string(a.sendingBytes()) + " to send";
    for (const auto kind : kHeldKinds)
        text += ", " + std::to_string(a.held(kind)) + " " + WorkLedger::heldName(kind);
    return text + (a.isCancelled() ? "; the peer is gone" : "; the peer is not seen gone");
}

}  // namespace

PeerAccountSteps::FileHooks PeerAccountSteps::bareFileService(const std::shared_ptr<V230HostAudioAuxServer>& server) {
    auto host = std::make_shared<FileTransferService>("Viewer", 262144);
    std::weak_ptr<V230HostAudioAuxServer> weakServer = server;
    host->routedSendPacket = [weakServer](FileTransferPacket p, const std::optional<std::string>& token) {
        auto s = weakServer.lock();
        if (!s) return false;
        if (auto id = token ? UUID::parse(*token) : std::nullopt) return s->sendFileTransferPacket(std::move(p), *id);
        return s->broadcastFileTransferPacket(std::move(p));
    };
    FileHooks hooks;
    hooks.packet = [host](FileTransferPacket p, const UUID& id) { host->handleIncomingPacket(std::move(p), id.uuidString()); };
    hooks.sessionEnded = [host](const UUID& id) { host->sessionEnded(id.uuidString()); };
    hooks.stagingRoot = [host] { return host->stagingRoot(); };
    return hooks;
}

PeerAccountSteps::PeerAccountSteps(std::shared_ptr<platform::VirtualRuntime> runtime,
                                   std::shared_ptr<V230HostAudioAuxServer> server, FileHooks hooks, std::string user,
                                   std::string password)
    : runtime_(std::move(runtime)),
      server_(std::move(server)),
      user_(std::move(user)),
      password_(std::move(password)),
      hooks_(std::move(hooks)) {
    // A flood's packets each leave a job on its peer's slow queue, charged to the
    // sender's peer as any work its packets start; the rest go to the
    // Host's file hooks.
    auto toHost = [packet = hooks_.packet, slowWork = slowWork_, arrived = listingsArrived_](FileTransferPacket p,
                                                                                            const UUID& id) {
        if (p.op == Op::listDir) ++(*arrived)[id.uuidString()];
        if (p.path != kSlowWorkPath) {
            if (packet) packet(std::move(p), id);
            return;
        }
        const auto peer = WorkLedger::current();
        if (!peer) return;
        auto [at, made] = slowWork->try_emplace(peer->owner(), platform::DispatchQueue("test.slow-work." + peer->owner()),
                                                platform::DispatchQueue("test.slow-work-pacer." + peer->owner()));
        const platform::DispatchQueue& slow = at->second.first;
        const platform::DispatchQueue& pacer = at->second.second;
        if (made) slow.setDropsWorkOfGonePeers(true);
        slow.async([slow, pacer] {
            slow.suspend();
            const WorkLedger::Charged nobody(nullptr);
            pacer.asyncAfter(kSlowJobSeconds, [slow] { slow.resume(); });
        });
    };
    server_->queue.sync([&] {
        formerPacket_ = std::exchange(server_->onFileTransferPacket, toHost);
        formerIncoming_ = std::exchange(server_->onFileTransferIncomingPacket, toHost);
        formerSessionEnded_ = std::exchange(server_->onFileTransferSessionEnded, hooks_.sessionEnded);
    });
    const fs::path home = platform::Folders::home();
    if (!fs::exists(home / "crowded")) {
        fs::create_directories(home / "crowded");
        for (int i = 0; i < 4000; ++i)
            std::ofstream(home / "crowded" / ("a-long-enough-entry-name-" + std::to_string(i) + ".txt"));
    }
    if (!fs::exists(home / "small")) {
        fs::create_directories(home / "small");
        for (int i = 0; i < 3; ++i) std::ofstream(home / "small" / ("f" + std::to_string(i))) << std::string(5000, 'x');
    }
    // About as long a reply as a plain folder of 4000 short names gives,
    // at a small part of what listing it costs.
    if (!fs::exists(home / kListedFolder)) listingfolders::makeLongListingFolder(home / kListedFolder, 200);
    if (hooks_.deliveries) {
        fs::create_directories(home / kNamedFolder);
        fs::create_directories(home / kTakenFolder);
        for (const char* name : {"a.txt", "b.txt", "c.txt"}) std::ofstream(home / kTakenFolder / name) << "taken";
        if (!fs::exists(home / kSendFolder)) {
            fs::create_directories(home / kSendFolder);
            for (size_t i = 0; i < kSendFiles; ++i)
                std::ofstream(home / kSendFolder / ("item-" + std::to_string(i))) << std::string(2048, 'o');
        }
        // About 2.4 MiB a reply.
        if (!fs::exists(home / kVastFolder)) listingfolders::makeLongListingFolder(home / kVastFolder, 1600);
    }
    for (int i = 2; i <= 4; ++i) peers_.push_back(Peer{"127.0.0." + std::to_string(i)});
}

PeerAccountSteps::~PeerAccountSteps() {
    for (auto& p : peers_) leave(p, false);
    if (hooks_.deliveries) {
        platform::FileMoves::setNoReplaceRefusedForTesting(false);
        platform::FileMoves::setAcrossFileSystemsForTesting(nullptr);
    }
    server_->queue.sync([&] {
        server_->onFileTransferPacket = std::move(formerPacket_);
        server_->onFileTransferIncomingPacket = std::move(formerIncoming_);
        server_->onFileTransferSessionEnded = std::move(formerSessionEnded_);
    });
}

std::optional<std::string> PeerAccountSteps::runSeeds(const std::vector<uint32_t>& seeds, size_t steps,
                                                      bool checkResident) {
    for (const uint32_t seed : seeds)
        if (auto failure = run(seedBytes(seed, steps), steps, "seed " + std::to_string(seed), checkResident))
            return failure;
    return std::nullopt;
}

std::vector<uint8_t> PeerAccountSteps::seedBytes(uint32_t seed, size_t steps) {
    std::mt19937 random(seed);
    // More than the steps take.
    Bytes bytes(steps * 256);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// --- Steps -----------------------------------------------------------------------

std::unique_ptr<AuxTestClient> PeerAccountSteps::loggedInClient(const Peer& p, const std::string& name) {
    auto client = std::make_unique<AuxTestClient>(runtime_, server_->boundAudioPort(), 0x01, p.address);
    // At once: the login goes on as its answers arrive, whatever Host work
    // runs meanwhile.
    if (client->logIn(user_, password_, name)) return client;
    fail(name + " could not log in");
    return nullptr;
}

void PeerAccountSteps::join(Peer& p) {
    if (p.control) return;
    const std::string name = "Peer-" + p.address;
    p.control = loggedInClient(p, name);
    if (!p.control) return;
    const auto announced = p.control->waitForPacket(AuxPacketType::fileTransferEndpoint);
    const auto endpoint = announced ? FileTransferEndpointPayload::decode(announced->payload) : std::nullopt;
    p.session = server_->queue.syncValue([&] {
        for (const auto& [id, n] : server_->viewerSessionNames)
            if (n == name) return id;
        return UUID{};
    });
    p.ledger = server_->queue.syncValue([&] { return server_->ledgerOfSession(p.session); });
    if (!endpoint || !p.ledger) return fail(p.address + " logged in without a file channel or an account");
    if (std::find(accounts_.begin(), accounts_.end(), p.ledger) == accounts_.end()) accounts_.push_back(p.ledger);
    p.connection = platform::TcpConnection::connect("127.0.0.1", endpoint->port, p.address);
    p.channel = std::make_shared<FileTransferChannelConnection>(p.connection, platform::DispatchQueue("viewer." + name),
                                                                "viewer", [](const std::string&) {});
    // A Viewer that reads what it is sent.
    p.channel->onFrame = [](std::span<const uint8_t>) {};
    p.channel->start();
    p.channel->sendFrame(endpoint->token);
    const UUID session = p.session;
    if (!runtime_->runUntil(
            [&] { return server_->queue.syncValue([&] { return server_->fileTransferChannels.count(session) > 0; }); },
            10))
        fail(p.address + "'s file channel was never authorised");
}

// Without a word: the data channels end with a reset, not a FIN. With
// deliveries, a whole plain copy is sent right before: the Host's socket
// thread reads it before it sees the peer go, and none of the Host's work
// runs in between, so the session's end waits on the Host's queues right
// behind the copy (whose panel nobody is left to answer).
void PeerAccountSteps::leave(Peer& p, bool vanish) {
    if (vanish && hooks_.deliveries) copyRightBeforeVanishing(p);
    auto reset = [](int fd) {
        const linger abrupt{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    };
    if (p.quiet >= 0) {
        if (vanish) reset(p.quiet);
        ::close(p.quiet);
        p.quiet = -1;
    }
    for (auto* other : {&p.extra, &p.busy}) {
        if (*other) (*other)->close();
        other->reset();
    }
    if (p.channel) {
        if (vanish && p.connection && p.connection->fileDescriptorForTesting() >= 0)
            reset(p.connection->fileDescriptorForTesting());
        p.channel->onFrame = nullptr;
        p.channel->cancel();
        p.channel.reset();
    }
    if (p.connection) p.connection->cancel();
    p.connection.reset();
    if (p.control) p.control->close();
    p.control.reset();
    p.ledger.reset();
    p.batches.clear();
    p.cancelled.clear();
    p.listingsAsked = 0;
}

void PeerAccountSteps::copyRightBeforeVanishing(Peer& p) {
    const auto account = p.ledger;
    if (!account || account->overBudget() || account->bytesInUse() >= account->limit()) return;
    const int fd = p.quiet >= 0                                                          ? p.quiet
                   : p.channel && p.connection && p.channel->unsentBytes() == 0 ? p.connection->fileDescriptorForTesting()
                                                                                        : -1;
    if (fd < 0) return;
    runtime_->runUntilIdle();
    const UUID id = UUID::random();
    const Bytes data(4096, 'v');
    Bytes frames;
    for (const auto& packet :
         {FileTransferPacket{Op::batchStart, id, data.size(), packBatchStartValue2(FileTransferIntent::copy, 1), "",
                             FileTransferService::encodeItemNames({"v.txt"})},
          FileTransferPacket{Op::fileStart, id, data.size(), 0, "v.txt", {}},
          FileTransferPacket{Op::fileChunk, id, 0, 0, "v.txt", data},
          FileTransferPacket{Op::fileEnd, id, data.size(), 0, "v.txt", {}},
          FileTransferPacket{Op::batchEnd, id, 0, 0, "", {}}}) {
        const auto frame = FileTransferChannelConnection::encodeFrame(packet.encode());
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    if (::send(fd, frames.data(), frames.size(), MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(frames.size()))
        return;
    // Without running the Host: its socket thread reads on its own. The
    // real time is a hang guard only; a copy the Host did not read before
    // the peer went is not counted.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::optional<size_t> unread;
    while ((unread = unreadByTheHost(fd)) && *unread > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (unread == size_t{0}) ++copiesRightBeforeVanishing;
}

void PeerAccountSteps::sendOp(Peer& p, const FileTransferPacket& packet) {
    if (p.quiet >= 0) return writeQuiet(p, FileTransferChannelConnection::encodeFrame(packet.encode()));
    // The Viewer keeps its own backlog small, as the Host does.
    if (!p.channel || p.channel->didEnd() || p.channel->unsentBytes() > (8u << 20)) return;
    p.channel->sendFrame(packet.encode());
}

void PeerAccountSteps::writeQuiet(Peer& p, const Bytes& bytes) {
    // Never blocks: what does not fit now is simply not asked.
    (void)::send(p.quiet, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

UUID PeerAccountSteps::batchOf(Peer& p, StepBytes& in) {
    if (p.batches.empty() || in.pick(4) == 0) p.batches.push_back(UUID::random());
    return p.batches[in.pick(p.batches.size())];
}

// The flood table's payload shapes on the control connection, valid and
// malformed.
void PeerAccountSteps::controlPacket(Peer& p, StepBytes& in) {
    using T = AuxPacketType;
    static const std::vector<std::pair<T, Bytes>> shapes = {
        {T::pointerEvent, {0, 0, 5, 0, 6, 0, 0, 0}}, {T::pointerEvent, {1, 2, 3}},
        {T::gestureEvent, {1}},                      {T::keyEvent, {0x61, 0, 0, 0, 1}},
        {T::keyEvent, {0x61, 0, 0, 0, 0}},           {T::keyEvent, {0x61, 0}},
        {T::systemDefinedKeyEvent, {16, 0}},         {T::systemDefinedKeyEvent, {1}},
        {T::hostIdentityChallenge, Bytes(32, 7)},    {T::hostIdentityChallenge, {1}},
        {T::viewerLogin, Bytes(80, 3)},              {T::unused43, {1}},
        {T::unused46, {}},                           {T::hostStatus, {'h', 'i'}},
        {T::videoFrame, {0, 0, 0, 1, 0x65}},         {T::audioControl, {0x01}},
        {T::audioControl, {0x02, 1, 0, 0, 0}},       {T::audioControl, {}},
        {T::iosBackgroundPresence, {1}},             {T::iosBackgroundPresence, {5}},
        {T::videoFrameAck, {}},                      {T::keyFrameRequest, {}},
        {T::dragSnapshotEnd, {1, 0, 0, 0}},
        // The rest of the types, so that every one a peer can send is sent.
        {T::audioFrame, {1, 2}},                     {T::videoStreamConfig, {1}},
        {T::videoStats, {1}},                        {T::displayLayout, {1}},
        {T::rawKeyEvent, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}, {T::rawKeyEvent, {0, 0}},
        {T::captureModeControl, {2}},                {T::captureModeControl, {}},
        {T::videoPreferenceControl, {1}},            {T::videoPreferenceControl, {9}},
        {T::hostDisplayModeControl, {1}},            {T::hostDisplayModeControl, {9}},
        {T::hostShortcut, {3}},                      {T::hostShortcut, {0xEE}},
        {T::hostRecordingControl, {7}},              {T::hostPhysicalDisplayControl, {1}},
        {T::clipboardTransfer, {'b', 'p', 'l', 'i', 's', 't', '0', '0', 1}},
        {T::dragPull, {1, 0}},                       {T::dragSnapshot, {1}},
        {T::hostSessionInfo, {}},                    {T::hostIdentityProof, Bytes(128, 1)},
        {T::fileTransferEndpoint, {1}},              {T::unused47, {2, 2}},
        {T::unused48, {}},                           {T::hostRecordingState, {1}},
        {T::videoFrameAck, {9, 9, 9}},               {T::keyFrameRequest, {7}},
    };
    const size_t count = 1 + in.pick(40);
    Bytes stream;
    auto append = [&](T type, const Bytes& payload) {
        const auto packet = makeAuxPacket(type, 0, payload, 0);
        stream.insert(stream.end(), packet.begin(), packet.end());
    };
    // Files copied on the peer, which a whole Host writes to its inbox: a
    // road that opens folders and files for the peer. It follows each
    // malformed transfer, so the bytes a seed reads stay as they were.
    static const Bytes clipboardFiles = [] {
        ClipboardTransferItem item;
        item.kind = ClipboardTransferItemKind::files;
        item.files = {{"a.txt", "public.plain-text", Bytes(64, 'a')}, {"b.txt", "public.plain-text", Bytes(64, 'b')}};
        return *ClipboardTransfer{"stateful-peer", 1, 0, {item}}.encodedData();
    }();
    for (size_t i = 0; i < count; ++i) {
        const auto& [type, payload] = shapes[in.pick(shapes.size())];
        append(type, payload);
        if (type == T::clipboardTransfer) append(type, clipboardFiles);
    }
    // File-transfer packets over the control connection, some large.
    if (in.pick(3) == 0) {
        const size_t data = in.pick(2) ? size_t{64} << 10 : size_t{1} << 20;
        append(T::fileTransferPacket,
               FileTransferPacket{Op::listDirReply, UUID::random(), 0, 0, "x", Bytes(data, 0x5A)}.encode());
    }
    writeSplit(p, *p.control, stream, in);
}

// Every file-channel operation, at whatever stage its batch is in.
void PeerAccountSteps::fileOp(Peer& p, StepBytes& in) {
    const size_t count = 1 + in.pick(24);
    for (size_t i = 0; i < count; ++i) {
        const UUID id = batchOf(p, in);
        const std::string file = "d/f" + std::to_string(in.pick(3));
        switch (in.pick(14)) {
            case 0:
                sendOp(p, {Op::batchStart, id, 4096 * 3, packBatchStartValue2(FileTransferIntent::copy, 3), "", {}});
                break;
            case 1: sendOp(p, {Op::mkdir, id, 0, 0, "d", {}}); break;
            case 2: sendOp(p, {Op::fileStart, id, 4096, 0, file, {}}); break;
            case 3: sendOp(p, {Op::fileChunk, id, 0, 0, file, Bytes(4096, 1)}); break;
            case 4: sendOp(p, {Op::fileEnd, id, 4096, 0, file, {}}); break;
            case 5: sendOp(p, {Op::batchEnd, id, 0, 0, "", {}}); break;
            case 6: sendOp(p, {Op::batchIntent, id, 3, 0, "", {}}); break;
            case 7: sendOp(p, {Op::cancelBatch, id, 0, 0, "", {}}); break;
            case 8: sendOp(p, {Op::directSave, id, 1, 0, "~/Downloads/stateful-" + std::to_string(in.pick(4)), {}}); break;
            case 9:
                sendOp(p, {Op::listDir, id, 0, 0, in.pick(2) ? std::string("~/") + kListedFolder : "~/missing", {}});
                ++p.listingsAsked;
                break;
            case 10: {
                const std::string listing = "[{\"n\":\"a\",\"d\":false}]";
                sendOp(p, {Op::listDirReply, id, 0, 0, "/", Bytes(listing.begin(), listing.end())});
                break;
            }
            case 11: sendOp(p, {Op::peerSendResponse, id, 0, 0, "", Bytes{'{', '}'}}); break;
            case 12: {
                const std::string request = std::string("{\"sourcePaths\":[\"~/") + (in.pick(2) ? "small" : "missing") +
                                            "\"],\"destination\":\"/tmp\",\"deliveryOptionsRawValue\":0}";
                sendOp(p, {Op::peerSendRequest, id, 0, 0, "", Bytes(request.begin(), request.end())});
                break;
            }
            default: {
                // Not a packet at all.
                const Bytes junk(1 + in.pick(60), 0xEE);
                if (p.quiet >= 0) writeQuiet(p, FileTransferChannelConnection::encodeFrame(junk));
                else if (p.channel && !p.channel->didEnd()) p.channel->sendFrame(junk);
                break;
            }
        }
    }
}

// A data channel that reads nothing it is sent until told to.
bool PeerAccountSteps::openQuiet(Peer& p) {
    if (p.quiet < 0 && p.control) {
        // The token is the session's: this channel takes the place of the
        // Viewer's own.
        std::optional<FileTransferEndpointPayload> endpoint;
        for (const auto& packet : p.control->packets())
            if (packet.header.type == AuxPacketType::fileTransferEndpoint)
                endpoint = FileTransferEndpointPayload::decode(packet.payload);
        if (!endpoint) return false;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in local{}, to{};
        local.sin_family = to.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(0x7F000000u | static_cast<uint32_t>(std::stoi(p.address.substr(8))));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(endpoint->port);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(fd);
            return false;
        }
        p.quiet = fd;
        writeQuiet(p, FileTransferChannelConnection::encodeFrame(endpoint->token));
    }
    return p.quiet >= 0;
}

// The quiet channel reads, from now on, all it is sent.
void PeerAccountSteps::readQuiet(Peer& p) {
    if (p.quiet < 0) return;
    const int large = 4 << 20;
    ::setsockopt(p.quiet, SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
    static Bytes sink(1 << 20);
    while (::recv(p.quiet, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
    }
}

// A data channel that asks for listings and reads none of the replies.
void PeerAccountSteps::unreadListings(Peer& p, StepBytes& in) {
    if (!openQuiet(p)) return;
    const size_t count = 1 + in.pick(128);
    for (size_t i = 0; i < count; ++i) {
        const auto payload =
            FileTransferPacket{Op::listDir, UUID::random(), 0, 0, std::string("~/") + kListedFolder, {}}.encode();
        writeQuiet(p, FileTransferChannelConnection::encodeFrame(payload));
        ++p.listingsAsked;
    }
}

// The Host is asked to send the peer a folder (a few hundred files, or
// thousands of empty ones): on a channel it reads, or on one it never
// reads; let be, cancelled, or left or vanished from mid-send. A send to a
// peer that reads ends, sent or cancelled, and gives back its place.
void PeerAccountSteps::peerSend(Peer& p, StepBytes& in) {
    const UUID id = UUID::random();
    const std::string request = std::string("{\"sourcePaths\":[\"~/") + (in.pick(2) ? kSendFolder : "crowded") +
                                "\"],\"destination\":\"/tmp\",\"deliveryOptionsRawValue\":0}";
    const size_t how = in.pick(6);
    if (how >= 4 && !openQuiet(p)) return;
    ++peerSendsAsked;
    sendOp(p, {Op::peerSendRequest, id, 0, 0, "", Bytes(request.begin(), request.end())});
    runtime_->runUntil([] { return false; }, 0.01 * static_cast<double>(1 + in.pick(8)));
    if (how == 1) sendOp(p, {Op::cancelBatch, id, 0, 0, "", {}});
    if (how == 2 || how == 3) return leaveAndDrain(p, how == 3, "after it left mid-send");
    const auto account = p.ledger;
    if (p.quiet < 0 && account &&
        !runtime_->runUntil([&] { return account->held(WorkLedger::Held::sends) == 0; }, 10))
        fail(p.address + "'s send " + id.id8() + " to a peer that reads it still holds its place 10 s on, " +
             describe(*account));
}

// On a channel it never reads, the peer asks for the longest listings
// there are until the replies waiting for it spend its send budget, then
// asks again and again. Past the budget none is built: those that hold a
// place among its listings wait for room, the rest wait their turn for a
// place, each charged to the peer (no more than its job budget lets be
// read), and none is answered before its folder was read. When it then
// reads, every one is built in turn, never more than its places at once;
// when it leaves, none is.
void PeerAccountSteps::listingsPastTheSendBudget(Peer& p, StepBytes& in) {
    if (!hooks_.listingsComputed) return;
    // A fresh channel, whatever became of the last one.
    if (p.quiet >= 0) {
        ::close(p.quiet);
        p.quiet = -1;
    }
    if (!openQuiet(p)) return;
    const auto account = p.ledger;
    // The Host sends to the channel it bound last: until it bound this one,
    // the replies would go elsewhere.
    // Unless the session whose token it showed has ended meanwhile (the
    // Host closed it for what an earlier step sent): its token is void.
    const auto sessionEnded = [&] { return !p.control || p.control->isClosed(); };
    if (!waitFor([&] { return quietIsBound(p) || sessionEnded(); }, [] { return false; }))
        return fail(p.address + "'s unread channel was never bound, " + describe(*account));
    if (!quietIsBound(p)) return;
    // A peer past its job budget is read no further until its jobs are
    // done: the clock moves only then.
    const auto pastItsJobs = [&] { return account->overBudget(); };
    const std::string vast = std::string("~/") + kVastFolder;
    auto ask = [&] {
        writeQuiet(p, FileTransferChannelConnection::encodeFrame(
                          FileTransferPacket{Op::listDir, UUID::random(), 0, 0, vast, {}}.encode()));
        ++p.listingsAsked;
    };
    // Each request taken by the Host: its listing is made at once (on the
    // driving thread, with the rest of the work it caused) or waits for
    // room. However slowly the build makes it.
    auto askAndWaitTaken = [&](size_t count) {
        const size_t before = listingsArrivedFor(p);
        for (size_t i = 0; i < count; ++i) ask();
        return waitFor([&] { return listingsArrivedFor(p) >= before + count; }, pastItsJobs);
    };
    // Room for the longest reply.
    constexpr size_t kReply = FileTransferService::maxListingReplyBytes;
    for (size_t i = 0; i < 64 && account->hasRoomToSend(kReply); ++i)
        if (!askAndWaitTaken(1)) return fail(p.address + "'s listing was never taken, " + describe(*account));
    if (account->hasRoomToSend(kReply))
        return fail(p.address + " asked for 64 unread listings and never spent its send budget, " + describe(*account));
    ++sendBudgetsReached;
    const size_t more = 12 + in.pick(52);
    const size_t builtBefore = hooks_.listingsComputed();
    // Every request taken by the Host, none more built.
    if (!askAndWaitTaken(more))
        return fail(p.address + "'s listings past its send budget were never all taken, " + describe(*account));
    runtime_->runUntilIdle();
    checkLiveAccounts("past its send budget");
    const size_t built = hooks_.listingsComputed();
    if (built != builtBefore)
        return fail(p.address + ": " + std::to_string(built - builtBefore) + " of its " + std::to_string(more) +
                    " listings asked past its send budget were built while it had no room, " + describe(*account));
    // Its places are all held by requests waiting for room; each request
    // past them waits for one, charged to it.
    const size_t held = account->held(WorkLedger::Held::listings);
    const size_t waiting = account->waitingFor(WorkLedger::Held::listings);
    if (held != WorkLedger::heldBound(WorkLedger::Held::listings) || held + waiting < more ||
        account->jobsInUse() < held + waiting)
        return fail(p.address + " asked " + std::to_string(more) + " listings past its send budget and holds " +
                    std::to_string(held) + " of them with " + std::to_string(waiting) + " waiting, " +
                    describe(*account));
    if (in.pick(3) == 0) return leaveAndDrain(p, in.pick(2) == 0, "after it left past its send budget");
    // Until nothing more is built or waits to be sent: room given back
    // lets the next waiting request be built, and once none holds a place
    // (every request was taken) none is left to build.
    auto readAll = [&] {
        readQuiet(p);
        return account->sendingBytes() == 0 && account->held(WorkLedger::Held::listings) == 0;
    };
    if (!waitFor(readAll, [] { return false; }))
        return fail(p.address + " read all it was sent and a minute on still has " + describe(*account));
    // Each one that waited is answered once it reads, unless its session
    // ended meanwhile (its listings are then dropped unbuilt).
    const size_t builtOnceRead = hooks_.listingsComputed() - built;
    if (builtOnceRead > held + waiting || (builtOnceRead < held + waiting && quietIsBound(p)))
        fail(p.address + ": " + std::to_string(builtOnceRead) + " listings were built once it read, of the " +
             std::to_string(held + waiting) + " that held a place or waited for one");
}

size_t PeerAccountSteps::listingsArrivedFor(const Peer& p) const {
    const auto it = listingsArrived_->find(p.session.uuidString());
    return it == listingsArrived_->end() ? 0 : it->second;
}

bool PeerAccountSteps::quietIsBound(const Peer& p) const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (p.quiet < 0 || ::getsockname(p.quiet, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    const uint16_t port = ntohs(local.sin_port);
    return server_->queue.syncValue([&] {
        const auto it = server_->fileTransferChannels.find(p.session);
        return it != server_->fileTransferChannels.end() && it->second->connection()->remotePort() == port;
    });
}

bool PeerAccountSteps::waitFor(const std::function<bool()>& done, const std::function<bool()>& needsTheClock) {
    // Rounds of at most 50 ms of real time, each after all the work due:
    // a minute of them, or two of the clock.
    for (int round = 0; round < 1200; ++round) {
        if (runtime_->runUntil(done, 0.05)) return true;
        if (needsTheClock()) runtime_->advance(0.1);
    }
    return false;
}

// A packet larger than the budget that stops arriving part-way, on either
// of two connections of the peer.
void PeerAccountSteps::unfinishedPacket(Peer& p, StepBytes& in) {
    const size_t where = in.pick(3);
    if (where != 0 && !p.extra) p.extra = loggedInClient(p, "Extra-" + p.address);
    if (where != 1) unfinishedPacketOn(*p.control, in, &p);
    if (where != 0 && p.extra) unfinishedPacketOn(*p.extra, in, &p);
}

void PeerAccountSteps::unfinishedPacketOn(AuxTestClient& on, StepBytes& in, Peer* p) {
    const auto payload = FileTransferPacket{Op::listDirReply, UUID::random(), 0, 0, "x",
                                            Bytes(kLargestPacket - AuxPacketHeader::size - FileTransferPacket::fixedSize - 1, 1)}
                             .encode();
    const auto packet = makeAuxPacket(AuxPacketType::fileTransferPacket, 0, payload, 0);
    const size_t cut = in.pick(2) ? packet.size() / (2 + in.pick(6)) : packet.size() - (1 + in.pick(3)) * (256 << 10);
    // Its header, often, in two reads: the Host takes the first part
    // before the rest comes.
    size_t at = 0;
    if (in.pick(2) && p) {
        at = 1 + in.pick(AuxPacketHeader::size - 1);
        on.sendRaw({packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(at)});
        on.flush();
        waitUntilRead(*p, on);
    }
    on.sendRaw({packet.begin() + static_cast<std::ptrdiff_t>(at), packet.begin() + static_cast<std::ptrdiff_t>(cut)});
    on.flush();
}

// Cheap packets, each of which leaves a job on a busy queue, far more than
// the peer's job budget: its turns wait for its work. Then, most often, it
// leaves (or vanishes) while it is past its budget, the rest of its flood
// unread: it must be seen leaving, and what it left waiting be dropped.
void PeerAccountSteps::pastTheJobBudget(Peer& p, StepBytes& in) {
    if (!p.busy) p.busy = loggedInClient(p, "Busy-" + p.address);
    if (!p.busy) return;
    // Another peer takes the Host's audio for itself, so nothing is sent to
    // this one's connections: only their hangups tell that it left.
    for (auto& other : peers_)
        if (&other != &p && other.control) {
            other.control->send(AuxPacketType::audioControl, AudioControlPayload{true, false, false, 0}.encode());
            other.control->flush();
            break;
        }
    // It leaves, vanishes, or stays past its budget for a while (a smaller
    // flood then, as it is served in the end).
    const size_t how = in.pick(3);
    const auto packet =
        FileTransferPacket{Op::listDirReply, UUID::random(), 0, 0, kSlowWorkPath, Bytes(in.pick(64), 0x5A)}.encode();
    const size_t packets = how < 2 ? kFloodPackets : 2 * p.ledger->maxJobs();
    for (size_t i = 0; i < packets; ++i) p.busy->send(AuxPacketType::fileTransferPacket, packet);
    p.busy->flush();
    if (!runtime_->runUntil([&] { return p.ledger->overBudget(); }, 10) || how == 2) return;
    ++leavesPastTheJobBudget_;
    leaveAndDrain(p, how == 1, "after it left past its job budget");
}

// A Viewer's copy into the Host's folders, as a Viewer sends one: a managed
// copy to a folder it names, a plain copy (the Host's user is asked where
// with a panel), or a managed copy into a folder whose names are taken,
// where the Host asks what to do with each. Cancelled at any stage, or not
// at all (a panel or question then stays up until the peer leaves).
void PeerAccountSteps::delivery(Peer& p, StepBytes& in) {
    static constexpr const char* kKinds[] = {"managed copy", "plain copy", "copy into taken names"};
    static constexpr size_t kFileBytes = 3 * 4096;
    const UUID id = UUID::random();
    const size_t kind = in.pick(3);
    const size_t files = 1 + in.pick(3);
    // 4: not cancelled; 5: left mid-file, its folder open, until the peer
    // goes.
    const size_t cancelAt = in.pick(6);
    auto cancel = [&](const char* stage) {
        sendOp(p, {Op::cancelBatch, id, 0, 0, "", {}});
        p.cancelled.push_back(id);
        ++cancelledDeliveries_[{kKinds[kind], stage}];
    };
    auto letTheHostWork = [&] { runtime_->runUntil([] { return false; }, 0.01 * static_cast<double>(1 + in.pick(8))); };
    if (kind != 1) {
        const auto options = kind == 2 ? FileTransferDeliveryOptions::promptForConflicts : FileTransferDeliveryOptions{};
        sendOp(p, {Op::directSave, id, options.rawValue, 0,
                   std::string("~/") + (kind == 2 ? kTakenFolder : kNamedFolder), {}});
    }
    // The first item is a file; the others are folders of the same name
    // holding their file two folders further down, so that moving them
    // opens folders at the target, one while placing into another (the
    // taken names clash all the same).
    std::vector<std::string> names, paths;
    const std::string inner = std::string("/") + kInnerFolder;
    for (size_t i = 0; i < files; ++i) {
        names.push_back(std::string(1, static_cast<char>('a' + i)) + ".txt");
        paths.push_back(i == 0 ? names[i] : names[i] + inner + inner + "/" + names[i]);
    }
    const auto intent = kind == 1 ? FileTransferIntent::copy : FileTransferIntent::managedCopy;
    sendOp(p, {Op::batchStart, id, files * kFileBytes, packBatchStartValue2(intent, files), "",
               FileTransferService::encodeItemNames(names)});
    if (intent != FileTransferIntent::copy) sendOp(p, {Op::batchIntent, id, static_cast<uint64_t>(intent), 0, "", {}});
    if (cancelAt == 0) return cancel("before any file");
    // Its folder is looked for and opened meanwhile.
    letTheHostWork();
    for (size_t i = 0; i < files; ++i) {
        if (i > 0)
            for (const auto& folder : {names[i], names[i] + inner, names[i] + inner + inner})
                sendOp(p, {Op::mkdir, id, 0, 0, folder, {}});
        sendOp(p, {Op::fileStart, id, kFileBytes, 0, paths[i], {}});
        for (size_t at = 0; at < kFileBytes; at += 4096) {
            sendOp(p, {Op::fileChunk, id, at, 0, paths[i], Bytes(4096, static_cast<uint8_t>('a' + i))});
            if (cancelAt == 5 && i == files / 2 && at == 4096) return letTheHostWork();
            if (cancelAt == 1 && i == files / 2 && at == 4096) {
                letTheHostWork();
                return cancel("mid-file");
            }
        }
        sendOp(p, {Op::fileEnd, id, kFileBytes, 0, paths[i], {}});
    }
    if (cancelAt == 2) {
        letTheHostWork();
        return cancel("before its end");
    }
    sendOp(p, {Op::batchEnd, id, 0, 0, "", {}});
    if (cancelAt == 3) {
        // While it is delivered, asked about, or its panel is up.
        letTheHostWork();
        cancel("after its end");
    }
}

// Every delivery a live peer cancelled is let go of by the Host (its
// folder, staged items, panel, question) within 10 s of the clock.
void PeerAccountSteps::checkCancelledReleased(const std::string& where) {
    if (!hooks_.holdsBatch) return;
    for (auto& p : peers_) {
        for (const auto& id : p.cancelled)
            if (!runtime_->runUntil([&] { return !hooks_.holdsBatch(id); }, 10))
                fail(p.address + "'s cancelled batch " + id.id8() + " is still held 10 s on, " + where +
                     (p.ledger ? "; " + describe(*p.ledger) : ""));
        p.cancelled.clear();
    }
}

void PeerAccountSteps::leaveAndDrain(Peer& p, bool vanish, const std::string& when) {
    const auto account = p.ledger;
    leave(p, vanish);
    if (account && !drainWithin10Seconds({account}))
        fail(p.address + (vanish ? " vanished" : " left") + ": 10 s " + when + ", " + describe(*account));
}

bool PeerAccountSteps::drainWithin10Seconds(const std::vector<std::shared_ptr<WorkLedger>>& accounts) {
    auto allDrained = [&] { return std::all_of(accounts.begin(), accounts.end(), [](const auto& a) { return drained(*a); }); };
    // In steps of the clock, each given a moment for the socket thread to
    // tell what the peers did; at the end, longer.
    for (int i = 0; i < 40; ++i) {
        if (runtime_->runUntil(allDrained, 0.05)) return true;
        runtime_->advance(0.25);
    }
    return runtime_->runUntil(allDrained, 2);
}

void PeerAccountSteps::step(StepBytes& in) {
    Peer& p = peers_[in.pick(peers_.size())];
    // With deliveries, a quarter of the steps more are theirs.
    const size_t kind = in.pick(hooks_.deliveries ? 31 : 21);
    if (!p.control) {
        // Most steps of a peer that is not there bring it back.
        if (kind < 13) join(p);
        else runtime_->advance(0.1 + 0.1 * static_cast<double>(in.pick(20)));
        return;
    }
    const size_t last = hooks_.deliveries ? 28 : 18;
    if (kind == last) trickle(p, in);
    else if (kind > last) acknowledgedStream(p, in);
    else if (kind < 4) controlPacket(p, in);
    else if (kind < 9) fileOp(p, in);
    else if (kind < 11) unreadListings(p, in);
    else if (kind < 12) unfinishedPacket(p, in);
    else if (kind < 14) leaveAndDrain(p, kind == 13, "after it left");
    else if (kind < 16) pastTheJobBudget(p, in);
    else if (kind >= 27) listingsPastTheSendBudget(p, in);
    else if (kind >= 24) peerSend(p, in);
    else if (kind >= 18) delivery(p, in);
    else runtime_->advance(0.1 + 0.1 * static_cast<double>(in.pick(20)));
}

void PeerAccountSteps::waitUntilRead(Peer& p, AuxTestClient& on) {
    const auto account = p.ledger;
    // Written, and nothing left in the Host's kernel buffers: it read it.
    // Or it reads no more for now (past a budget, or the connection went).
    // Only this connection's: the peer's other connections may hold bytes
    // the Host rightly does not read now.
    runtime_->runUntil(
        [&] {
            if (on.isClosed() || !account || account->overBudget() || account->bytesInUse() >= account->limit())
                return true;
            return on.unsentBytes() == 0 && unreadByTheHost(on.descriptor()).value_or(0) == 0;
        },
        2);
}

std::optional<size_t> PeerAccountSteps::unreadByTheHost(int clientEnd) const {
    sockaddr_storage own{};
    socklen_t ownLength = sizeof own;
    if (clientEnd < 0 || ::getsockname(clientEnd, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0)
        return std::nullopt;
    const uint16_t ports[] = {server_->boundAudioPort(), server_->boundVideoPort(), server_->boundFilePort()};
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code gone;
        if (fs::read_symlink(entry.path(), gone).string().rfind("socket:[", 0) != 0) continue;
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_storage local{}, remote{};
        socklen_t localLength = sizeof local, remoteLength = sizeof remote;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0 || !sameEndpoint(remote, own) ||
            std::find(std::begin(ports), std::end(ports), portOf(local)) == std::end(ports))
            continue;
        int bytes = 0;
        if (::ioctl(fd, FIONREAD, &bytes) == 0) return static_cast<size_t>(bytes);
    }
    return std::nullopt;
}

void PeerAccountSteps::writeSplit(Peer& p, AuxTestClient& on, const Bytes& bytes, StepBytes& in) {
    size_t at = 0;
    // Past its last byte an input reads zeros, which would cut a mebibyte
    // a byte at a time: past a few dozen parts, or the input, the rest goes
    // whole.
    for (size_t parts = 0; at < bytes.size(); ++parts) {
        // Mostly whole, else a cut anywhere: often within the next few
        // bytes (a header in two reads, a byte at a time).
        size_t part = bytes.size() - at;
        switch (parts < kMostSplitParts && !in.done() ? in.pick(6) : 5) {
            case 0: part = 1 + in.pick(std::min<size_t>(part, AuxPacketHeader::size)); break;
            case 1: part = 1 + in.pick(std::min<size_t>(part, 4096)); break;
            case 2: part = 1 + (static_cast<size_t>(in.next()) << 8 | in.next()) % part; break;
            default: break;
        }
        part = std::min(part, bytes.size() - at);
        on.sendRaw({bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + part)});
        on.flush();
        at += part;
        if (at == bytes.size()) break;
        // The Host reads this part on its own, and may pause before the
        // next, or the next comes at once.
        switch (in.pick(4)) {
            case 0: waitUntilRead(p, on); break;
            case 1:
                waitUntilRead(p, on);
                runtime_->advance(0.05 * static_cast<double>(1 + in.pick(40)));
                break;
            default: break;
        }
    }
}

// One byte at a time, each 20-29 s after the last: the whole packet's
// arrival has a bound, not the gap between two bytes.
void PeerAccountSteps::trickle(Peer& p, StepBytes& in) {
    auto on = loggedInClient(p, "Trickle-" + p.address);
    if (!on) return;
    const auto account = p.ledger;
    const size_t start = AuxPacketHeader::size + in.pick(64 << 10);
    // Mostly a little past the budget, whose bound comes in a few bytes;
    // one in four the largest packet, whose bound is minutes of the clock
    // (and of the Host's streams, all that while).
    const size_t whole = start % 4 == 0 ? kLargestPacket : AuxAdmission::workBudgetBytesPerPeer + (256 << 10);
    auto packet = makeAuxPacket(AuxPacketType::fileTransferPacket, 0,
                                FileTransferPacket{Op::listDirReply, UUID::random(), 0, 0, "x",
                                                   Bytes(whole - AuxPacketHeader::size -
                                                             FileTransferPacket::fixedSize - 1,
                                                         1)}
                                    .encode(),
                                0);
    on->sendRaw({packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(start)});
    on->flush();
    waitUntilRead(p, *on);
    const double began = static_cast<double>(platform::Clock::uptimeNs()) / 1e9;
    size_t at = start;
    while (!on->isClosed() && !failure_) {
        runtime_->advance(20 + static_cast<double>(in.pick(10)));
        checkLiveAccounts("while a packet trickles");
        checkWhatTheHostHolds("while a packet trickles");
        if (on->isClosed()) break;
        if (static_cast<double>(platform::Clock::uptimeNs()) / 1e9 - began > kTrickleBoundSeconds)
            return fail(p.address + "'s packet, trickled one byte every 20-29 s, still arrives " +
                        std::to_string(static_cast<int>(kTrickleBoundSeconds)) + " s after its header, " +
                        describe(*account) + ", " + stepName_);
        on->sendRaw({packet[at++]});
        on->flush();
        waitUntilRead(p, *on);
    }
    on->close();
}

void PeerAccountSteps::acknowledgedStream(Peer& p, StepBytes& in) {
    const std::string name = "Watch-" + p.address;
    auto video = std::make_unique<AuxTestClient>(runtime_, server_->boundVideoPort(), 0x02, p.address);
    if (!video->logIn(user_, password_, name)) return fail(name + " could not log in");
    const auto account = p.ledger;
    UUID watching;
    server_->queue.sync([&] {
        for (const auto& [id, n] : server_->viewerSessionNames)
            if (n == name && server_->authorizedVideoSessions.count(id)) watching = id;
        // The frames are the test's: no capture starts.
        if (auto& start = server_->streamControl.initialVideoCaptureStartTask) start->cancel();
    });
    // Past its job budget, most often: its costly work waits.
    if (in.pick(3) != 0) {
        if (!p.busy) p.busy = loggedInClient(p, "Busy-" + p.address);
        if (!p.busy) return;
        const auto slow =
            FileTransferPacket{Op::listDirReply, UUID::random(), 0, 0, kSlowWorkPath, Bytes(in.pick(64), 0x5A)}.encode();
        for (size_t i = 0; i < 2 * account->maxJobs(); ++i) p.busy->send(AuxPacketType::fileTransferPacket, slow);
        p.busy->flush();
        runtime_->runUntil([&] { return account->overBudget(); }, 10);
    }
    const size_t acks = 1 + in.pick(120);
    const size_t moves = in.pick(4) == 0 ? 600 : in.pick(700);
    auto framesOf = [](const AuxTestClient& client) {
        const auto packets = client.packets();
        return static_cast<size_t>(std::count_if(packets.begin(), packets.end(), [](const auto& packet) {
            return packet.header.type == AuxPacketType::videoFrame;
        }));
    };
    const size_t framesBefore = framesOf(*video);
    server_->queue.sync([&] {
        server_->streamControl.videoSessionOutstandingAcks[watching] = static_cast<int>(acks);
        server_->streamControl.videoSessionLastAckNs[watching] = platform::Clock::uptimeNs();
    });
    auto outstanding = [&] {
        return server_->queue.syncValue([&] { return server_->streamControl.videoSessionOutstandingAcks[watching]; });
    };
    Bytes stream = makeAuxPacket(AuxPacketType::fileTransferPacket, 0,
                                 FileTransferPacket{Op::listDirReply, UUID::random(), 0, 0, kSlowWorkPath, {}}.encode(), 0);
    auto append = [&](AuxPacketType type, const Bytes& payload) {
        const auto packet = makeAuxPacket(type, 0, payload, 0);
        stream.insert(stream.end(), packet.begin(), packet.end());
    };
    for (size_t i = 0; i < moves; ++i)
        append(AuxPacketType::pointerEvent, {0, 0, static_cast<uint8_t>(i), 0, static_cast<uint8_t>(i >> 8), 0, 0, 0});
    for (size_t i = 0; i < acks; ++i) append(AuxPacketType::videoFrameAck, {});
    if (in.pick(2)) {
        video->sendRaw(stream);
        video->flush();
    } else {
        writeSplit(p, *video, stream, in);
    }
    // Frames the Host sends meanwhile are owed acknowledgements the test's
    // Viewer does not send: only those count against it.
    auto framesSince = [&] { return static_cast<int>(framesOf(*video) - framesBefore); };
    runtime_->runUntil([&] { return outstanding() <= framesSince(); }, 5);
    const bool kept = server_->queue.syncValue([&] { return server_->authorizedVideoSessions.count(watching) == 1; });
    if (!kept || outstanding() > framesSince())
        fail(p.address + " acknowledged its " + std::to_string(acks) + " frames behind " + std::to_string(moves) +
             " pointer moves and lost its video (" + std::to_string(outstanding()) + " unacknowledged), " +
             describe(*account) + ", " + stepName_);
    video->close();
}

// --- Invariants ------------------------------------------------------------------

size_t PeerAccountSteps::hostDescriptors(size_t* others, std::string* named) const {
    const uint16_t ports[] = {server_->boundAudioPort(), server_->boundVideoPort(), server_->boundFilePort()};
    size_t host = 0, other = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code gone;
        const std::string target = fs::read_symlink(entry.path(), gone).string();
        if (gone) continue;
        if (target.rfind("socket:[", 0) == 0) {
            // Asked of the descriptor itself: a socket its peer reset is in
            // no table, and still one the Host holds.
            const int fd = std::stoi(entry.path().filename().string());
            sockaddr_storage local{};
            socklen_t length = sizeof local;
            int listening = 0;
            socklen_t flagLength = sizeof listening;
            tcp_info info{};
            socklen_t infoLength = sizeof info;
            const bool tcp = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
                             (local.ss_family == AF_INET || local.ss_family == AF_INET6) &&
                             ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagLength) == 0 &&
                             ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &infoLength) == 0;
            const uint16_t port = tcp ? portOf(local) : 0;
            // The test's own clients are the sockets whose local port is
            // not the Host's; its listeners were there before.
            if (tcp && !listening) {
                if (std::find(std::begin(ports), std::end(ports), port) == std::end(ports)) continue;
                ++host;
                if (named)
                    *named += " port " + std::to_string(port) + " state " + std::to_string(info.tcpi_state) + ";";
                continue;
            }
        }
        ++other;
        if (named) *named += " " + target + ";";
    }
    if (others) *others = other;
    return host + (other > otherDescriptorsBefore_ ? other - otherDescriptorsBefore_ : 0);
}

void PeerAccountSteps::checkWhatTheHostHolds(const std::string& where) {
    runtime_->runUntilIdle();
    // Bytes buffered unserved and bytes queued to be sent, by peer.
    for (const auto& p : peers_) {
        if (!p.ledger) continue;
        const auto held = server_->queue.syncValue([&] { return server_->holdingsOfPeerForTesting(p.address); });
        const auto& a = *p.ledger;
        if (held.bufferedBytes > a.bytesInUse() + kUnchargedBytes)
            fail(p.address + "'s " + std::to_string(held.connections) + " connections buffer " +
                 std::to_string(held.bufferedBytes) + " bytes, its account says " + std::to_string(a.bytesInUse()) +
                 " (" + std::to_string(a.arrivingBytes()) + " arriving), " + where);
        if (held.unsentBytes > a.sendingBytes() + kUnchargedBytes)
            fail(p.address + "'s connections queue " + std::to_string(held.unsentBytes) +
                 " bytes to send, its account says " + std::to_string(a.sendingBytes()) + ", " + where);
    }
    // Descriptors: every one the Host opened is some account's, but for
    // connections that have not logged in yet and a few of its own. Read
    // before the accounts and the connections waiting: one the socket
    // thread accepts meanwhile is then counted among those, not held
    // outside them. One on its way out (closing on the socket thread) may
    // still be seen after its account let it go: only an excess that stays
    // while the Host's work runs is held outside the accounts.
    std::string named;
    size_t open = 0, charged = 0, pending = 0;
    const auto heldOutside = [&] {
        named.clear();
        open = hostDescriptors(nullptr, &named);
        charged = 0;
        for (const auto& a : accounts_) charged += a->held(WorkLedger::Held::descriptors);
        pending = server_->pendingConnectionCountForTesting();
        return open > charged + pending + kUnchargedDescriptors;
    };
    if (heldOutside() && !runtime_->runUntil([&] { return !heldOutside(); }, 2))
        fail("the Host has " + std::to_string(open) + " descriptors open, its accounts say " +
             std::to_string(charged) + " (and " + std::to_string(pending) + " connections not logged in), " + where +
             "; its sockets and the files it opened:" + named + "; accounts:" + [&] {
                 std::string byPeer;
                 for (const auto& p : peers_)
                     if (p.ledger)
                         byPeer += " " + p.address + " " + std::to_string(p.ledger->held(WorkLedger::Held::descriptors)) + ";";
                 return byPeer;
             }());
    // And at every moment between: each file or folder opened for a peer
    // found a descriptor held for it on the peer's account, however briefly
    // it was open.
    for (const auto& a : accounts_)
        if (const size_t past = a->mostFilesOpenPastItsHoldings())
            fail(a->owner() + " had up to " + std::to_string(past) +
                 " more files and folders open than its account held descriptors for, " + where);
    size_t accountsHold = 0, staged = 0;
    for (const auto& a : accounts_) {
        accountsHold += a->held(WorkLedger::Held::descriptors);
        staged += a->held(WorkLedger::Held::stagedBytes);
    }
    // The Host-wide total is what the accounts hold, and within its bound.
    const size_t hostHeld = WorkLedger::hostDescriptorsHeld();
    const size_t hostWide = hostHeld - std::min(hostHeld, hostDescriptorsBefore_);
    if (hostWide != accountsHold || hostHeld > WorkLedger::hostDescriptorTotal())
        fail("the Host-wide descriptor total counts " + std::to_string(hostWide) + ", its accounts say " +
             std::to_string(accountsHold) + " (its bound " + std::to_string(WorkLedger::hostDescriptorTotal()) + "), " +
             where);
    if (hooks_.stagingRoot) {
        const size_t onDisk = bytesOnDisk(hooks_.stagingRoot());
        if (onDisk > staged)
            fail("the Host has staged " + std::to_string(onDisk) + " bytes on disk, its accounts say " +
                 std::to_string(staged) + ", " + where);
    }
}

void PeerAccountSteps::checkLiveAccounts(const std::string& where) {
    for (const auto& p : peers_) {
        if (!p.ledger) continue;
        const auto& a = *p.ledger;
        // The budget, one packet larger than it, and what each connection
        // may read past it.
        const size_t readBound = a.limit() + kLargestPacket + 4 * AuxAdmission::readAheadPastBudgetBytes;
        auto over = [&](const char* what, size_t value, size_t bound) {
            if (value > bound)
                fail(p.address + " " + what + " " + std::to_string(value) + " past its bound " + std::to_string(bound) +
                     ", " + where);
        };
        over("read and held", a.bytesInUse(), readBound);
        over("arriving", a.arrivingBytes(), readBound);
        over("jobs", a.jobsInUse(), a.maxJobs());
        over("waiting to be sent", a.sendingBytes(), WorkLedger::kMaxSendingBytes + kLargestPacket);
        for (const auto kind : kHeldKinds) over(WorkLedger::heldName(kind), a.held(kind), WorkLedger::heldBound(kind));
        over("listings held past those asked", a.held(WorkLedger::Held::listings), p.listingsAsked);
    }
    // The Host's total: everything on the live accounts is on it, under
    // each peer's machine, and it holds its bound.
    std::shared_ptr<HostByteTotal> total;
    std::map<std::string, size_t> byMachine;
    size_t onTheAccounts = 0;
    for (const auto& p : peers_) {
        if (!p.ledger || !p.ledger->total()) continue;
        if (total && total != p.ledger->total()) fail(p.address + " counts on a total of its own, " + where);
        total = p.ledger->total();
        const size_t holds = p.ledger->bytesInUse() + p.ledger->sendingBytes();
        byMachine[AuxAdmission::machineOf(p.address)] += holds;
        onTheAccounts += holds;
    }
    if (total) {
        for (const auto& [machine, holds] : byMachine)
            if (total->bytesOf(machine) < holds)
                fail("the total has " + std::to_string(total->bytesOf(machine)) + " bytes of " + machine +
                     ", its accounts hold " + std::to_string(holds) + ", " + where);
        if (total->bytesInUse() < onTheAccounts)
            fail("the total has " + std::to_string(total->bytesInUse()) + " bytes, the accounts hold " +
                 std::to_string(onTheAccounts) + ", " + where);
        if (total->bytesInUse() > total->limit())
            fail("the Host holds " + std::to_string(total->bytesInUse()) + " bytes, past its total " +
                 std::to_string(total->limit()) + ", " + where);
    }
    // The Host-wide batch places are those the accounts hold, no more.
    const auto& pool = server_->batchPlaces();
    size_t batches = 0;
    for (const auto& a : accounts_) batches += a->held(WorkLedger::Held::batches);
    if (pool->held() != batches || pool->held() > pool->total())
        fail("the Host-wide batch places hold " + std::to_string(pool->held()) + " of " +
             std::to_string(pool->total()) + ", the accounts " + std::to_string(batches) + ", " + where);
}

std::optional<std::string> PeerAccountSteps::run(Bytes bytes, size_t maxSteps, const std::string& name,
                                                 bool checkResident) {
    failure_.reset();
    runtime_->runUntilIdle();
    const size_t descriptorsBefore = openDescriptorCount();
    hostDescriptorsBefore_ = WorkLedger::hostDescriptorsHeld();
    hostDescriptors(&otherDescriptorsBefore_);
    const double residentBefore = checkResident ? residentMiB() : 0;
    if (hooks_.deliveries) {
        // Moves into the Host's folders take, run by run, the roads a file
        // system may send them on besides a plain rename, each opening
        // what the peer's account must hold: a folder item is copied
        // across file systems; every other run the no-replace flag is
        // refused, the file is copied across too, and the folders (the
        // copy's included) are moved by hard links.
        const bool refused = runs_++ % 2 == 1;
        platform::FileMoves::setNoReplaceRefusedForTesting(refused);
        platform::FileMoves::setAcrossFileSystemsForTesting([refused](const fs::path& source) {
            return source == "b.txt" || (refused && source == "a.txt");
        });
    }
    StepBytes in(std::move(bytes));
    for (size_t n = 0; n < maxSteps && !in.done() && !failure_; ++n) {
        stepName_ = name + " step " + std::to_string(n);
        step(in);
        // As the step left it, whatever the socket thread has told so far.
        checkLiveAccounts(name + " step " + std::to_string(n) + " before its work ran");
        runtime_->runUntilIdle();
        checkLiveAccounts(name + " step " + std::to_string(n));
        checkWhatTheHostHolds(name + " step " + std::to_string(n));
        checkCancelledReleased(name + " step " + std::to_string(n));
    }
    for (auto& p : peers_) leave(p, p.address.back() == '3');
    // Within 10 s of the clock, every account reads zero.
    if (!drainWithin10Seconds(accounts_))
        for (const auto& a : accounts_)
            if (!drained(*a)) fail(name + ": 10 s after every peer left, " + describe(*a));
    if (!runtime_->runUntil([&] { return openDescriptorCount() <= descriptorsBefore + 2; }, 10))
        fail(name + ": " + std::to_string(openDescriptorCount()) + " descriptors open after every peer left, " +
             std::to_string(descriptorsBefore) + " before");
    if (hooks_.leftBehind && !failure_) {
        std::optional<std::string> held;
        if (!runtime_->runUntil([&] { return !(held = hooks_.leftBehind()); }, 10))
            fail(name + ": 10 s after every peer left, the Host still holds " + held.value_or("something"));
    }
    if (checkResident && residentMiB() - residentBefore > 64.0)
        fail(name + ": resident memory " + std::to_string(residentMiB() - residentBefore) +
             " MiB above what it was before, after every peer left");
    accounts_.clear();
    return std::exchange(failure_, std::nullopt);
}
