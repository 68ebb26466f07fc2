// Listings and peer-send answers that nobody on this side asked for cost a
// flooding peer's packets nothing beyond the receive queue: nothing of them
// waits on the main queue.

#include <gtest/gtest.h>

#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

using platform::UUID;

namespace {

class UnaskedReplies : public VirtualTimeTest {
protected:
    std::shared_ptr<FileTransferService> receiver = std::make_shared<FileTransferService>("Viewer", 262144);

    void flood(int count) {
        const std::string listing = R"([{"n":"a","d":false}])";
        const std::string answer = R"({"accepted":true})";
        for (int i = 0; i < count; ++i) {
            receiver->handleIncomingPacket(
                {FileTransferOp::listDirReply, UUID::random(), 0, 0, "/", {listing.begin(), listing.end()}}, "A");
            receiver->handleIncomingPacket(
                {FileTransferOp::peerSendResponse, UUID::random(), 0, 0, {}, {answer.begin(), answer.end()}}, "A");
        }
    }
};

TEST_F(UnaskedReplies, NothingOfThemWaitsOnTheMainQueue) {
    const auto& main = platform::DispatchQueue::main();
    main.suspend();
    flood(200);
    runUntilIdle();
    EXPECT_EQ(runtime->pendingCount(), 0u) << "the receive queue dropped them";
    main.resume();
}

TEST_F(UnaskedReplies, AListingAskedForStillArrives) {
    std::vector<std::string> listed;
    receiver->onDirectoryListing = [&](const UUID&, const std::string& path, const std::vector<RemoteDirectoryEntry>&) {
        listed.push_back(path);
    };
    receiver->routedSendPacket = [](FileTransferPacket, const std::optional<std::string>&) { return true; };
    const std::string listing = R"([{"n":"a","d":false}])";
    for (int i = 0; i < 3; ++i) {
        const UUID asked = receiver->requestDirectoryListing("/", "A");
        receiver->handleIncomingPacket(
            {FileTransferOp::listDirReply, asked, 0, 0, "/", {listing.begin(), listing.end()}}, "A");
    }
    flood(3);
    runUntilIdle();
    EXPECT_EQ(listed, (std::vector<std::string>{"/", "/", "/"})) << "only the replies asked for";
}

}  // namespace
