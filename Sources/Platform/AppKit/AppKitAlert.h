#pragma once
// Alerts of the headless AppKit model: a message, an informative text and
// buttons whose responses are 1000, 1001, ... in the order added, shown in a
// window of their own, either as a sheet on another window (with a
// completion) or modally (the caller waits in a nested run of the main
// queue). Tests press the buttons or script the answer through the
// application; a terminating application ends every alert, shown or
// waiting its turn as a sheet, with the abort response.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

class Alert : public std::enable_shared_from_this<Alert> {
public:
    enum class Style { warning, informational, critical };

    static std::shared_ptr<Alert> make();

    std::string messageText;
    std::string informativeText;
    Style alertStyle = Style::warning;
    // The icon, a system image by name ("NSFolder"); empty: the
    // application's own icon.
    std::string iconImageName;
    // Shown below the texts (a stack of labels and a checkbox, say); tests
    // read and set its controls.
    std::shared_ptr<View> accessoryView;

    void addButton(std::string title) { buttonTitles_.push_back(std::move(title)); }
    const std::vector<std::string>& buttonTitles() const { return buttonTitles_; }
    // The alert's own window (hidden until the alert is shown).
    const std::shared_ptr<Window>& window() const { return window_; }

    // Shows the alert as a sheet on `parent` (after the sheets already
    // there, like any sheet); `didBegin` runs when it shows, the completion
    // runs once with the response that ended it.
    void beginSheetModal(const std::shared_ptr<Window>& parent, std::function<void(ModalResponse)> completion,
                         std::function<void()> didBegin = nullptr);
    // Shows the alert in its own window and waits, running the main queue,
    // until a button ends it; the abort response when the application
    // terminates first.
    ModalResponse runModal();

    bool isShown() const { return shown_; }
    // Ends the alert as a click on the button at `index` would.
    void pressButton(size_t index);
    // Ends the alert with any response (the model's scripted answers, the
    // abort at termination, and a program ending its own sheet), also one
    // still waiting its turn behind another sheet.
    void endWithResponse(ModalResponse response);

private:
    Alert() = default;

    std::vector<std::string> buttonTitles_;
    std::shared_ptr<Window> window_;
    bool shown_ = false;
    // The window it is begun on as a sheet, shown or waiting its turn.
    std::weak_ptr<Window> sheetParent_;
    // Modal runs: the answer once given.
    bool modal_ = false;
    std::optional<ModalResponse> modalResponse_;
};

}  // namespace platform
