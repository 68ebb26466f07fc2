#pragma once
// The fields of the Host's lifecycle: the refresh timer and the observers
// that normal mode registers, the quit confirmation's progress, and the
// run-once guard of normal mode. Main queue only.

#include <memory>
#include <optional>
#include <vector>

#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/InstanceLock.h"
#include "Platform/Foundation/NotificationCenter.h"

struct HostLifecycleState {
    // The repeating 2 s refresh of normal mode.
    std::unique_ptr<platform::DispatchTimer> timer;
    // The four sleep and wake observers on the workspace centre; empty when
    // none is registered.
    std::vector<platform::NotificationCenter::Token> workspacePowerObservers;
    // Distributed-centre observers of language and input-source changes.
    std::optional<platform::NotificationCenter::Token> languageObserver;
    std::optional<platform::NotificationCenter::Token> inputSourceObserver;
    // The next terminate request passes without asking.
    bool terminationConfirmed = false;
    // The termination came from SIGTERM or SIGINT, not the user's quit: a
    // service manager or a terminal stopped the Host, and nothing may start
    // a new one outside what it stopped.
    bool terminationBySignal = false;
    // This process's hold on its data root (taken by `main` before anything
    // else; shared here), without which staging of earlier runs stays.
    std::shared_ptr<platform::InstanceLock> hostLock;
    // The quit sheet is up and the application waits for its answer.
    bool terminationConfirmationInProgress = false;
    // The installer or updater asked the Host to quit; the sheet then
    // confirms itself after 5 s.
    bool quitRequestedByExternalTool = false;
    // That automatic confirmation, while pending.
    platform::DispatchWorkItemRef quitAutoConfirmWorkItem;
    // The quit sheet while it is up, so that an installer's request that
    // arrives meanwhile can confirm it.
    std::weak_ptr<platform::Alert> quitConfirmationAlert;
    // Normal mode runs once per process.
    bool hostNormalModeStarted = false;
    // Signalled once the server's tear-down, begun at termination, is
    // done; null until then. The process waits for it after the run loop.
    std::shared_ptr<platform::DispatchSemaphore> serverStopped;
};
