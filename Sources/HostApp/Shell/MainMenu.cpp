// The application's main menu and the menu-bar status item with its menu.
// Both are built once when normal mode starts and re-titled in place when
// the interface language changes, never rebuilt, so the item references
// the delegate keeps and the check marks stay valid. Items the delegate
// answers hold it weakly; the standard actions go to the first responder.

#include <span>

#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/Shell/HostLaunchAtLogin.h"
#include "HostApp/HostProbeDelegate.h"
#include "Platform/SimulatedMac/ComputerName.h"
#include "Platform/Foundation/UnicodeText.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/AppKit/Workspace.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseChannels.h"

using platform::Application;
using platform::ControlStateValue;
using platform::Menu;
using platform::MenuItem;

namespace {

constexpr const char* kMainMenuIdentifier = "com.qarvex.norvessal.host.main-menu";
constexpr const char* kLanguageMenuIdentifier = "com.qarvex.norvessal.host.language.menu";

// The actions, by which items are found again.
constexpr const char* kShowAbout = "showAboutPanelAction:";
constexpr const char* kToggleLaunchAtLogin = "toggleLaunchAtLoginMenuAction:";
constexpr const char* kQuit = "requestQuitMenuAction:";
constexpr const char* kShowSummary = "showSummaryWindowAction:";
constexpr const char* kRefresh = "refreshButtonPressed";
constexpr const char* kUpdate = "requestOnlineUpdateAction";
constexpr const char* kToggleAutoUpdate = "toggleAutoUpdateMenuAction:";
constexpr const char* kUseDisplay = "useDisplayButtonPressed";
constexpr const char* kUserGuide = "openUserGuideMenuAction";
constexpr const char* kWebsite = "openWebsiteMenuAction";
constexpr const char* kPrivacy = "openPrivacyPolicyMenuAction";
constexpr const char* kTerms = "openTermsOfServiceMenuAction";
constexpr const char* kReleaseNotes = "openReleaseNotesMenuAction";
constexpr const char* kLanguageChoice = "hostLanguageMenuAction:";

// One re-titling: the item with `action` gets the text of `key`.
struct Retitle {
    const char* action;
    const char* key;
    const char* english;
};

constexpr Retitle kHostMenuTitles[] = {
    {kShowSummary, "host.showStatusMenu", "Show Host Status"},
    {kRefresh, "host.refreshStatusMenu", "Refresh Status"},
    {kUpdate, "host.updateVersionButton", "Update Version"},
    {kToggleAutoUpdate, "host.autoUpdateMenuTitle", "Automatically Install Updates"},
    {kUseDisplay, "host.useSelectedPhysicalDisplayMenu", "Use Selected Physical Display"},
};
constexpr Retitle kWindowMenuTitles[] = {
    {"performMiniaturize:", "menu.minimize", "Minimize"},
    {"performZoom:", "menu.zoom", "Zoom"},
    {"arrangeInFront:", "menu.bringAllToFront", "Bring All to Front"},
};
constexpr Retitle kHelpMenuTitles[] = {
    {kUserGuide, "menu.userGuide", "User Guide"},
    {kWebsite, "menu.officialWebsite", "Official Website"},
    {kPrivacy, "menu.privacyPolicy", "Privacy Policy"},
    {kTerms, "menu.termsOfService", "Terms of Service"},
    {kReleaseNotes, "menu.releaseNotes", "Release Notes"},
    {kUpdate, "menu.downloadLatestVersion", "Update Version"},
};
constexpr Retitle kStatusMenuTitles[] = {
    {kShowSummary, "host.showStatusMenu", "Show Host Status"},
    {kRefresh, "host.refreshButton", "Refresh"},
    {kUpdate, "host.updateVersionButton", "Update Version"},
    {kToggleAutoUpdate, "host.autoUpdateMenuTitle", "Automatically Install Updates"},
    {kToggleLaunchAtLogin, "host.startAtLoginMenu", "Start at Login"},
    {kQuit, "host.quitHostMenu", "Quit Host..."},
};

std::string text(const Retitle& r) { return VelantrixL10n::text(r.key, r.english); }
std::string applicationTitle() { return VelantrixL10n::text("host.windowTitle", "Norvessal Host"); }
bool defaultsFlag(const char* key) { return platform::UserDefaults::standard().boolForKey(key); }

using DelegateAction = std::function<void(HostProbeDelegate&, MenuItem&)>;

// An item the delegate answers, holding it weakly.
std::shared_ptr<MenuItem> delegateItem(const std::weak_ptr<HostProbeDelegate>& weak, std::string title,
                                       const char* action, std::string key, DelegateAction body) {
    auto item = MenuItem::make(std::move(title));
    item->keyEquivalent = std::move(key);
    item->setAction(action, [weak, body = std::move(body)](MenuItem& sender) {
        if (auto self = weak.lock()) body(*self, sender);
    });
    return item;
}

// An item whose standard action goes to the first responder.
std::shared_ptr<MenuItem> responderItem(const Retitle& r, std::string key = {},
                                        uint32_t modifiers = platform::kEventModifierCommand) {
    auto item = MenuItem::make(text(r));
    item->setFirstResponderAction(r.action);
    item->keyEquivalent = std::move(key);
    item->keyEquivalentModifierMask = modifiers;
    return item;
}

// A top-level menu: its item and its submenu, both with the title.
std::shared_ptr<Menu> addTopMenu(Menu& mainMenu, const std::string& title) {
    auto item = MenuItem::make(title);
    auto menu = Menu::make(title);
    item->setSubmenu(menu);
    mainMenu.addItem(item);
    return menu;
}

std::shared_ptr<Menu> submenuAt(const std::shared_ptr<Menu>& menu, size_t index) {
    auto item = menu ? menu->itemAtIndex(index) : nullptr;
    return item ? item->submenu() : nullptr;
}

// Show Host Status, Refresh, Update Version and Automatically Install
// Updates, which both menus offer (`titles` in that order); only the main
// menu gives the first two a key. Returns the auto-update item, which the
// toggle ticks in both menus.
std::shared_ptr<MenuItem> addStatusActions(Menu& menu, const std::weak_ptr<HostProbeDelegate>& weak, const Retitle* titles, bool withKeys) {
    menu.addItem(delegateItem(weak, text(titles[0]), kShowSummary, withKeys ? "1" : "",
                              [](HostProbeDelegate& self, MenuItem&) {
                                  self.showSummaryWindowAction(HostActionSender::menuItem);
                              }));
    menu.addItem(delegateItem(weak, text(titles[1]), kRefresh, withKeys ? "r" : "",
                              [](HostProbeDelegate& self, MenuItem&) { self.refreshButtonPressed(); }));
    menu.addItem(delegateItem(weak, text(titles[2]), kUpdate, "",
                              [](HostProbeDelegate& self, MenuItem&) { self.requestOnlineUpdateAction(); }));
    auto autoUpdate = delegateItem(weak, text(titles[3]), kToggleAutoUpdate, "",
                                   [](HostProbeDelegate& self, MenuItem& sender) {
                                       self.toggleAutoUpdateMenuAction(sender);
                                   });
    autoUpdate->state = platform::checkMarkState(defaultsFlag("host.autoUpdate.enabled"));
    menu.addItem(autoUpdate);
    return autoUpdate;
}

}  // namespace

