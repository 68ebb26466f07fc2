// Files through the Host's file-transfer engine against a plain copy.
//
// Service/toHost:0 (Host to Viewer) and Service/toHost:1 (Viewer to Host): a 1 GiB page-cached file goes between the
// Host's service (wired to a started server as the shell wires it) and a
// Viewer's service over a data channel on loopback, staged on disk at the
// receiving end. The Viewer's channel is admitted with a token the bench
// places in the server's token table, as a login would.
//
// PlainCopy: the same file through one loopback socket, 256 KiB reads and
// writes, a writer thread reading the file and a reader thread writing the
// copy.
//
// bytes_per_second is the file's size over the wall time of one transfer.
//
// Listing/ListingWithTheJsonLibrary: a reply's worth of entries (20,000
// names, a tenth of them needing escapes or not UTF-8) written as a listing
// reply, by the Host's encoder and by the JSON library building and dumping
// each entry's object, which writes the same bytes.

#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Foundation/Json.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/Runtime.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

namespace fs = std::filesystem;
using platform::UUID;

namespace {

constexpr uint64_t kFileBytes = 1ull << 30;
constexpr size_t kPlainBlock = 256 * 1024;

const fs::path kBenchRoot = fs::temp_directory_path() / ("bench_file_transfer." + std::to_string(::getpid()));

fs::path benchRoot() {
    static const bool ready = [] {
        fs::create_directories(kBenchRoot);
        platform::Folders::setOverrideRoot(kBenchRoot);
        return true;
    }();
    (void)ready;
    return kBenchRoot;
}

// Written once and read once, so every run reads it from the page cache.
fs::path sourceFile() {
    static const fs::path path = [] {
        auto p = benchRoot() / "source.bin";
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<uint8_t> block(1 << 20);
        for (uint64_t done = 0; done < kFileBytes; done += block.size()) {
            for (size_t i = 0; i < block.size(); i += 4096) block[i] = static_cast<uint8_t>(done >> 20);
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) break;
        }
        ::close(fd);
        fd = ::open(p.c_str(), O_RDONLY);
        while (::read(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
        return p;
    }();
    return path;
}

// A Host and one Viewer joined by a data channel.
struct Link {
    std::shared_ptr<V230HostAudioAuxServer> server;
    std::shared_ptr<FileTransferService> host = std::make_shared<FileTransferService>("Viewer", 262144);
    std::shared_ptr<FileTransferService> viewer = std::make_shared<FileTransferService>("Host", 262144);
    std::shared_ptr<platform::TcpConnection> connection;
    std::shared_ptr<FileTransferChannelConnection> channel;
    UUID session = UUID::random();
    std::atomic<int> hostCompleted{0}, viewerCompleted{0};

    Link() {
        V230HostAudioAuxServerConfiguration configuration;
        configuration.audioPort = configuration.videoPort = configuration.filePort = 0;
        configuration.bindAddress = "127.0.0.1";
        server = std::make_shared<V230HostAudioAuxServer>(configuration);
        server->start();
        FileTransferChannelToken token;
        server->queue.sync([&] {
            server->fileTransferTokens.emplace(session, token);
            server->fileTransferTokenIndex[token] = session;
        });
        std::weak_ptr<V230HostAudioAuxServer> weakServer = server;
        host->routedSendPacket = [weakServer](FileTransferPacket p, const std::optional<std::string>& t) {
            auto s = weakServer.lock();
            auto id = t ? UUID::parse(*t) : std::nullopt;
            return s && id && s->sendFileTransferPacket(std::move(p), *id);
        };
        server->onFileTransferIncomingPacket = [this](FileTransferPacket p, const UUID&) {
            host->handleIncomingPacket(std::move(p));
        };
        host->onBatchCompleted = [this](const UUID&, const std::vector<fs::path>&, FileTransferIntent,
                                         const FileTransferDeliveryResult&, ReceivedBatchHoldings&) {
            ++hostCompleted;
        };
        viewer->onBatchCompleted = [this](const UUID&, const std::vector<fs::path>&, FileTransferIntent,
                                         const FileTransferDeliveryResult&, ReceivedBatchHoldings&) {
            ++viewerCompleted;
        };

        connection = platform::TcpConnection::connect("127.0.0.1", server->boundFilePort());
        channel = std::make_shared<FileTransferChannelConnection>(connection, platform::DispatchQueue("bench.viewer"),
                                                                  "viewer", [](const std::string&) {});
        channel->onFrame = [this](std::span<const uint8_t> payload) {
            if (auto p = FileTransferPacket::decode(payload)) viewer->handleIncomingPacket(std::move(*p));
        };
        channel->start();
        // Frames are sent on the channel's queue; the Viewer's sender waits
        // for room as the Host's does.
        auto window = std::make_shared<platform::DispatchSemaphore>(0);
        viewer->sendPacket = [this, window](FileTransferPacket p) {
            std::vector<uint8_t> frame(FileTransferChannelConstants::headerSize);
            p.appendEncoded(frame);
            while (connection->unsentBytes() > (8u << 20)) window->wait(0.01);
            channel->sendPreparedFrame(std::move(frame), [window](const std::string&) { window->signal(); });
            return true;
        };
        channel->sendFrame(token.bytes);
        while (!server->queue.syncValue([&] { return server->fileTransferChannels.count(session) > 0; }))
            platform::Runtime::current().runMainQueue(0.01, [] { return false; });
    }
    ~Link() { server->stopForTermination(); }

    void waitFor(std::atomic<int>& counter, int value) {
        platform::Runtime::current().runMainQueue(600, [&] { return counter.load() >= value; });
    }
};

void clearInbox() {
    std::error_code ec;
    fs::remove_all(platform::Folders::caches() / "VelantrixFileInbox", ec);
}

// Argument 0: Host to Viewer; 1: Viewer to Host.
void BM_Service(benchmark::State& state) {
    auto file = sourceFile();
    Link link;
    const bool toHost = state.range(0) == 1;
    int done = 0;
    for (auto _ : state) {
        if (toHost) {
            link.viewer->sendURLs({file}, FileTransferIntent::copy, std::nullopt, {}, std::nullopt);
        } else {
            link.host->sendURLs({file}, FileTransferIntent::copy, std::nullopt, {}, link.session.uuidString());
        }
        link.waitFor(toHost ? link.hostCompleted : link.viewerCompleted, ++done);
        state.PauseTiming();
        clearInbox();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

void BM_PlainCopy(benchmark::State& state) {
    auto file = sourceFile();
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    ::listen(listener, 1);
    for (auto _ : state) {
        std::thread writer([&] {
            int s = ::socket(AF_INET, SOCK_STREAM, 0);
            ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
            int in = ::open(file.c_str(), O_RDONLY);
            std::vector<uint8_t> block(kPlainBlock);
            ssize_t n;
            while ((n = ::read(in, block.data(), block.size())) > 0) {
                for (ssize_t off = 0; off < n;) {
                    auto w = ::write(s, block.data() + off, static_cast<size_t>(n - off));
                    if (w <= 0) break;
                    off += w;
                }
            }
            ::close(in);
            ::close(s);
        });
        std::thread reader([&] {
            int s = ::accept(listener, nullptr, nullptr);
            auto copy = benchRoot() / "copy.bin";
            int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            std::vector<uint8_t> block(kPlainBlock);
            ssize_t n;
            while ((n = ::read(s, block.data(), block.size())) > 0) {
                if (::write(out, block.data(), static_cast<size_t>(n)) != n) break;
            }
            ::close(out);
            ::close(s);
        });
        writer.join();
        reader.join();
    }
    ::close(listener);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

const std::vector<RemoteDirectoryEntry>& listingEntries() {
    static const std::vector<RemoteDirectoryEntry> entries = [] {
        std::vector<RemoteDirectoryEntry> out;
        for (int i = 0; i < 20'000; ++i) {
            std::string name = "Document " + std::to_string(i) + (i % 10 == 0 ? " \"q\"\xFF.txt" : " caf\xC3\xA9.txt");
            out.push_back({std::move(name), i % 7 == 0, uint64_t(i) * 4099, platform::Date{1.7e9 + i * 0.25}});
        }
        return out;
    }();
    return entries;
}

void BM_Listing(benchmark::State& state) {
    size_t bytes = 0;
    for (auto _ : state) {
        const auto text = RemoteDirectoryEntry::encodeListing(listingEntries());
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_ListingWithTheJsonLibrary(benchmark::State& state) {
    size_t bytes = 0;
    for (auto _ : state) {
        std::vector<uint8_t> text{'['};
        for (const auto& e : listingEntries()) {
            platform::Json item = {{"n", e.name}, {"d", e.isDirectory}, {"s", e.size}};
            if (e.modificationDate) item["t"] = e.modificationDate->secondsSince1970;
            const auto one = item.dump(-1, ' ', false, platform::Json::error_handler_t::replace);
            if (text.size() > 1) text.push_back(',');
            text.insert(text.end(), one.begin(), one.end());
        }
        text.push_back(']');
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_Listing)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListingWithTheJsonLibrary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCopy)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Service)->ArgName("toHost")->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The 1 GiB file and the copies go with the program.
struct RemoveBenchRoot {
    ~RemoveBenchRoot() {
        std::error_code ec;
        fs::remove_all(kBenchRoot, ec);
    }
} removeBenchRoot;

}  // namespace
