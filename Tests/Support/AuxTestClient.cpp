#include "Support/AuxTestClient.h"

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Security/Crypto.h"

namespace crypto = platform::crypto;

AuxTestClient::AuxTestClient(std::shared_ptr<platform::VirtualRuntime> runtime, uint16_t port,
                             uint8_t associatedData, const std::string& localAddress, const std::string& host)
    : runtime_(std::move(runtime)), state_(std::make_shared<State>()), associatedData_(associatedData) {
    // settle() is a round trip for an identity proof, as many times as a
    // test needs; the limit after login has its own test, which restores it.
    V230HostAudioAuxServer::setIdentityProofLimitAfterLoginForTesting(false);
    connection_ = platform::TcpConnection::connect(host, port, localAddress);
    state_->connection = connection_;
    state_->runtime = runtime_;
    auto state = state_;
    connection_->stateUpdateHandler = [state](platform::ConnectionState s, const std::string&) {
        if (s == platform::ConnectionState::ready) state->ready = true;
        if (s == platform::ConnectionState::failed || s == platform::ConnectionState::cancelled) state->closed = true;
        state->advanceLogin();
    };
    connection_->receiveHandler = [state](std::span<const uint8_t> data, bool isComplete, const std::string&) {
        state->cutter.append(data);
        for (;;) {
            auto next = state->cutter.next();
            if (next.status != AuxPacketCutter::Status::packet) break;
            state->packets.push_back({next.header, {next.payload.begin(), next.payload.end()}});
            state->takenMarks.push_back(false);
        }
        if (isComplete) state->closed = true;
        state->advanceLogin();
    };
    connection_->start(queue_);
}

AuxTestClient::~AuxTestClient() { connection_->cancel(); }

void AuxTestClient::State::advanceLogin() {
    if (!login || !login->clockHeld) return;
    if (!login->sent && !login->failed && !closed) {
        for (size_t i = 0; i < packets.size() && !login->proof; ++i) {
            if (takenMarks[i] || packets[i].header.type != AuxPacketType::hostIdentityProof) continue;
            takenMarks[i] = true;
            auto proof = HostIdentityProofPayload::decode(packets[i].payload);
            auto message = proof ? HostIdentityProofPayload::signedMessage(login->challenge, proof->hostEphemeralPublicKey)
                                 : std::vector<uint8_t>{};
            // A proof that does not verify ends the login: nothing is sealed to it.
            if (!proof || !crypto::ed25519Verify(proof->hostPublicKey, message, proof->signature)) {
                login->failed = true;
                break;
            }
            login->proof = proof;
        }
        if (login->proof && !login->failed && !closed) {
            if (auto c = connection.lock())
                c->send(makeAuxPacket(AuxPacketType::viewerLogin, 0,
                                      sealLogin(login->credentials, login->proof->hostEphemeralPublicKey,
                                                login->associatedData),
                                      0));
            login->sent = true;
        }
    }
    bool ended = closed || login->failed;
    for (size_t i = 0; i < packets.size(); ++i)
        ended = ended || (!takenMarks[i] && packets[i].header.type == AuxPacketType::hostSessionInfo);
    if (!ended) return;
    login->clockHeld = false;
    if (auto r = runtime.lock()) r->releaseClock();
}

bool AuxTestClient::waitConnected() {
    return runtime_->runUntil([&] { return state_->ready || state_->closed; }) && state_->ready;
}

void AuxTestClient::send(AuxPacketType type, std::span<const uint8_t> payload) {
    sendRaw(makeAuxPacket(type, 0, payload, 0));
}

void AuxTestClient::sendRaw(std::vector<uint8_t> bytes) { unsent_.insert(unsent_.end(), bytes.begin(), bytes.end()); }

void AuxTestClient::flush() {
    if (unsent_.empty()) return;
    connection_->send(std::move(unsent_));
    unsent_.clear();
}

void AuxTestClient::setReadingPaused(bool paused) { connection_->setReadingPaused(paused); }

size_t AuxTestClient::unsentBytes() const { return unsent_.size() + connection_->unsentBytes(); }

int AuxTestClient::descriptor() const { return connection_->fileDescriptorForTesting(); }

std::optional<ReceivedAuxPacket> AuxTestClient::waitForPacket(AuxPacketType type) {
    flush();
    std::optional<size_t> found;
    runtime_->runUntil(
        [&] {
            for (size_t i = 0; i < state_->packets.size(); ++i) {
                if (!state_->takenMarks[i] && state_->packets[i].header.type == type) {
                    found = i;
                    return true;
                }
            }
            return state_->closed;
        },
        5);
    if (!found) return std::nullopt;
    state_->takenMarks[*found] = true;
    return state_->packets[*found];
}

