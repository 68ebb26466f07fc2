#pragma once
// The small floating window of the first-run permission onboarding: the
// application icon, a title, a wrapped message, a column of full-width
// permission buttons and one primary button at the bottom right. It knows
// nothing of permissions: its owner fills it with configure() and hears
// the user through three closures. The same window shows the permission
// step and then the completion countdown. Main queue only.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"

class InitialInstallGuideWindow : public platform::WindowDelegate,
                                  public std::enable_shared_from_this<InitialInstallGuideWindow> {
public:
    static constexpr double windowWidth = 560;
    static constexpr double horizontalMargin = 22;
    static constexpr double buttonHeight = 28;
    static constexpr double minimumContentHeight = 300;

    // A window not yet shown, titled and closable, floating on every Space
    // and visible while the Host is inactive.
    static std::shared_ptr<InitialInstallGuideWindow> make();

    // Sets the texts, rebuilds the permission buttons (one per non-empty
    // title, tagged with the title's index) and lays the window out again.
    void configure(const std::string& title, const std::string& message, const std::string& primaryTitle,
                   const std::vector<std::string>& openTitles);
    // Replaces the message and lays the window out again.
    void setMessage(const std::string& message);

    void primaryPressed(platform::View& sender);
    void openButtonPressed(platform::View& sender);
    // Only a real close (the close box, close()) calls onWindowClosed;
    // ordering the window out does not.
    void windowWillClose(platform::Window&) override;

    const std::shared_ptr<platform::Window>& window() const { return window_; }

    std::function<void()> onPrimary;
    std::function<void(int index)> onOpenButton;
    std::function<void()> onWindowClosed;

    // The views, for the owner's tests.
    const std::shared_ptr<platform::View>& iconView() const { return iconView_; }
    const std::shared_ptr<platform::View>& titleLabel() const { return titleLabel_; }
    const std::shared_ptr<platform::View>& messageLabel() const { return messageLabel_; }
    const std::shared_ptr<platform::View>& primaryButton() const { return primaryButton_; }
    const std::vector<std::shared_ptr<platform::View>>& openButtons() const { return openButtons_; }

private:
    InitialInstallGuideWindow();
    void setupContent();
    void layoutContent();
    std::shared_ptr<platform::View> makeButton(const std::string& title, bool primary, int tag);

    std::shared_ptr<platform::Window> window_;
    // Fills the content view; every control sits in it.
    std::shared_ptr<platform::View> contentHost_;
    std::shared_ptr<platform::View> iconView_;
    std::shared_ptr<platform::View> titleLabel_;
    std::shared_ptr<platform::View> messageLabel_;
    std::shared_ptr<platform::View> primaryButton_;
    // The permission buttons of the last configure, top first.
    std::vector<std::shared_ptr<platform::View>> openButtons_;
};