// --- Main menu -----------------------------------------------------------------------------

void HostProbeDelegate::configureMainMenu() {
    assertMainQueue();
    auto& app = Application::shared();
    if (app.mainMenu && app.mainMenu->identifier == kMainMenuIdentifier) return;
    const std::string appTitle = applicationTitle();
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    auto mainMenu = Menu::make("Main Menu");
    mainMenu->identifier = kMainMenuIdentifier;

    auto appMenu = addTopMenu(*mainMenu, "");
    appMenu->addItem(delegateItem(weak, "About " + appTitle, kShowAbout, "", [](HostProbeDelegate& self, MenuItem&) {
        self.showAboutPanelAction(HostActionSender::menuItem);
    }));
    appMenu->addItem(MenuItem::separator());
    auto launchAtLogin = delegateItem(weak, VelantrixL10n::text("host.startAtLoginMenu", "Start at Login"),
                                      kToggleLaunchAtLogin, "", [](HostProbeDelegate& self, MenuItem& sender) {
                                          self.toggleLaunchAtLoginMenuAction(sender);
                                      });
    launchAtLogin->state = platform::checkMarkState(defaultsFlag("host.launchAtLogin.desired"));
    menus.launchAtLoginMenuItem = launchAtLogin;
    appMenu->addItem(launchAtLogin);
    appMenu->addItem(MenuItem::separator());
    auto services = MenuItem::make(VelantrixL10n::text("menu.services", "Services"));
    app.servicesMenu = Menu::make(services->title);
    services->setSubmenu(app.servicesMenu);
    appMenu->addItem(services);
    appMenu->addItem(makeHostLanguageMenuItem());
    appMenu->addItem(MenuItem::separator());
    appMenu->addItem(responderItem({"hide:", "", ""}, "h"));
    appMenu->items().back()->title = "Hide " + appTitle;
    appMenu->addItem(responderItem({"hideOtherApplications:", "menu.hideOthers", "Hide Others"}, "h",
                                   platform::kEventModifierCommand | platform::kEventModifierOption));
    appMenu->addItem(responderItem({"unhideAllApplications:", "menu.showAll", "Show All"}));
    appMenu->addItem(MenuItem::separator());
    appMenu->addItem(delegateItem(weak, "Quit " + appTitle + "...", kQuit, "q", [](HostProbeDelegate& self, MenuItem&) {
        self.requestQuitMenuAction(HostActionSender::menuItem);
    }));

    auto hostMenu = addTopMenu(*mainMenu, VelantrixL10n::text("host.menu", "Host"));
    menus.autoUpdateMenuItem = addStatusActions(*hostMenu, weak, kHostMenuTitles, true);
    hostMenu->addItem(MenuItem::separator());
    hostMenu->addItem(delegateItem(weak, text(kHostMenuTitles[4]), kUseDisplay, "",
                                   [](HostProbeDelegate& self, MenuItem&) { self.useDisplayButtonPressed(); }));

    auto windowMenu = addTopMenu(*mainMenu, VelantrixL10n::text("menu.window", "Window"));
    windowMenu->addItem(responderItem(kWindowMenuTitles[0], "m"));
    windowMenu->addItem(responderItem(kWindowMenuTitles[1]));
    windowMenu->addItem(MenuItem::separator());
    windowMenu->addItem(responderItem(kWindowMenuTitles[2]));
    app.windowsMenu = windowMenu;

    auto helpMenu = addTopMenu(*mainMenu, VelantrixL10n::text("menu.help", "Help"));
    const std::pair<const Retitle&, void (HostProbeDelegate::*)()> helpItems[] = {
        {kHelpMenuTitles[0], &HostProbeDelegate::openUserGuideMenuAction},
        {kHelpMenuTitles[1], &HostProbeDelegate::openWebsiteMenuAction},
        {kHelpMenuTitles[2], &HostProbeDelegate::openPrivacyPolicyMenuAction},
        {kHelpMenuTitles[3], &HostProbeDelegate::openTermsOfServiceMenuAction},
        {kHelpMenuTitles[4], &HostProbeDelegate::openReleaseNotesMenuAction},
        {kHelpMenuTitles[5], &HostProbeDelegate::requestOnlineUpdateAction},
    };
    for (const auto& [title, method] : helpItems)
        helpMenu->addItem(delegateItem(weak, text(title), title.action, "",
                                       [method = method](HostProbeDelegate& self, MenuItem&) { (self.*method)(); }));
    app.helpMenu = helpMenu;

    app.mainMenu = mainMenu;
    refreshHostMainMenuLocalization();
}

