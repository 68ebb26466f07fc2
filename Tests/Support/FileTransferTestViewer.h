#pragma once
// A Viewer for end-to-end file-transfer tests: logged in on the control
// port, its data channel open with the token the Host announced, and a
// file-transfer engine of its own sending and receiving through it.

#include <filesystem>
#include <array>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Network/Network.h"
#include "Platform/Runtime/VirtualRuntime.h"
#include "Support/AuxTestClient.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

struct FileTransferTestViewer {
    // Logs in as `name` and opens the data channel; the log tells when the
    // Host authorised it.
    static std::unique_ptr<FileTransferTestViewer> connect(const std::shared_ptr<platform::VirtualRuntime>& runtime,
                                                           const std::shared_ptr<V230HostAudioAuxServer>& server,
                                                           const LogCapture& log, const std::string& user,
                                                           const std::string& password, const std::string& name,
                                                           const std::string& from = {});

    // Both connections drop at once, as when the Viewer quits.
    void disconnect();
    // The Viewer reads nothing more of its data channel, and its socket
    // takes in little: what the Host sends it waits in the Host, where its
    // peer's account counts it, not in the kernel's buffers, so a few
    // replies are sure to fill the peer's room to be sent more.
    void stopReading();
    // It reads again, all it is sent.
    void readAgain();
    // Nothing that arrives later reaches the destroyed Viewer.
    ~FileTransferTestViewer();

    std::unique_ptr<AuxTestClient> control;
    std::shared_ptr<platform::TcpConnection> connection;
    std::shared_ptr<FileTransferChannelConnection> channel;
    std::shared_ptr<FileTransferService> service = std::make_shared<FileTransferService>("Host", 262144);
    // Batches the Viewer received, with their staged items.
    std::vector<std::pair<platform::UUID, std::vector<std::filesystem::path>>> completed;
    // The intent of each completed batch, in the same order.
    std::vector<FileTransferIntent> completedIntents;
    // Every packet that came over the channel, in order.
    std::vector<FileTransferPacket> received;
    // Answers to peer-send requests and receipts of managed copies.
    std::vector<std::pair<platform::UUID, FileTransferPeerSendResponse>> responses;
    size_t packetsReceived = 0;
    platform::UUID session;
    uint16_t endpointPort = 0;
    std::array<uint8_t, 16> endpointToken{};
};

// Every file and folder below `root` by relative path: a file's SHA-256,
// "<dir>" for a folder.
std::map<std::string, std::string> digestsBelow(const std::filesystem::path& root);
