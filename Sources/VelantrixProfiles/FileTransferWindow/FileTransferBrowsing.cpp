// The entry points of transfers that the window's controls are wired to.
// Running transfers comes later; until then they do nothing.

#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"

void FileTransferWindowController::executeTransfer() {}

void FileTransferWindowController::cancelActiveTransfer() {}
