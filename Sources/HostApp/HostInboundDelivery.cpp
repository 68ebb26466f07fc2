// Delivery of files the Viewers send: the server's file-packet hooks end
// here, on the server queue, and hand each packet to the file-transfer
// service, which stages the batch.

#include "HostApp/HostProbeDelegate.h"

void HostProbeDelegate::handleIncomingFileTransferPacket(FileTransferPacket packet, const platform::UUID&) {
    components.fileTransferService->handleIncomingPacket(std::move(packet));
}