// --- Status item ---------------------------------------------------------------------------

void HostProbeDelegate::configureStatusItem() {
    assertMainQueue();
    auto item = platform::StatusBar::system().statusItem(platform::kVariableStatusItemLength);
    menus.statusItem = item;
    updateStatusItemButtonTitle(*item->button);
    item->button->toolTip = VelantrixL10n::text("host.running", "Norvessal Host is running");
    item->button->isEnabled = true;

    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    auto menu = Menu::make(applicationTitle());
    auto infoLine = [&menu](std::string title) {
        auto line = MenuItem::make(std::move(title));
        line->isEnabled = false;
        menu->addItem(line);
        return line;
    };
    menus.statusMenuStatusItem = infoLine(VelantrixL10n::text("host.running", "Norvessal Host is running"));
    menus.statusMenuAddressItem = infoLine(VelantrixL10n::text("host.ipsChecking", "Host IPs: checking..."));
    menus.statusMenuViewerItem = infoLine(VelantrixL10n::text("host.viewerNone", "Viewer: none connected"));
    menu->addItem(MenuItem::separator());
    menus.statusAutoUpdateMenuItem = addStatusActions(*menu, weak, kStatusMenuTitles, false);
    auto launchAtLogin = delegateItem(weak, text(kStatusMenuTitles[4]), kToggleLaunchAtLogin, "",
                                      [](HostProbeDelegate& self, MenuItem& sender) {
                                          self.toggleLaunchAtLoginMenuAction(sender);
                                      });
    launchAtLogin->state = platform::checkMarkState(defaultsFlag("host.launchAtLogin.desired"));
    menus.statusLaunchAtLoginMenuItem = launchAtLogin;
    menu->addItem(launchAtLogin);
    menu->addItem(MenuItem::separator());
    menu->addItem(makeHostLanguageMenuItem());
    menu->addItem(MenuItem::separator());
    menu->addItem(delegateItem(weak, "Quit Host...", kQuit, "", [](HostProbeDelegate& self, MenuItem&) {
        self.requestQuitMenuAction(HostActionSender::menuItem);
    }));
    menu->delegate = std::weak_ptr<platform::MenuDelegate>(std::static_pointer_cast<platform::MenuDelegate>(
        shared_from_this()));
    menus.statusMenu = menu;
    item->menu = menu;
    refreshHostStatusMenuLocalization();
    updateHostPresentation();
}

