// Delivery of files the Viewers send: the server's file-packet hooks end
// here, on the server queue; the delivery itself comes with the
// file-transfer service.

#include "HostApp/HostProbeDelegate.h"

void HostProbeDelegate::handleIncomingFileTransferPacket(const std::vector<uint8_t>&, const platform::UUID&) {}
