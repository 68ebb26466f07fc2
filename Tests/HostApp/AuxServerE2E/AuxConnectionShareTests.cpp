// What a peer's connections may take together: the data channel served in
// turns like the control connections, a cap on logged-in connections per
// source and overall, and one share of the server's time per source
// however many connections it opens.

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <chrono>
#include <thread>

#include "AuxServerTestFixture.h"
#include "HostApp/Capture/HostVideoCapture.h"
#include "HostApp/Capture/VideoStreamProfile.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "HostApp/Protocol/InputControlPayloads.h"
#include "Support/FileTransferTestViewer.h"
#include "Platform/Runtime/FreedMemory.h"
#include "Platform/Network/Network.h"

using platform::UUID;

namespace {

class ConnectionShare : public AuxServerTest {
protected:
    // Waits (in real time) until the socket thread has posted nothing new
    // for a while: what was sent has all been read.
    bool waitUntilNothingMoreIsPosted() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        size_t seen = runtime->pendingCount();
        auto quietSince = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(300)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
            if (const size_t now = runtime->pendingCount(); now != seen) {
                seen = now;
                quietSince = std::chrono::steady_clock::now();
            }
        }
        return true;
    }
    // An audio connection from `address`, logged in or refused.
    std::unique_ptr<AuxTestClient> audioFrom(const std::string& address, const std::string& name, bool& loggedIn) {
        auto client = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, address);
        loggedIn = client->waitConnected() && client->logIn(consoleUser, password, name);
        return client;
    }
    size_t loggedInSessions() {
        return server->queue.syncValue([&] { return server->authorizedAudioSessions.size(); });
    }
};

// Frames the flooder sent in one piece are served a turn at a time, so the
// other Viewer's request, read just after, is handled after the first turn
// and not after the whole flood.
TEST_F(ConnectionShare, ADataChannelFloodLeavesAnotherViewersRequestItsTurn) {
    auto flooder = FileTransferTestViewer::connect(runtime, server, *log, consoleUser, password, "Flooder");
    auto honest = FileTransferTestViewer::connect(runtime, server, *log, consoleUser, password, "Honest");
    std::vector<UUID> arrivals;
    server->onFileTransferIncomingPacket = [&](FileTransferPacket, const UUID& session) { arrivals.push_back(session); };

    constexpr int kFloodFrames = 1600;
    const size_t idle = runtime->pendingCount();
    for (int i = 0; i < kFloodFrames; ++i)
        flooder->channel->sendFrame(FileTransferPacket{FileTransferOp::cancelBatch, UUID::random(), 0, 0, "", {}}.encode());
    ASSERT_TRUE(waitForPostedWork(idle, 1));
    ASSERT_TRUE(waitUntilNothingMoreIsPosted()) << "the whole flood reaches the queue first";
    const size_t before = runtime->pendingCount();
    honest->channel->sendFrame(FileTransferPacket{FileTransferOp::cancelBatch, UUID::random(), 0, 0, "", {}}.encode());
    // Its send's completion on the Viewer's queue, and its delivery on the
    // server's.
    ASSERT_TRUE(waitForPostedWork(before, 2));
    ASSERT_TRUE(waitUntilNothingMoreIsPosted());
    ASSERT_TRUE(runUntil([&] { return arrivals.size() == kFloodFrames + 1; }));

    const auto honestAt = std::find(arrivals.begin(), arrivals.end(), honest->session) - arrivals.begin();
    EXPECT_LT(honestAt, kFloodFrames / 2) << "the other Viewer's request waited for no more than a turn of the flood";
    EXPECT_EQ(std::count(arrivals.begin(), arrivals.end(), flooder->session), kFloodFrames) << "nothing is dropped";
}

