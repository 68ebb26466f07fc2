#pragma once
// Windows and views of the headless AppKit model. Nothing is drawn: a window
// is a record of what the window server would know (level, Spaces
// behaviour, visibility, key state, whether it stands in front of other
// applications, its sheet) and a view is a record of a control and its
// texts, so that tests can inspect what the Host shows and press its
// buttons. Main thread only, like AppKit.
//
// Windows post their will-close, did-become-key and did-resign-key
// notifications on the application's notification centre with the window
// number under kWindowNumberKey; observeWindow() filters by window.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AppKit/AttributedString.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/Foundation/NotificationCenter.h"

namespace platform {

// Window levels the Host uses.
inline constexpr int kNormalWindowLevel = 0;
inline constexpr int kFloatingWindowLevel = 3;
inline constexpr int kModalPanelWindowLevel = 8;

// Collection behaviour bits (how a window meets Spaces and full-screen apps).
inline constexpr uint32_t kWindowCanJoinAllSpaces = 1u << 0;
inline constexpr uint32_t kWindowMoveToActiveSpace = 1u << 1;
inline constexpr uint32_t kWindowFullScreenAuxiliary = 1u << 8;
// A window that must be seen while the Host is in the background joins all
// Spaces and full-screen Spaces (raw 0x102).
inline constexpr uint32_t kWindowJoinAllSpacesAndFullScreenAuxiliary = kWindowMoveToActiveSpace | kWindowFullScreenAuxiliary;

// Style mask bits.
inline constexpr uint32_t kWindowStyleTitled = 1u << 0;
inline constexpr uint32_t kWindowStyleClosable = 1u << 1;
inline constexpr uint32_t kWindowStyleMiniaturizable = 1u << 2;
inline constexpr uint32_t kWindowStyleResizable = 1u << 3;

inline constexpr const char* kWindowWillCloseNotification = "NSWindowWillCloseNotification";
inline constexpr const char* kWindowDidBecomeKeyNotification = "NSWindowDidBecomeKeyNotification";
inline constexpr const char* kWindowDidResignKeyNotification = "NSWindowDidResignKeyNotification";
inline constexpr const char* kWindowNumberKey = "windowNumber";

// Modal responses.
using ModalResponse = long;
inline constexpr ModalResponse kModalResponseAbort = -1000;
inline constexpr ModalResponse kAlertFirstButtonReturn = 1000;
inline constexpr ModalResponse kAlertSecondButtonReturn = 1001;

class Window;
struct LayoutConstraint;

// What a window asks of its delegate. The close box asks whether to close;
// every close, whoever asks for it, tells the delegate before the window
// hides. Called on the main queue, synchronously.
class WindowDelegate {
public:
    virtual ~WindowDelegate() = default;
    virtual bool windowShouldClose(Window&) { return true; }
    virtual void windowWillClose(Window&) {}
};

// One control. A view of any kind keeps the fields its kind uses.
class View : public std::enable_shared_from_this<View> {
public:
    enum class Kind { plain, label, button, checkbox, popUpButton, stack, image, outlineView, scrollView,
                      segmentedControl, progressIndicator };
    enum class Orientation { vertical, horizontal };
    enum class Alignment { leading, centerY, centerX };
    enum class ControlSize { regular, small };
    enum class LineBreakMode { wordWrapping, truncatingTail, truncatingMiddle };
    // Checkbox states, by the platform's values.
    static constexpr int kStateOff = 0;
    static constexpr int kStateOn = 1;
    static constexpr int kStateMixed = -1;
    struct EdgeInsets {
        double top = 0, left = 0, bottom = 0, right = 0;
        bool operator==(const EdgeInsets&) const = default;
    };
    // A pop-up item: its title, its represented object and its
    // user-interface identifier.
    struct PopUpItem {
        std::string title;
        uint32_t representedObject = 0;
        std::string identifier;
    };
    using Action = std::function<void(View& sender)>;

    static std::shared_ptr<View> plain();
    static std::shared_ptr<View> label(std::string text);
    static std::shared_ptr<View> button(std::string title, Action action);
    static std::shared_ptr<View> checkbox(std::string title, Action action);
    static std::shared_ptr<View> popUpButton();
    static std::shared_ptr<View> stack(Orientation orientation, std::vector<std::shared_ptr<View>> views);
    static std::shared_ptr<View> image(std::string name, CGSize size);

