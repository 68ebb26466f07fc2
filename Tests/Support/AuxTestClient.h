#pragma once
// A Viewer stand-in for the server's end-to-end tests: one TCP connection
// speaking the aux framing, with helpers for the identity proof and the
// sealed login. It is driven by the test's virtual-time runtime: every wait
// runs the runtime until the awaited thing happened or a real-time limit
// passed.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Protocol/SessionPayloads.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Network/Network.h"
#include "Platform/Runtime/VirtualRuntime.h"

struct ReceivedAuxPacket {
    AuxPacketHeader header;
    std::vector<uint8_t> payload;
    std::string text() const { return std::string(payload.begin(), payload.end()); }
};

class AuxTestClient {
public:
    // Connects to host:port (127.0.0.1 unless given), from localAddress
    // when given (another loopback address stands in for another machine);
    // associatedData is the channel byte a login on this connection is
    // sealed with (1 audio, 2 video).
    AuxTestClient(std::shared_ptr<platform::VirtualRuntime> runtime, uint16_t port, uint8_t associatedData,
                  const std::string& localAddress = {}, const std::string& host = "127.0.0.1");
    ~AuxTestClient();

    bool waitConnected();
    // Sends are gathered and written together at the next wait, so that
    // back-to-back small messages do not sit out the peer's delayed ACK.
    void send(AuxPacketType type, std::span<const uint8_t> payload);
    void sendRaw(std::vector<uint8_t> bytes);
    // The first packet of this type not yet taken, waiting for it if needed.
    std::optional<ReceivedAuxPacket> waitForPacket(AuxPacketType type);
    // Waits until the server closed the connection.
    bool waitClosed();
    bool isClosed() const { return state_->closed; }
    // Every packet received so far, in order.
    std::vector<ReceivedAuxPacket> packets() const { return state_->packets; }
    // Lets the runtime run until nothing more arrives for a short while.
    void settle();

    // Sends type 41 and returns the decoded type 42 answer.
    std::optional<HostIdentityProofPayload> requestIdentity();
    std::optional<HostIdentityProofPayload> proof() const { return proof_; }
    // A type 36 payload sealed to the host key of the last identity proof.
    std::vector<uint8_t> sealedLogin(const ViewerLoginCredentials& credentials,
                                     std::optional<uint8_t> associatedDataOverride = std::nullopt) const;
    // Identity, then the login; true when type 35 arrived. Each answer is
    // sent from the receive handler the moment its question's reply
    // arrives, as a Viewer on its own machine would, with the clock held
    // meanwhile: Host work that blocks on the driving thread (a send
    // waiting for a stalled Viewer's window) can neither hold the exchange
    // back nor let the Host's login deadline pass while it goes on.
    bool logIn(const std::string& user, const std::string& password, const std::string& viewerName,
               std::optional<std::array<uint8_t, 20>> captureRequest = std::nullopt);

    void close();
    // A Viewer that stops reading: what the Host sends it stays in the
    // sockets, then in the Host's send queues; resumed, it reads it all.
    void setReadingPaused(bool paused);
    // Writes what send() gathered now.
    void flush();
    // Bytes sent and not yet written to the socket.
    size_t unsentBytes() const;
    // This end's socket, or -1 once it closed.
    int descriptor() const;

private:
    static std::vector<uint8_t> sealLogin(const ViewerLoginCredentials& credentials,
                                          const std::array<uint8_t, 32>& hostKey, uint8_t associatedData);

    // A login under way: sent from the receive handler once the proof
    // that answers `challenge` arrived.
    struct PendingLogin {
        std::array<uint8_t, 32> challenge{};
        ViewerLoginCredentials credentials;
        uint8_t associatedData = 0;
        std::optional<HostIdentityProofPayload> proof;
        bool sent = false;
        // The proof did not verify: nothing is sealed to it.
        bool failed = false;
        bool clockHeld = false;
    };
    struct State {
        AuxPacketCutter cutter{AuxPacketCutter::postLoginPayloadLimit};
        std::vector<ReceivedAuxPacket> packets;
        bool ready = false;
        bool closed = false;
        std::vector<bool> takenMarks;
        std::optional<PendingLogin> login;
        std::weak_ptr<platform::TcpConnection> connection;
        std::weak_ptr<platform::VirtualRuntime> runtime;
        // Takes the next step of a login under way; lets go of the clock
        // once it ended either way.
        void advanceLogin();
    };
    std::shared_ptr<platform::VirtualRuntime> runtime_;
    platform::DispatchQueue queue_{"test.aux.client"};
    std::shared_ptr<platform::TcpConnection> connection_;
    std::shared_ptr<State> state_;
    uint8_t associatedData_;
    std::optional<HostIdentityProofPayload> proof_;
    std::vector<uint8_t> unsent_;
};