// A source holds at most six logged-in connections: a seventh is refused at
// accept, one that logs in past the cap is closed at its login, and another
// source still logs in; over all sources at most 48.
TEST_F(ConnectionShare, LoggedInConnectionsAreCappedPerSourceAndOverall) {
    std::vector<std::unique_ptr<AuxTestClient>> held;
    bool loggedIn = false;
    // Two waiting for their password check when the source fills: the
    // second one's login would pass the cap.
    for (size_t i = 0; i + 1 < AuxAdmission::maxLoggedInPerSource; ++i) {
        held.push_back(audioFrom("127.0.0.2", "Viewer", loggedIn));
        ASSERT_TRUE(loggedIn) << i;
    }
    auto last = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, "127.0.0.2");
    auto pastCap = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, "127.0.0.2");
    ASSERT_TRUE(last->waitConnected() && pastCap->waitConnected());
    ASSERT_TRUE(last->logIn(consoleUser, password, "Viewer"));
    EXPECT_FALSE(pastCap->logIn(consoleUser, password, "Viewer"));
    EXPECT_TRUE(pastCap->waitClosed()) << "past the cap at its login, the connection is closed";
    EXPECT_TRUE(logContains("over the logged-in connection cap; closing"));

    auto refused = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, "127.0.0.2");
    EXPECT_TRUE(refused->waitClosed()) << "a full source's new connection is closed at accept";
    EXPECT_TRUE(refused->packets().empty());
    held.push_back(std::move(last));
    held.push_back(audioFrom("127.0.0.3", "Other", loggedIn));
    EXPECT_TRUE(loggedIn) << "another source still logs in";
    advance(1.0);
    EXPECT_TRUE(logContains("over 6 logged in from one source"));

    // Overall: fill the rest from sources of their own.
    for (int source = 4; loggedInSessions() < AuxAdmission::maxLoggedInConnections; ++source) {
        for (size_t i = 0; i < AuxAdmission::maxLoggedInPerSource &&
                           loggedInSessions() < AuxAdmission::maxLoggedInConnections;
             ++i) {
            held.push_back(audioFrom("127.0.0." + std::to_string(source), "Viewer", loggedIn));
            ASSERT_TRUE(loggedIn) << source << " " << i;
        }
    }
    auto overall = std::make_unique<AuxTestClient>(runtime, server->boundAudioPort(), 0x01, "127.0.0.100");
    EXPECT_TRUE(overall->waitClosed()) << "past the overall cap, a new source is refused too";
    held.pop_back();  // one leaves: a place is free again
    ASSERT_TRUE(runUntil([&] { return loggedInSessions() < AuxAdmission::maxLoggedInConnections; }));
    held.push_back(audioFrom("127.0.0.100", "Late", loggedIn));
    EXPECT_TRUE(loggedIn);
}

// A login refused because its peer holds as many descriptors as it may is
// logged for that, not as past the connection cap, on the control port and
// on the file port alike.
TEST_F(ConnectionShare, ALoginPastItsPeersDescriptorBoundSaysSo) {
    bool loggedIn = false;
    auto first = audioFrom("127.0.0.2", "Viewer", loggedIn);
    ASSERT_TRUE(loggedIn);
    auto announced = first->waitForPacket(AuxPacketType::fileTransferEndpoint);
    ASSERT_TRUE(announced);
    const auto id = server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
    const auto ledger = server->queue.syncValue([&] { return server->ledgerOfSession(id); });
    ASSERT_TRUE(ledger);
    std::vector<platform::WorkLedger::Holding> held;
    while (auto one = platform::WorkLedger::Holding::take(ledger, platform::WorkLedger::Held::descriptors))
        held.push_back(std::move(*one));
    ASSERT_EQ(ledger->held(platform::WorkLedger::Held::descriptors),
              platform::WorkLedger::heldBound(platform::WorkLedger::Held::descriptors));

    auto second = audioFrom("127.0.0.2", "Viewer", loggedIn);
    EXPECT_FALSE(loggedIn);
    EXPECT_TRUE(second->waitClosed());
    EXPECT_TRUE(logContains("over its peer's descriptor bound; closing"));

    advance(1.1);  // the file port's refusals share the pre-login allowance
    auto channel = std::make_shared<FileTransferChannelConnection>(
        platform::TcpConnection::connect("127.0.0.1", server->boundFilePort(), "127.0.0.2"), platform::DispatchQueue("test.channel"),
        "viewer channel", [](const std::string&) {});
    bool ended = false;
    channel->onEnded = [&](const std::optional<std::string>&) { ended = true; };
    channel->start();
    channel->sendFrame(FileTransferEndpointPayload::decode(announced->payload)->token);
    EXPECT_TRUE(runUntil([&] { return ended; }));
    EXPECT_TRUE(logContains("file aux: over its peer's descriptor bound; dropping connection"));
    EXPECT_FALSE(logContains("over the logged-in connection cap"));
}

