#pragma once
// Application-modal sessions of the headless AppKit model: one window runs
// modally while the main queue keeps serving its work and (in tests)
// virtual time keeps passing, until someone stops the session with a code.
// Sessions nest; stopping ends the innermost one. Also the system beep,
// counted, since nothing is heard here. Main thread only, like AppKit.

#include <memory>
#include <optional>

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

// Shows the window as the key window and runs the main queue nested until
// stopModalWithCode() ends this session (or the application terminates,
// which answers kModalResponseAbort). Returns the code.
ModalResponse runModalForWindow(const std::shared_ptr<Window>& window);
// Ends the innermost running session with `code`; nothing when none runs.
void stopModalWithCode(ModalResponse code);
// The window of the innermost running session, if any.
std::shared_ptr<Window> modalWindow();
// The loop of every modal run: runs the main queue nested until `response`
// is set, or sets it to kModalResponseAbort once the application
// terminated. Returns it.
ModalResponse runModalLoop(std::optional<ModalResponse>& response);

// The system beep.
void beep();
// Beeps since the simulated machine started.
int beepCountForTesting();

}  // namespace platform