    const Kind kind;
    // Label text or button title.
    std::string text;
    std::string toolTip;
    Font font;
    Color textColor = Color::label;
    bool isEnabled = true;
    // Labels.
    bool isEditable = false;
    bool isSelectable = false;
    int maximumNumberOfLines = 1;  // 0: any number
    bool wrapsWords = false;
    float horizontalCompressionResistance = 750;
    // Buttons: a rounded bezel, or none (checkboxes).
    bool roundedBezel = false;
    Action action;
    // Checkboxes.
    bool isOn = false;
    // Pop-up buttons.
    std::vector<PopUpItem> items;
    std::optional<size_t> selectedIndex;
    // Stacks.
    Orientation orientation = Orientation::vertical;
    Alignment alignment = Alignment::leading;
    double spacing = 8;
    EdgeInsets edgeInsets;
    // Images.
    std::string imageName;
    CGSize imageSize;
    bool scalesProportionallyDown = false;
    // Any view: its tag, its user-interface identifier, whether it is
    // hidden, whether its autoresizing mask becomes constraints, and the
    // constraints activated with it as first item.
    int tag = 0;
    // Where the view sits in its superview (origin at the bottom left);
    // set by code that lays views out itself.
    CGRect frame;
    std::string identifier;
    bool isHidden = false;
    bool translatesAutoresizingMaskIntoConstraints = true;
    float horizontalContentHugging = 250;
    std::vector<std::shared_ptr<LayoutConstraint>> constraints;
    // Labels and controls.
    TextAlignment textAlignment = TextAlignment::natural;
    LineBreakMode lineBreakMode = LineBreakMode::wordWrapping;
    ControlSize controlSize = ControlSize::regular;
    // Buttons: the name of the action method (what a target-action pair
    // would name), the key equivalent ("\r" for Return), the bezel style
    // and the tint of the title.
    std::string actionName;
    std::string keyEquivalent;
    int bezelStyle = 0;
    std::optional<Color> contentTintColor;
    // Checkboxes that may show a third, mixed state.
    bool allowsMixedState = false;
    bool isMixed = false;
    int state() const { return isMixed ? kStateMixed : (isOn ? kStateOn : kStateOff); }
    void setState(int state);

    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    void addSubview(std::shared_ptr<View> view);
    // Detaches the view from its superview, if it has one.
    void removeFromSuperview();
    std::shared_ptr<View> superview() const { return superview_.lock(); }

    // The user clicks it: a checkbox toggles first; an enabled control runs
    // its action. Test entry point as much as the model's own.
    void performClick();
    // This view and every view below it, depth first.
    std::vector<std::shared_ptr<View>> allViews();
    // The first view below (or at) this one with the tag.
    std::shared_ptr<View> viewWithTag(int tag);
    // The first view below (or at) this one whose text equals `text`.
    std::shared_ptr<View> findByText(const std::string& text);

    virtual ~View() = default;

protected:
    explicit View(Kind k) : kind(k) {}

private:
    std::vector<std::shared_ptr<View>> subviews_;
    std::weak_ptr<View> superview_;
};

class Window : public std::enable_shared_from_this<Window> {
public:
    // A new window, not yet visible, known to the application.
    static std::shared_ptr<Window> make(CGSize contentSize, uint32_t styleMask);

    uint64_t windowNumber() const { return number_; }
    std::string title;
    CGSize contentSize;
    const uint32_t styleMask;
    std::shared_ptr<View> contentView = View::plain();
    // Closing hides the window; a window released when closed is also
    // forgotten by the application.
    bool isReleasedWhenClosed = true;
    bool hidesOnDeactivate = false;
    // Held weakly; the owner keeps it alive.
    void setDelegate(std::weak_ptr<WindowDelegate> delegate) { delegate_ = std::move(delegate); }
    CGSize minSize;
    // Origin at the bottom left, as the window server places it; starts as
    // the content rectangle.
    CGRect frame{0, 0, contentSize.width, contentSize.height};

    int level() const { return level_; }
    void setLevel(int level) { level_ = level; }
    uint32_t collectionBehavior() const { return collectionBehavior_; }
    // The window server refuses a window that both joins all Spaces and
    // moves to the active Space; such a value is logged and not applied.
    bool setCollectionBehavior(uint32_t behavior);