// Four connections of one source that always have more to send take one
// source's share of full turns together: no more than two connections
// would take on their own.
TEST_F(ConnectionShare, ManyFloodingConnectionsOfOneSourceTakeNoMoreThanTheShareOfTwo) {
    constexpr int kConnections = 4;
    constexpr int kTurnsEach = 300;
    std::vector<std::unique_ptr<AuxTestClient>> flooders;
    bool loggedIn = false;
    for (int i = 0; i < kConnections; ++i) {
        flooders.push_back(audioFrom("127.0.0.2", "Flooder", loggedIn));
        ASSERT_TRUE(loggedIn);
        flooders.back()->settle();
    }
    for (int c = 0; c < kConnections; ++c) {
        for (int i = 0; i < kTurnsEach * 64; ++i) {
            PointerEventControlPayload move{0, static_cast<uint16_t>(i % 1000), static_cast<uint16_t>(c), 1000, 1000};
            flooders[c]->send(AuxPacketType::pointerEvent, move.encode());
        }
        flooders[c]->send(AuxPacketType::rawKeyEvent, RawKeyEventControlPayload{static_cast<uint16_t>(10 + c), 0, true}.encode());
        flooders[c]->flush();
    }
    auto keysPosted = [] {
        return platform::SimulatedMachine::current().component<platform::SimulatedEventTap>().keyboardEvents().size();
    };
    auto allPosted = [&] { return keysPosted() == size_t{kConnections}; };
    // 1,200 full turns: the source's burst is 400, then 400 a second, so
    // about two seconds. Two connections' shares (800 at once, then 800 a
    // second) would be done in half a second. (Waits for something that
    // must not happen.)
    EXPECT_FALSE(runUntil(allPosted, 1.0)) << "the rest waits for virtual time";
    advance(0.6);
    EXPECT_FALSE(runUntil(allPosted, 0.5)) << "more connections bought no larger share";
    for (int step = 0; step < 60 && !allPosted(); ++step) {
        advance(0.25);
        runUntil(allPosted, 0.2);
    }
    EXPECT_TRUE(allPosted()) << "every connection is served in the end";
}

// What serving a flood allocated, and what a leaving Viewer's connection
// held, is freed in the heaps of the threads that made it and stays
// resident unless it is given back: a second with no backlog after a
// flood, and a logged-in Viewer's leaving, each give it back. Measured as
// the resident memory that one more pass over the heaps would still return
// (so what earlier tests left, returned first, is not counted).
TEST_F(ConnectionShare, WhatAFloodOrALeavingViewerFreedIsGivenBack) {
#if !defined(__GLIBC__) || defined(NORVESSAL_SANITIZED_BUILD)
    GTEST_SKIP() << "measures glibc's heaps; a sanitizer brings an allocator of its own";
#endif
    constexpr size_t kMiB = size_t{1} << 20;
    bool loggedIn = false;
    auto viewer = audioFrom("127.0.0.2", "Viewer", loggedIn);
    ASSERT_TRUE(loggedIn);
    viewer->settle();
    size_t most = 0;
    auto serve = [&](double seconds) {
        for (double t = 0; t < seconds; t += 0.05) {
            advance(0.05);
            runUntilIdle();
            most = std::max(most, residentBytes());
        }
    };
    // 32 MiB of packets of many sizes, of a type the Host reads and
    // ignores: their buffers come and go in every size class.
    auto flood = [&](AuxTestClient& client) {
        size_t sent = 0;
        for (size_t n = 0; sent < 32 * kMiB; ++n) {
            const size_t bytes = 200 + (n * 7919) % 2800;
            client.send(AuxPacketType::unused43, std::vector<uint8_t>(bytes, 1));
            sent += bytes + AuxPacketHeader::size;
            if (n % 1024 == 0) client.flush();
        }
        client.flush();
    };
    // Until the Host has read and served all of it: nothing the client
    // has not written or its kernel has not delivered, nothing buffered in
    // the Host. The quiet second is judged from there, not from a clock
    // that a loaded machine's reading lags behind.
    auto servedWhole = [&](AuxTestClient& client) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            int queued = 0;
            const bool written = client.unsentBytes() == 0 && ::ioctl(client.descriptor(), SIOCOUTQ, &queued) == 0 &&
                                 queued == 0;
            const auto held = server->queue.syncValue([&] { return server->holdingsOfPeerForTesting("127.0.0.2"); });
            if (written && held.bufferedBytes == 0) return true;
            if (std::chrono::steady_clock::now() > until) return false;
            advance(0.01);
            runUntilIdle();
            most = std::max(most, residentBytes());
        }
    };
    auto keptAfterFreeing = [] {
        const size_t resident = residentBytes();
        returnFreedMemory();
        return resident - std::min(resident, residentBytes());
    };
    serve(2);
    returnFreedMemory();
    const size_t before = residentBytes();
    most = before;
    flood(*viewer);
    ASSERT_TRUE(servedWhole(*viewer)) << "the Host reads and serves the flood";
    serve(6);
    ASSERT_GT(most - before, 8 * kMiB) << "serving the flood took a working set worth measuring";
    EXPECT_LT(keptAfterFreeing(), kMiB) << "a second without backlog after the flood gave it back";

    // The Viewer floods again and leaves with most of it unread.
    most = residentBytes();
    const size_t beforeLeaving = most;
    flood(*viewer);
    serve(0.2);
    auto id = server->queue.syncValue([&] { return *server->authorizedAudioSessions.begin(); });
    viewer.reset();
    ASSERT_TRUE(runUntil([&] { return server->sessionReleaseCountForTesting(id) == 1; }));
    serve(2);
    ASSERT_GT(most - beforeLeaving, 4 * kMiB) << "the leaving Viewer held a working set worth measuring";
    EXPECT_LT(keptAfterFreeing(), kMiB) << "what the leaving Viewer held was given back";
}

