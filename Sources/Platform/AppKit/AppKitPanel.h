#pragma once
// Panels of the headless AppKit model: a utility panel (a window that may
// float, with its close box sent to an action) and the folder-choosing open
// panel, which a test answers with OK and a folder, or with Cancel. Child
// windows, which move with their parent, are recorded per parent.
// Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

inline constexpr ModalResponse kModalResponseCancel = 0;
inline constexpr ModalResponse kModalResponseOK = 1;

class Panel {
public:
    static std::shared_ptr<Panel> make(CGSize contentSize, uint32_t styleMask);

    std::shared_ptr<Window> window() const { return window_; }
    bool isFloatingPanel = false;
    // What the close box does; without one it closes the window.
    std::function<void()> closeBoxAction;
    // The user clicks the close box (closable panels only).
    void clickCloseBox();

private:
    explicit Panel(std::shared_ptr<Window> window) : window_(std::move(window)) {}
    std::shared_ptr<Window> window_;
};

// `child` moves with `parent` and stays above it, until removed.
void addChildWindow(const std::shared_ptr<Window>& parent, const std::shared_ptr<Window>& child);
void removeChildWindow(const std::shared_ptr<Window>& parent, const std::shared_ptr<Window>& child);
std::vector<std::shared_ptr<Window>> childWindows(const Window& parent);

class OpenPanel : public std::enable_shared_from_this<OpenPanel> {
public:
    static std::shared_ptr<OpenPanel> make();

    std::shared_ptr<Window> window() const { return window_; }
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool allowsMultipleSelection = false;
    bool canCreateDirectories = false;
    std::optional<std::string> directoryURL;
    std::string prompt;
    std::string message;
    // The chosen folder once the panel ended with OK.
    std::optional<std::string> url() const { return url_; }

    // As a sheet of `parent` (`didBegin` runs when it shows, after the
    // sheets before it), or free-standing; the handler gets the answer.
    void beginSheetModal(const std::shared_ptr<Window>& parent, std::function<void(ModalResponse)> handler,
                         std::function<void()> didBegin = nullptr);
    void begin(std::function<void(ModalResponse)> handler);
    bool isRunning() const { return static_cast<bool>(handler_); }

    // The user's answer; nothing happens unless the panel runs.
    void answerOK(const std::string& path);
    void answerCancel();

private:
    OpenPanel();
    void finish(ModalResponse response);

    std::shared_ptr<Window> window_;
    std::weak_ptr<Window> sheetParent_;
    std::function<void(ModalResponse)> handler_;
    std::optional<std::string> url_;
};

}  // namespace platform