void HostProbeDelegate::updateStatusItemButtonTitle(platform::StatusBarButton& button) {
    assertMainQueue();
    const platform::Font font = button.font.value_or(platform::menuBarFont());
    if (!menus.statusItemDisplaySymbol) {
        auto symbol = platform::Image::systemSymbol("display", "Norvessal Host");
        if (symbol) symbol->size = {14, 14};
        menus.statusItemDisplaySymbol = symbol;
    }
    platform::AttributedString title(hostStatusItemHostName() + " ", font);
    if (const auto& symbol = *menus.statusItemDisplaySymbol)
        title.appendAttachment({symbol->symbolName, {2, -2, symbol->size.width, symbol->size.height}}, font);
    // GCC 12 at -O3 warns of an overlapping copy inside the std::string
    // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    title.append(" " + VelantrixL10n::text("host.statusButtonEnabled", "On"), font);
#pragma GCC diagnostic pop
    button.image = nullptr;
    button.imagePosition = platform::ImagePosition::noImage;
    button.attributedTitle = std::move(title);
}

std::string HostProbeDelegate::hostStatusItemHostName() const {
    const std::string trimmed(platform::UnicodeText::trimmingWhitespace(platform::ComputerName::localizedName()));
    return trimmed.empty() ? VelantrixL10n::text("host.statusButtonIdle", "Host") : trimmed;
}

void HostProbeDelegate::menuWillOpen(Menu& menu) {
    assertMainQueue();
    // Windows opened from the menu then come to the front.
    if (&menu == menus.statusMenu.get() || &menu == onboarding.setupModeStatusMenu.get())
        Application::shared().activate(true);
}

// --- Language menu -------------------------------------------------------------------------

std::shared_ptr<MenuItem> HostProbeDelegate::makeHostLanguageMenuItem() {
    assertMainQueue();
    const std::string title = VelantrixL10n::text("language.menu", "Language");
    auto item = MenuItem::make(title);
    auto submenu = Menu::make(title);
    submenu->identifier = kLanguageMenuIdentifier;
    std::weak_ptr<HostProbeDelegate> weak = weak_from_this();
    const std::string chosen = VelantrixL10n::languageOverride();
    for (const auto& language : VelantrixL10n::availableLanguages()) {
        const std::string entryTitle = language.identifier == VelantrixL10n::systemLanguageIdentifier
                                           ? VelantrixL10n::text("language.system", "System Default")
                                           : language.displayName;
        auto entry = delegateItem(weak, entryTitle, kLanguageChoice, "", [](HostProbeDelegate& self, MenuItem& sender) {
            self.hostLanguageMenuAction(sender);
        });
        entry->representedObject = language.identifier;
        entry->state = platform::checkMarkState(language.identifier == chosen);
        submenu->addItem(entry);
    }
    item->setSubmenu(submenu);
    return item;
}