// The key frames Viewers' requests cost the encoder are paced for the whole
// Host: sources that keep asking, on however many connections, share one
// half second. A source that had been quiet (one that lost a frame) is let in
// a quarter of a second behind the last.
TEST_F(ConnectionShare, KeyFrameRequestsArePacedForTheWholeHostAndAQuietSourceWaitsLess) {
    auto request = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                     VideoCaptureBackend::headlessVirtual);
    const auto display = server->startupPhysicalDisplayID;
    auto profile = VideoStreamProfile::forDisplay(display, request, false, std::nullopt);
    auto capture = HostVideoCapture::create(display, profile, profile, true, false);
    server->queue.sync([&] { server->streamControl.videoCapture = capture; });
    bool loggedIn = false;
    auto first = audioFrom("127.0.0.2", "Viewer", loggedIn);
    ASSERT_TRUE(loggedIn);
    auto second = audioFrom("127.0.0.2", "Viewer", loggedIn);
    ASSERT_TRUE(loggedIn);
    auto other = audioFrom("127.0.0.3", "Other", loggedIn);
    ASSERT_TRUE(loggedIn);
    for (auto* client : {first.get(), second.get(), other.get()}) client->settle();
    auto requestFrom = [&](AuxTestClient& client) {
        capture->forceKeyFrameRequested.set(0);
        client.send(AuxPacketType::keyFrameRequest, {});
        client.settle();
        return capture->forceKeyFrameRequested.value();
    };
    auto forcedAfter = [&](double seconds) {
        capture->forceKeyFrameRequested.set(0);
        advance(seconds);
        return capture->forceKeyFrameRequested.value();
    };
    EXPECT_EQ(requestFrom(*first), 1) << "the source's first is acted on at once";
    EXPECT_EQ(requestFrom(*second), 0) << "its other connection waits for the Host's time";
    EXPECT_EQ(requestFrom(*other), 0) << "another source waits for the Host's";
    EXPECT_EQ(forcedAfter(0.25), 1) << "a source that had been quiet, a quarter of a second behind the last";
    EXPECT_EQ(forcedAfter(0.45), 0) << "one that keeps asking waits half a second behind whoever's was last";
    EXPECT_EQ(forcedAfter(0.05), 1);
    EXPECT_EQ(requestFrom(*other), 0) << "the other source, asking again, is no longer quiet";
    EXPECT_EQ(forcedAfter(0.45), 0);
    EXPECT_EQ(forcedAfter(0.05), 1);
    EXPECT_EQ(forcedAfter(2), 0) << "each was acted on once";
    server->queue.sync([&] { server->streamControl.videoCapture.reset(); });
}

}  // namespace
