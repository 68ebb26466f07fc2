#include "HostApp/Onboarding/InitialInstallGuideWindow.h"

#include <cmath>

#include "Platform/AppKit/AppKitScreen.h"
#include "Platform/AppKit/AppKitTextMetrics.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::View;

namespace {
constexpr double kInnerWidth = InitialInstallGuideWindow::windowWidth - 2 * InitialInstallGuideWindow::horizontalMargin;
constexpr double kIconSide = 56;
constexpr double kButtonPitch = 36;  // a 28 pt button and an 8 pt gap
constexpr double kBottomMargin = 18;
constexpr double kTitleGap = 10;
constexpr double kIconGap = 12;
}  // namespace

std::shared_ptr<InitialInstallGuideWindow> InitialInstallGuideWindow::make() {
    auto guide = std::shared_ptr<InitialInstallGuideWindow>(new InitialInstallGuideWindow());
    guide->window_->setDelegate(std::static_pointer_cast<platform::WindowDelegate>(guide));
    guide->setupContent();
    guide->configure("", "", "", {});
    return guide;
}

InitialInstallGuideWindow::InitialInstallGuideWindow()
    : window_(platform::Window::make({windowWidth, minimumContentHeight},
                                     platform::kWindowStyleTitled | platform::kWindowStyleClosable)),
      contentHost_(View::plain()),
      iconView_(View::image(platform::kApplicationIconImageName, {kIconSide, kIconSide})),
      titleLabel_(View::label("")),
      messageLabel_(View::label("")) {
    window_->title = VelantrixL10n::text("host.initialOnboardingWindowTitle", "Norvessal Host Setup");
    window_->isReleasedWhenClosed = false;
    window_->setLevel(platform::kFloatingWindowLevel);
    window_->setCollectionBehavior(platform::kWindowCanJoinAllSpaces | platform::kWindowFullScreenAuxiliary);
    window_->hidesOnDeactivate = false;
}

std::shared_ptr<View> InitialInstallGuideWindow::makeButton(const std::string& title, bool primary, int tag) {
    std::weak_ptr<InitialInstallGuideWindow> weak = weak_from_this();
    auto button = View::button(title, [weak, primary](View& sender) {
        auto self = weak.lock();
        if (!self) return;
        if (primary) {
            self->primaryPressed(sender);
        } else {
            self->openButtonPressed(sender);
        }
    });
    button->roundedBezel = true;
    button->actionName = primary ? "primaryPressed:" : "openButtonPressed:";
    button->tag = tag;
    platform::sizeToFit(*button);
    return button;
}

void InitialInstallGuideWindow::setupContent() {
    contentHost_->frame = {0, 0, window_->contentSize.width, window_->contentSize.height};
    window_->contentView->addSubview(contentHost_);
    iconView_->scalesProportionallyDown = true;
    contentHost_->addSubview(iconView_);

    titleLabel_->font = platform::Font::system(15, platform::FontWeight::semibold);
    titleLabel_->textColor = platform::Color::label;
    titleLabel_->textAlignment = platform::TextAlignment::center;
    titleLabel_->maximumNumberOfLines = 2;
    titleLabel_->wrapsWords = true;
    contentHost_->addSubview(titleLabel_);

    messageLabel_->font = platform::Font::system(12);
    messageLabel_->textColor = platform::Color::secondaryLabel;
    messageLabel_->textAlignment = platform::TextAlignment::center;
    messageLabel_->maximumNumberOfLines = 0;
    messageLabel_->wrapsWords = true;
    contentHost_->addSubview(messageLabel_);

    primaryButton_ = makeButton("", true, 0);
    contentHost_->addSubview(primaryButton_);
}

void InitialInstallGuideWindow::configure(const std::string& title, const std::string& message,
                                          const std::string& primaryTitle,
                                          const std::vector<std::string>& openTitles) {
    titleLabel_->text = title;
    messageLabel_->text = message;
    primaryButton_->text = primaryTitle;
    primaryButton_->isHidden = primaryTitle.empty();
    platform::sizeToFit(*primaryButton_);
    for (const auto& button : openButtons_) button->removeFromSuperview();
    openButtons_.clear();
    for (size_t index = 0; index < openTitles.size(); ++index) {
        if (openTitles[index].empty()) continue;
        auto button = makeButton(openTitles[index], false, static_cast<int>(index));
        openButtons_.push_back(button);
        contentHost_->addSubview(button);
    }
    layoutContent();
}

void InitialInstallGuideWindow::setMessage(const std::string& message) {
    messageLabel_->text = message;
    layoutContent();
}

void InitialInstallGuideWindow::layoutContent() {
    const double th = std::ceil(platform::textHeight(titleLabel_->text, titleLabel_->font, kInnerWidth) - 1e-9);
    const double mh = std::ceil(platform::textHeight(messageLabel_->text, messageLabel_->font, kInnerWidth) - 1e-9);
    const double bh = primaryButton_->frame.height;
    const double bw = primaryButton_->frame.width;
    const double n = static_cast<double>(openButtons_.size());
    const double buttonsBlock = bh + 32 + (n > 0 ? kButtonPitch * n + 6 : 0);
    const double height = std::max(minimumContentHeight, th + mh + kTitleGap + kIconGap + kIconSide + kBottomMargin +
                                                             buttonsBlock);
    window_->setContentSize({windowWidth, height});
    contentHost_->frame = {0, 0, windowWidth, height};

    primaryButton_->frame = {windowWidth - horizontalMargin - bw, kBottomMargin, bw, bh};
    double y = bh + 32;
    if (n > 0) {
        for (auto it = openButtons_.rbegin(); it != openButtons_.rend(); ++it) {
            (*it)->frame = {horizontalMargin, y, kInnerWidth, buttonHeight};
            y += kButtonPitch;
        }
        y += 6;
    }
    messageLabel_->frame = {horizontalMargin, y, kInnerWidth, mh};
    titleLabel_->frame = {horizontalMargin, y + mh + kTitleGap, kInnerWidth, th};
    iconView_->frame = {(windowWidth - kIconSide) / 2, titleLabel_->frame.y + th + kIconGap, kIconSide, kIconSide};
    window_->center();
}

void InitialInstallGuideWindow::primaryPressed(View&) {
    if (onPrimary) onPrimary();
}

void InitialInstallGuideWindow::openButtonPressed(View& sender) {
    if (sender.kind != View::Kind::button || !onOpenButton) return;
    onOpenButton(sender.tag);
}

void InitialInstallGuideWindow::windowWillClose(platform::Window&) {
    if (onWindowClosed) onWindowClosed();
}