    bool isVisible() const;
    bool isKeyWindow() const;
    bool isMiniaturized() const { return miniaturized_; }
    // Whether it stands in front of the other applications' windows.
    bool isInFrontOfOtherApplications() const;
    bool isCentered() const { return centered_; }
    // How many times it was ordered front regardless of the active
    // application (tests count the keep-in-front steps).
    int orderFrontRegardlessCount() const { return orderFrontRegardlessCount_; }

    // Centres the window on the main screen's visible frame
    // (AppKitWindowPlacement.cpp, with the two below).
    void center();
    // Moves the window so that its top-left corner lies at the point.
    void setFrameTopLeftPoint(CGPoint point);
    // A new content size; the frame keeps its bottom-left corner.
    void setContentSize(CGSize size);
    void miniaturize();
    void deminiaturize();
    // Toggles between the standard and the user's size (resizable windows).
    void zoom() {
        if (styleMask & kWindowStyleResizable) zoomed_ = !zoomed_;
    }
    bool isZoomed() const { return zoomed_; }
    void orderFront();
    void orderBack();
    void orderOut();
    void orderFrontRegardless();
    void makeKey();
    void makeKeyAndOrderFront();
    // Posts will-close, tells the delegate, then hides the window (ordering
    // out posts nothing). The delegate is not asked: only the close box asks.
    // Closing a window already closed, and not shown since, does nothing.
    void close();
    // The close box: asks the delegate, then closes.
    void performClose();
    // A key typed in the window: the first enabled, visible button of the
    // content view whose key equivalent is `key` is pressed. False when no
    // button took it.
    bool performKeyEquivalent(const std::string& key);

    // Sheets: the sheet attached to this window, and the window a sheet is
    // attached to.
    std::shared_ptr<Window> attachedSheet() const { return attachedSheet_; }
    std::shared_ptr<Window> sheetParent() const { return sheetParent_.lock(); }
    // Attaches `sheet` and shows it; the completion gets the response the
    // sheet ends with. The parent is shown when it is not. While another
    // sheet is attached (or waiting) the new one waits its turn and shows
    // when the ones before it have ended; `didBegin` runs when it shows,
    // before the sheet takes the key focus. Once the application
    // terminates, a new sheet ends with the abort response at once.
    void beginSheet(const std::shared_ptr<Window>& sheet, std::function<void(ModalResponse)> completion,
                    std::function<void()> didBegin = nullptr);
    // Detaches the sheet, hides it and runs its completion with the code,
    // then shows the next waiting sheet. A sheet still waiting is taken out
    // of the line and its completion runs with the code. Once the
    // application terminates, the waiting sheets end with the abort
    // response instead of showing. Every completion runs exactly once.
    void endSheet(const std::shared_ptr<Window>& sheet, ModalResponse returnCode);
    // How many sheets wait behind the attached one.
    size_t waitingSheetCount() const { return waitingSheets_.size(); }

    // Internal: the application's view of the window.
    void setInFrontOfOtherApplications(bool front) { inFront_ = front; }
    void postForModel(const char* name);
    void forgetSheetForModel() { attachedSheet_.reset(); }

private:
    Window(CGSize size, uint32_t style) : contentSize(size), styleMask(style) {}
    void show(bool regardless);

    uint64_t number_ = 0;
    int level_ = kNormalWindowLevel;
    uint32_t collectionBehavior_ = 0;
    bool visible_ = false;
    bool miniaturized_ = false;
    bool zoomed_ = false;
    bool inFront_ = false;
    bool centered_ = false;
    bool closed_ = false;
    std::weak_ptr<WindowDelegate> delegate_;
    int orderFrontRegardlessCount_ = 0;
    std::shared_ptr<Window> attachedSheet_;
    std::weak_ptr<Window> sheetParent_;
    std::function<void(ModalResponse)> sheetCompletion_;
    // Sheets begun while another was attached, oldest first.
    struct WaitingSheet {
        std::shared_ptr<Window> sheet;
        std::function<void(ModalResponse)> completion;
        std::function<void()> didBegin;
    };
    std::deque<WaitingSheet> waitingSheets_;
    void attachSheet(WaitingSheet next);
    void beginNextWaitingSheet();
};

// Observes one window's notifications (by name) on the application's
// notification centre; the handler runs on `queue` when one is given.
NotificationCenter::Token observeWindow(const char* name, const std::shared_ptr<Window>& window,
                                        NotificationCenter::Handler handler,
                                        std::optional<DispatchQueue> queue = std::nullopt);

}  // namespace platform