bool AuxTestClient::waitClosed() {
    flush();
    return runtime_->runUntil([&] { return state_->closed; }, 5);
}

void AuxTestClient::settle() {
    // A round trip through the server proves it has handled everything sent
    // before: the identity proof comes back only after earlier packets.
    size_t before = state_->packets.size();
    std::array<uint8_t, 32> challenge{};
    send(AuxPacketType::hostIdentityChallenge, challenge);
    flush();
    runtime_->runUntil([&] {
        for (size_t i = before; i < state_->packets.size(); ++i)
            if (state_->packets[i].header.type == AuxPacketType::hostIdentityProof) return true;
        return state_->closed;
    }, 5);
    for (size_t i = before; i < state_->packets.size(); ++i) {
        if (state_->packets[i].header.type == AuxPacketType::hostIdentityProof) {
            state_->takenMarks[i] = true;
            break;
        }
    }
}

std::optional<HostIdentityProofPayload> AuxTestClient::requestIdentity() {
    HostIdentityChallengePayload challenge;
    auto random = crypto::randomBytes(32);
    std::copy(random.begin(), random.end(), challenge.challenge.begin());
    send(AuxPacketType::hostIdentityChallenge, challenge.encode());
    auto reply = waitForPacket(AuxPacketType::hostIdentityProof);
    if (!reply) return std::nullopt;
    auto proof = HostIdentityProofPayload::decode(reply->payload);
    if (!proof) return std::nullopt;
    auto message = HostIdentityProofPayload::signedMessage(challenge.challenge, proof->hostEphemeralPublicKey);
    if (!crypto::ed25519Verify(proof->hostPublicKey, message, proof->signature)) return std::nullopt;
    proof_ = proof;
    return proof;
}

std::vector<uint8_t> AuxTestClient::sealedLogin(const ViewerLoginCredentials& credentials,
                                                std::optional<uint8_t> associatedDataOverride) const {
    std::array<uint8_t, 32> hostKey{};
    if (proof_) hostKey = proof_->hostEphemeralPublicKey;
    return sealLogin(credentials, hostKey, associatedDataOverride.value_or(associatedData_));
}

std::vector<uint8_t> AuxTestClient::sealLogin(const ViewerLoginCredentials& credentials,
                                              const std::array<uint8_t, 32>& hostKey, uint8_t associatedData) {
    auto viewerKey = crypto::X25519KeyPair::generate();
    auto secret = viewerKey.sharedSecret(hostKey);
    std::array<uint8_t, 32> ikm{};
    if (secret) ikm = *secret;
    auto salt = ViewerLoginPayload::keyDerivationSalt(viewerKey.publicKey(), hostKey);
    std::string_view info = ViewerLoginPayload::keyDerivationInfo;
    auto key = crypto::hkdfSha256(ikm, salt, {reinterpret_cast<const uint8_t*>(info.data()), info.size()}, 32);
    auto nonce = crypto::randomBytes(12);
    const uint8_t aad[1] = {associatedData};
    ViewerLoginPayload login;
    login.viewerPublicKey = viewerKey.publicKey();
    login.sealedBox = crypto::chachaPolySeal(credentials.encode(), key, nonce, aad);
    return login.encode();
}

bool AuxTestClient::logIn(const std::string& user, const std::string& password, const std::string& viewerName,
                          std::optional<std::array<uint8_t, 20>> captureRequest) {
    PendingLogin login;
    auto random = crypto::randomBytes(32);
    std::copy(random.begin(), random.end(), login.challenge.begin());
    login.credentials = ViewerLoginCredentials{user, password, viewerName, captureRequest};
    login.associatedData = associatedData_;
    login.clockHeld = true;
    // Bounded like the wait below, so that a Host that never answers
    // fails the login rather than stopping its clock for good.
    runtime_->holdClock(5);
    state_->login = std::move(login);
    HostIdentityChallengePayload challenge;
    challenge.challenge = state_->login->challenge;
    send(AuxPacketType::hostIdentityChallenge, challenge.encode());
    flush();
    runtime_->runUntil([&] { return !state_->login->clockHeld; }, 5);
    if (state_->login->clockHeld) runtime_->releaseClock();
    if (state_->login->proof) proof_ = state_->login->proof;
    const bool sent = state_->login->sent;
    state_->login.reset();
    bool loggedIn = false;
    for (size_t i = 0; i < state_->packets.size() && !loggedIn; ++i) {
        if (state_->takenMarks[i] || state_->packets[i].header.type != AuxPacketType::hostSessionInfo) continue;
        state_->takenMarks[i] = true;
        loggedIn = true;
    }
    return sent && loggedIn;
}

void AuxTestClient::close() {
    flush();
    connection_->cancel();
}
