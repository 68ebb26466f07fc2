#include "Platform/AppKit/AppKitWindow.h"

#include <algorithm>
#include <cstdio>

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Runtime/Log.h"

namespace platform {

// ---------------------------------------------------------------- views

std::shared_ptr<View> View::plain() { return std::shared_ptr<View>(new View(Kind::plain)); }

std::shared_ptr<View> View::label(std::string text) {
    auto v = std::shared_ptr<View>(new View(Kind::label));
    v->text = std::move(text);
    return v;
}

std::shared_ptr<View> View::button(std::string title, Action action) {
    auto v = std::shared_ptr<View>(new View(Kind::button));
    v->text = std::move(title);
    v->action = std::move(action);
    v->roundedBezel = true;
    return v;
}

std::shared_ptr<View> View::checkbox(std::string title, Action action) {
    auto v = std::shared_ptr<View>(new View(Kind::checkbox));
    v->text = std::move(title);
    v->action = std::move(action);
    return v;
}

std::shared_ptr<View> View::popUpButton() { return std::shared_ptr<View>(new View(Kind::popUpButton)); }

std::shared_ptr<View> View::stack(Orientation orientation, std::vector<std::shared_ptr<View>> views) {
    auto v = std::shared_ptr<View>(new View(Kind::stack));
    v->orientation = orientation;
    for (auto& view : views) v->addSubview(std::move(view));
    return v;
}

std::shared_ptr<View> View::image(std::string name, CGSize size) {
    auto v = std::shared_ptr<View>(new View(Kind::image));
    v->imageName = std::move(name);
    v->imageSize = size;
    return v;
}

void View::addSubview(std::shared_ptr<View> view) {
    view->superview_ = weak_from_this();
    subviews_.push_back(std::move(view));
}

void View::removeFromSuperview() {
    auto parent = superview_.lock();
    if (!parent) return;
    std::erase_if(parent->subviews_, [this](const std::shared_ptr<View>& v) { return v.get() == this; });
    superview_.reset();
}

void View::setState(int newState) {
    // Code may show the mixed state on any checkbox; only clicks need
    // allowsMixedState to reach it.
    isMixed = newState == kStateMixed;
    isOn = newState == kStateOn;
}

void View::performClick() {
    if (!isEnabled) return;
    // A three-state box steps on, off, mixed, on.
    if (kind == Kind::checkbox) setState(allowsMixedState && state() == kStateOff ? kStateMixed
                                         : state() == kStateOn                   ? kStateOff
                                                                                 : kStateOn);
    if (action) {
        auto keep = shared_from_this();  // an action may drop the last owner
        auto run = action;
        run(*this);
    }
}

std::vector<std::shared_ptr<View>> View::allViews() {
    std::vector<std::shared_ptr<View>> out{shared_from_this()};
    for (const auto& sub : subviews_) {
        auto below = sub->allViews();
        out.insert(out.end(), below.begin(), below.end());
    }
    return out;
}

std::shared_ptr<View> View::viewWithTag(int wanted) {
    for (const auto& view : allViews())
        if (view->tag == wanted) return view;
    return nullptr;
}

std::shared_ptr<View> View::findByText(const std::string& wanted) {
    for (const auto& view : allViews())
        if (view->text == wanted) return view;
    return nullptr;
}

// ---------------------------------------------------------------- windows

std::shared_ptr<Window> Window::make(CGSize contentSize, uint32_t styleMask) {
    auto& app = Application::shared();
    auto window = std::shared_ptr<Window>(new Window(contentSize, styleMask));
    window->number_ = app.registerWindow(window);
    return window;
}

bool Window::setCollectionBehavior(uint32_t behavior) {
    const uint32_t both = kWindowCanJoinAllSpaces | kWindowMoveToActiveSpace;
    if ((behavior & both) == both) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%X", behavior);
        Log::raw(std::string("[AppKit] window ") + std::to_string(number_) + " refused collection behaviour " + hex +
                 ": it cannot both join all Spaces and move to the active Space");
        return false;
    }
    collectionBehavior_ = behavior;
    return true;
}

bool Window::isVisible() const {
    if (auto parent = sheetParent()) return visible_ && parent->isVisible();
    return visible_ && !miniaturized_;
}

bool Window::isKeyWindow() const {
    auto& app = Application::shared();
    return app.isActive() && visible_ && app.keyCandidate().get() == this;
}

bool Window::isInFrontOfOtherApplications() const {
    // A sheet moves with its parent.
    if (auto parent = sheetParent()) return isVisible() && parent->isInFrontOfOtherApplications();
    return isVisible() && inFront_;
}

void Window::postForModel(const char* name) {
    Application::shared().notificationCenter().post(
        Notification{name, {{kWindowNumberKey, std::to_string(number_)}}});
}

void Window::show(bool regardless) {
    auto& app = Application::shared();
    closed_ = false;
    if (!visible_) {
        visible_ = true;
        app.retainShownWindow(shared_from_this());
    }
    // Ordering front while another application is active only reorders the
    // Host's own windows; ordering front regardless comes before them all.
    if (regardless || app.isActive()) inFront_ = true;
}

void Window::miniaturize() {
    if (!(styleMask & kWindowStyleMiniaturizable) || miniaturized_) return;
    const bool wasKey = isKeyWindow();
    miniaturized_ = true;
    inFront_ = false;
    if (wasKey) postForModel(kWindowDidResignKeyNotification);
}

void Window::deminiaturize() {
    if (!miniaturized_) return;
    miniaturized_ = false;
    show(false);
}

