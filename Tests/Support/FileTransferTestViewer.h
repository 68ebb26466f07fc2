#pragma once
// A Viewer of the file channel for end-to-end tests: logged in on the aux
// port, its data channel opened with the token the Host announced and
// authorised, and a file-transfer service of its own that sends through
// that channel and hears what arrives on it.

#include <cstddef>
#include <memory>
#include <string>

#include "Platform/Network.h"
#include "Platform/VirtualRuntime.h"
#include "Support/AuxTestClient.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferChannelConnection.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

struct FileTransferTestViewer {
    std::unique_ptr<AuxTestClient> control;
    std::shared_ptr<platform::TcpConnection> connection;
    std::shared_ptr<FileTransferChannelConnection> channel;
    std::shared_ptr<FileTransferService> service = std::make_shared<FileTransferService>("Host", 262144);
    // Frames that reached this Viewer; counted on the channel's queue.
    size_t packetsReceived = 0;

    FileTransferTestViewer() = default;
    FileTransferTestViewer(const FileTransferTestViewer&) = delete;  // the channel's handler holds `this`

    // Logs `name` in on the Host's aux port and waits (running `runtime`)
    // until the Host authorised the data channel; false when either fails.
    bool connect(const std::shared_ptr<platform::VirtualRuntime>& runtime, uint16_t auxPort, const std::string& user,
                 const std::string& password, const std::string& name, const platform::testing::LogCapture& log);
};
