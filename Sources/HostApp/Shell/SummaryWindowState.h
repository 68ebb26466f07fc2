#pragma once
// The summary window (and the detail window) with the controls the Host
// updates in place, and the pending automatic close.

#include <memory>

#include "Platform/AppKit/AppKitWindow.h"
#include "Platform/Runtime/Dispatch.h"

struct SummaryWindowState {
    // Created on first need and kept for the life of the process; closing
    // only hides it.
    std::shared_ptr<platform::Window> summaryWindow;
    std::shared_ptr<platform::Window> detailWindow;
    // Controls owned by their windows.
    std::weak_ptr<platform::View> summaryTitleLabel;
    std::weak_ptr<platform::View> summarySubtitleLabel;
    std::weak_ptr<platform::View> summaryDetailsButton;
    std::weak_ptr<platform::View> summaryRefreshButton;
    std::weak_ptr<platform::View> summaryUpdateButton;
    std::weak_ptr<platform::View> summaryLaunchAtLoginCheckbox;
    std::weak_ptr<platform::View> detailTitleLabel;
    std::weak_ptr<platform::View> detailSubtitleLabel;
    std::weak_ptr<platform::View> detailRefreshButton;
    std::weak_ptr<platform::View> detailCopyLogsButton;
    // The pending automatic close; at most one.
    platform::DispatchWorkItemRef summaryAutoCloseWorkItem;
};