void Window::orderFront() {
    if (miniaturized_) return;
    show(false);
}

void Window::orderBack() {
    if (miniaturized_) return;
    show(false);
    inFront_ = false;
}

void Window::orderOut() {
    const bool wasKey = isKeyWindow();
    visible_ = false;
    inFront_ = false;
    if (wasKey) postForModel(kWindowDidResignKeyNotification);
}

void Window::orderFrontRegardless() {
    if (miniaturized_) return;
    orderFrontRegardlessCount_++;
    show(true);
}

void Window::makeKey() {
    if (!visible_ || miniaturized_) return;
    Application::shared().setKeyCandidate(shared_from_this());
}

void Window::makeKeyAndOrderFront() {
    if (miniaturized_) return;
    show(false);
    makeKey();
}

void Window::close() {
    if (closed_) return;
    closed_ = true;
    auto keep = shared_from_this();
    postForModel(kWindowWillCloseNotification);
    if (auto delegate = delegate_.lock()) delegate->windowWillClose(*this);
    orderOut();
    auto& app = Application::shared();
    if (isReleasedWhenClosed) app.forgetWindow(*this);
    app.windowDidClose();
}

void Window::performClose() {
    if (!(styleMask & kWindowStyleClosable)) return;
    auto keep = shared_from_this();
    if (auto delegate = delegate_.lock(); delegate && !delegate->windowShouldClose(*this)) return;
    close();
}

bool Window::performKeyEquivalent(const std::string& key) {
    if (key.empty()) return false;
    auto shown = [](const std::shared_ptr<View>& view) {
        for (auto v = view; v; v = v->superview())
            if (v->isHidden) return false;
        return true;
    };
    for (const auto& view : contentView->allViews()) {
        if (view->kind != View::Kind::button || view->keyEquivalent != key) continue;
        if (!view->isEnabled || !shown(view)) continue;
        view->performClick();
        return true;
    }
    return false;
}

void Window::beginSheet(const std::shared_ptr<Window>& sheet, std::function<void(ModalResponse)> completion,
                        std::function<void()> didBegin) {
    if (!sheet || sheet == attachedSheet_) return;
    for (const auto& waiting : waitingSheets_)
        if (waiting.sheet == sheet) return;
    if (Application::shared().isTerminating()) {
        // Nobody will answer it any more: it ends as the shown ones did.
        if (completion) completion(kModalResponseAbort);
        return;
    }
    WaitingSheet next{sheet, std::move(completion), std::move(didBegin)};
    if (attachedSheet_ || !waitingSheets_.empty()) {
        // One sheet at a time: this one shows when those before it end.
        Log::raw("[AppKit] window " + std::to_string(number_) + " already has a sheet; the new one waits its turn");
        waitingSheets_.push_back(std::move(next));
        return;
    }
    attachSheet(std::move(next));
}

void Window::attachSheet(WaitingSheet next) {
    if (!isVisible()) {
        deminiaturize();
        show(false);
    }
    attachedSheet_ = next.sheet;
    sheetCompletion_ = std::move(next.completion);
    next.sheet->sheetParent_ = weak_from_this();
    next.sheet->visible_ = true;
    Application::shared().retainShownWindow(next.sheet);
    // What the sheet's owner does as it shows (raising the parent, making
    // it key) comes first: the sheet then takes the key focus of its parent.
    if (next.didBegin) next.didBegin();
    next.sheet->makeKey();
}

void Window::beginNextWaitingSheet() {
    // A completion may have begun or ended sheets itself: only an empty
    // slot takes the next one.
    while (!attachedSheet_ && !waitingSheets_.empty()) {
        WaitingSheet next = std::move(waitingSheets_.front());
        waitingSheets_.pop_front();
        if (Application::shared().isTerminating()) {
            // Nobody will answer it any more: it ends as the shown ones did.
            if (next.completion) next.completion(kModalResponseAbort);
            continue;
        }
        attachSheet(std::move(next));
    }
}

void Window::endSheet(const std::shared_ptr<Window>& sheet, ModalResponse returnCode) {
    if (!sheet) return;
    auto keep = shared_from_this();
    if (attachedSheet_ != sheet) {
        auto waiting = std::find_if(waitingSheets_.begin(), waitingSheets_.end(),
                                    [&](const WaitingSheet& w) { return w.sheet == sheet; });
        if (waiting == waitingSheets_.end()) return;
        auto completion = std::move(waiting->completion);
        waitingSheets_.erase(waiting);
        if (completion) completion(returnCode);
        return;
    }
    const bool wasKey = sheet->isKeyWindow();
    attachedSheet_.reset();
    sheet->visible_ = false;
    sheet->sheetParent_.reset();
    if (wasKey) {
        sheet->postForModel(kWindowDidResignKeyNotification);
        makeKey();
    }
    auto completion = std::move(sheetCompletion_);
    sheetCompletion_ = nullptr;
    if (completion) completion(returnCode);
    beginNextWaitingSheet();
}

NotificationCenter::Token observeWindow(const char* name, const std::shared_ptr<Window>& window,
                                        NotificationCenter::Handler handler, std::optional<DispatchQueue> queue) {
    const std::string number = std::to_string(window->windowNumber());
    return Application::shared().notificationCenter().addObserver(
        name,
        [number, handler = std::move(handler)](const Notification& n) {
            auto it = n.userInfo.find(kWindowNumberKey);
            if (it != n.userInfo.end() && it->second == number) handler(n);
        },
        std::move(queue));
}

}  // namespace platform
