#pragma once
// Connects the clipboard bridge and the drag pull to the Viewer session
// server. Each hook holds the other component weakly, so neither keeps the
// other alive. Call on the main queue before either is started.

#include <memory>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "VelantrixProfiles/Clipboard/ClipboardSyncBridge.h"

// The bridge's changes go to the server's clipboard broadcast and its
// status texts to the log; the Viewers' clipboard transfers reach the
// bridge on the main queue; a drag pull is resolved and logged.
void wireClipboardAndDrag(const std::shared_ptr<V230HostAudioAuxServer>& server,
                          const std::shared_ptr<ClipboardSyncBridge>& bridge);
