#pragma once
// The long-lived components the delegate owns and connects: the Viewer
// session server, the diagnostics log and the clipboard bridge.

#include <atomic>
#include <memory>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "VelantrixProfiles/Clipboard/ClipboardSyncBridge.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

struct ComponentWiringState {
    // The one server, from normal mode until termination. Written on the
    // main queue and read by hooks on the server and poll queues, hence
    // atomic.
    std::atomic<std::shared_ptr<V230HostAudioAuxServer>> audioServer;
    // Every status line of the shell and of its components.
    std::shared_ptr<DiagnosticLogBuffer> diagnosticLog = std::make_shared<DiagnosticLogBuffer>(400);
    // Carries the Mac's clipboard to the Viewers and theirs to the Mac:
    // 32 MiB per file, 48 MiB per transfer.
    std::shared_ptr<ClipboardSyncBridge> clipboardBridge;
    // Sends and stages files for every Viewer: peer label "Viewer", chunks
    // of 262144 bytes. Made by the delegate's initialiser, never replaced.
    std::shared_ptr<FileTransferService> fileTransferService;
};
