#pragma once
// A Viewer stand-in with a file-transfer data channel: it logs in on the
// audio and control port, opens the data channel with the token the Host
// announced, and runs a file-transfer service of its own on the channel, so
// that it answers listings and stages what the Host sends.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Support/AuxTestClient.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

struct FileTransferTestViewer {
    struct Batch {
        platform::UUID id;
        std::vector<std::filesystem::path> staged;
        FileTransferIntent intent;
    };

    // Logs in as `name` and opens the channel; empty `session` when either
    // failed (the test's expectations say which).
    static std::unique_ptr<FileTransferTestViewer> connect(const std::shared_ptr<platform::VirtualRuntime>& runtime,
                                                           V230HostAudioAuxServer& server, const std::string& user,
                                                           const std::string& password, const std::string& name);
    // Nothing that arrives later reaches the destroyed Viewer.
    ~FileTransferTestViewer();

    std::unique_ptr<AuxTestClient> control;
    std::shared_ptr<platform::TcpConnection> connection;
    std::shared_ptr<FileTransferChannelConnection> channel;
    std::shared_ptr<FileTransferService> service;
    // Every packet that came over the channel, in order, and the batches
    // the service staged.
    std::vector<FileTransferPacket> received;
    std::vector<Batch> completed;
    platform::UUID session;
};