void HostProbeDelegate::hostLanguageMenuAction(MenuItem& sender) {
    assertMainQueue();
    const auto* identifier = std::get_if<std::string>(&sender.representedObject);
    if (!identifier) return;
    VelantrixL10n::setLanguageOverride(*identifier);
    refreshHostLocalization();
}

void HostProbeDelegate::refreshHostLanguageMenuPresentation(Menu& menu) {
    assertMainQueue();
    std::shared_ptr<MenuItem> holder;
    for (const auto& item : menu.items())
        if (item->submenu() && item->submenu()->identifier == kLanguageMenuIdentifier) {
            holder = item;
            break;
        }
    if (!holder) return;
    const std::string title = VelantrixL10n::text("language.menu", "Language");
    holder->title = title;
    holder->submenu()->title = title;
    const std::string chosen = VelantrixL10n::languageOverride();
    for (const auto& entry : holder->submenu()->items()) {
        const auto* identifier = std::get_if<std::string>(&entry->representedObject);
        if (!identifier) continue;
        for (const auto& language : VelantrixL10n::availableLanguages()) {
            if (language.identifier != *identifier) continue;
            entry->title = language.identifier == VelantrixL10n::systemLanguageIdentifier
                               ? VelantrixL10n::text("language.system", "System Default")
                               : language.displayName;
            entry->state = platform::checkMarkState(language.identifier == chosen);
        }
    }
}

// --- Re-titling ----------------------------------------------------------------------------

void HostProbeDelegate::setMenuItemTitle(Menu& menu, const std::string& action, const std::string& title) {
    for (const auto& item : menu.items())
        if (item->action == action) {
            item->title = title;
            return;
        }
}

void HostProbeDelegate::localizeTopMenu(Menu& menu, size_t index, const std::string& title) {
    auto item = menu.itemAtIndex(index);
    if (!item) return;
    item->title = title;
    if (auto submenu = item->submenu()) submenu->title = title;
}

void HostProbeDelegate::refreshHostMainMenuLocalization() {
    assertMainQueue();
    auto& app = Application::shared();
    auto mainMenu = app.mainMenu;
    if (!mainMenu) return;
    const std::string appTitle = applicationTitle();
    if (auto appMenu = submenuAt(mainMenu, 0)) {
        setMenuItemTitle(*appMenu, kShowAbout, VelantrixL10n::format("menu.aboutFormat", "About %@", appTitle));
        setMenuItemTitle(*appMenu, kToggleLaunchAtLogin, VelantrixL10n::text("host.startAtLoginMenu", "Start at Login"));
        for (const auto& item : appMenu->items())
            if (app.servicesMenu && item->submenu() == app.servicesMenu)
                item->title = VelantrixL10n::text("menu.services", "Services");
        setMenuItemTitle(*appMenu, "hide:", VelantrixL10n::format("menu.hideFormat", "Hide %@", appTitle));
        setMenuItemTitle(*appMenu, "hideOtherApplications:", VelantrixL10n::text("menu.hideOthers", "Hide Others"));
        setMenuItemTitle(*appMenu, "unhideAllApplications:", VelantrixL10n::text("menu.showAll", "Show All"));
        setMenuItemTitle(*appMenu, kQuit, VelantrixL10n::format("host.quitMenuFormat", "Quit %@...", appTitle));
    }
    struct Top {
        size_t index;
        const char* key;
        const char* english;
        std::span<const Retitle> items;
    };
    const Top tops[] = {{1, "host.menu", "Host", kHostMenuTitles},
                        {2, "menu.window", "Window", kWindowMenuTitles},
                        {3, "menu.help", "Help", kHelpMenuTitles}};
    for (const auto& top : tops) {
        localizeTopMenu(*mainMenu, top.index, VelantrixL10n::text(top.key, top.english));
        if (auto submenu = submenuAt(mainMenu, top.index))
            for (const auto& r : top.items) setMenuItemTitle(*submenu, r.action, text(r));
    }
}

void HostProbeDelegate::refreshHostStatusMenuLocalization() {
    assertMainQueue();
    auto menu = menus.statusMenu;
    if (!menu) return;
    menu->title = applicationTitle();
    for (const auto& r : kStatusMenuTitles) setMenuItemTitle(*menu, r.action, text(r));
    refreshHostLanguageMenuPresentation(*menu);
}

void HostProbeDelegate::refreshHostLocalization() {
    assertMainQueue();
    if (auto appMenu = submenuAt(Application::shared().mainMenu, 0)) refreshHostLanguageMenuPresentation(*appMenu);
    if (menus.statusMenu) refreshHostLanguageMenuPresentation(*menus.statusMenu);
    refreshSetupModeStatusMenuLocalization();
    refreshHostMainMenuLocalization();
    refreshHostStatusMenuLocalization();
    if (summary.summaryWindow) {
        summary.summaryWindow->title = applicationTitle();
        const std::pair<std::weak_ptr<platform::View>, Retitle> texts[] = {
            {summary.summaryTitleLabel, {"", "host.running", "Norvessal Host is running"}},
            {summary.summarySubtitleLabel,
             {"", "host.summarySubtitle", "Viewers can connect while this Host stays open."}},
            {summary.summaryDetailsButton, {"", "host.detailsButton", "Details"}},
            {summary.summaryRefreshButton, {"", "host.refreshButton", "Refresh"}},
            {summary.summaryLaunchAtLoginCheckbox,
             {"", "host.startAtLoginCheckbox", "Start Norvessal Host at login"}},
        };
        for (const auto& [view, r] : texts)
            if (auto v = view.lock()) v->text = text(r);
        refreshOnlineUpdateButtonPresentation();
    }
    updateLaunchAtLoginCheckbox();
    updateHostPresentation();
}

// --- Start at login --------------------------------------------------------------------------

void HostProbeDelegate::launchAtLoginCheckboxChanged(platform::View& checkbox) {
    assertMainQueue();
    const std::string message = HostLaunchAtLogin::setEnabled(checkbox.isOn);
    log("launch-at-login: " + message);
    updateLaunchAtLoginCheckbox();
}

void HostProbeDelegate::toggleLaunchAtLoginMenuAction(MenuItem& sender) {
    assertMainQueue();
    const bool wanted = sender.state != ControlStateValue::on;
    const std::string message = HostLaunchAtLogin::setEnabled(wanted);
    sender.state = platform::checkMarkState(defaultsFlag("host.launchAtLogin.desired"));
    log("launch-at-login: " + message);
    updateLaunchAtLoginCheckbox();
}

void HostProbeDelegate::updateLaunchAtLoginCheckbox() {
    assertMainQueue();
    const bool desired = defaultsFlag("host.launchAtLogin.desired");
    if (auto checkbox = summary.summaryLaunchAtLoginCheckbox.lock()) {
        checkbox->isOn = desired;
        checkbox->toolTip = HostLaunchAtLogin::statusText();
    }
    for (const auto& item : {menus.launchAtLoginMenuItem.lock(), menus.statusLaunchAtLoginMenuItem.lock()})
        if (item) item->state = platform::checkMarkState(desired);
    updateHostPresentation();
}

// --- Links ---------------------------------------------------------------------------------

void HostProbeDelegate::openHostWebsite(const std::string& path, const std::optional<std::string>& fragment) {
    assertMainQueue();
    std::optional<std::string_view> fragmentView;
    if (fragment) fragmentView = *fragment;
    // Without a URL (no website language could be formed) nothing happens.
    if (auto url = VelantrixReleaseChannels::localizedProductURL(path, fragmentView, std::nullopt))
        platform::Workspace::open(*url);
}

void HostProbeDelegate::openWebsiteMenuAction() { openHostWebsite("", std::nullopt); }

void HostProbeDelegate::openUserGuideMenuAction() { openHostWebsite("", "install-guide"); }

void HostProbeDelegate::openReleaseNotesMenuAction() { openHostWebsite("download", "release-notes"); }

void HostProbeDelegate::openPrivacyPolicyMenuAction() {
    assertMainQueue();
    if (auto url = VelantrixReleaseChannels::localizedMainURL("legal/privacy")) platform::Workspace::open(*url);
}

void HostProbeDelegate::openTermsOfServiceMenuAction() {
    assertMainQueue();
    if (auto url = VelantrixReleaseChannels::localizedMainURL("legal/terms")) platform::Workspace::open(*url);
}
