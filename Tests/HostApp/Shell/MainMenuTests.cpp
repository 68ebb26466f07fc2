// The main menu and the status item: key equivalents, the language menu and
// re-titling, the status title, start at login from the menus, and links.

#include <gtest/gtest.h>

#include "HostShellTestFixture.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/SimulatedMac/ComputerName.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/AppKit/Workspace.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseChannels.h"

using namespace platform;

namespace {

class MainMenuTest : public HostShellTest {
protected:
    ~MainMenuTest() override { Bundle::setMainForTesting(std::nullopt); }

    // The Host's own translation tables.
    static void installTranslations() {
        Bundle::setMainForTesting(Bundle(std::string(NORVESSAL_SOURCE_DIR) + "/Sources/HostApp", std::nullopt, {}));
    }
    // Every item below the menu, depth first.
    static std::vector<std::shared_ptr<MenuItem>> allItems(const std::shared_ptr<Menu>& menu) {
        std::vector<std::shared_ptr<MenuItem>> out;
        for (const auto& item : menu->items()) {
            out.push_back(item);
            if (item->submenu())
                for (const auto& below : allItems(item->submenu())) out.push_back(below);
        }
        return out;
    }
    static std::shared_ptr<MenuItem> byAction(const std::shared_ptr<Menu>& menu, const std::string& action) {
        for (const auto& item : allItems(menu))
            if (item->action == action) return item;
        return nullptr;
    }
    static std::shared_ptr<Menu> languageMenu(const std::shared_ptr<Menu>& menu) {
        for (const auto& item : menu->items())
            if (item->submenu() && item->submenu()->identifier == "com.qarvex.norvessal.host.language.menu")
                return item->submenu();
        return nullptr;
    }
    static std::vector<std::string> checkedTitles(const std::shared_ptr<Menu>& menu) {
        std::vector<std::string> titles;
        for (const auto& item : menu->items())
            if (item->state == ControlStateValue::on) titles.push_back(item->title);
        return titles;
    }
    static void press(const std::shared_ptr<MenuItem>& item) {
        auto menu = item->menu();
        for (size_t i = 0; i < menu->numberOfItems(); ++i)
            if (menu->itemAtIndex(i) == item) onMain([&] { EXPECT_TRUE(menu->performActionForItemAtIndex(i)); });
    }
    std::shared_ptr<Menu> mainMenu() const { return app().mainMenu; }
    std::shared_ptr<Menu> statusMenu() const { return delegate->menus.statusMenu; }
};

TEST_F(MainMenuTest, KeyEquivalentsAreTheMainMenusOnly) {
    launch();
    const uint32_t command = kEventModifierCommand;
    const std::tuple<const char*, const char*, uint32_t> keys[] = {
        {"hide:", "h", command},
        {"hideOtherApplications:", "h", command | kEventModifierOption},
        {"requestQuitMenuAction:", "q", command},
        {"showSummaryWindowAction:", "1", command},
        {"refreshButtonPressed", "r", command},
        {"performMiniaturize:", "m", command},
        {"performZoom:", "", command},
    };
    for (const auto& [action, key, modifiers] : keys) {
        auto item = byAction(mainMenu(), action);
        ASSERT_NE(item, nullptr) << action;
        EXPECT_EQ(item->keyEquivalent, key) << action;
        if (*key) {
            EXPECT_EQ(item->keyEquivalentModifierMask, modifiers) << action;
        }
    }
    for (const auto& item : allItems(statusMenu())) EXPECT_EQ(item->keyEquivalent, "") << item->title;
    EXPECT_EQ(app().windowsMenu, mainMenu()->itemAtIndex(2)->submenu());
    EXPECT_EQ(app().helpMenu, mainMenu()->itemAtIndex(3)->submenu());
    EXPECT_EQ(app().servicesMenu, byAction(mainMenu(), "showAboutPanelAction:")->menu()->itemAtIndex(4)->submenu());
}

TEST_F(MainMenuTest, ConfiguringTheMainMenuAgainKeepsTheOneMenu) {
    launch();
    auto first = mainMenu();
    onMain([&] { delegate->configureMainMenu(); });
    EXPECT_EQ(mainMenu(), first);
    EXPECT_EQ(first->numberOfItems(), 4u);
}

TEST_F(MainMenuTest, LanguageChoiceMovesTheMarkAndReTitlesEveryMenuFromItsTable) {
    installTranslations();
    VelantrixL10n::setLanguageOverride("zh-Hant");
    launch();
    auto appLanguages = languageMenu(mainMenu()->itemAtIndex(0)->submenu());
    auto statusLanguages = languageMenu(statusMenu());
    ASSERT_TRUE(appLanguages && statusLanguages);
    for (const auto& menu : {appLanguages, statusLanguages}) {
        EXPECT_EQ(menu->numberOfItems(), 9u);
        EXPECT_EQ(checkedTitles(menu), std::vector<std::string>{"繁體中文"});
        EXPECT_EQ(menu->itemAtIndex(0)->title, "系統預設");
        EXPECT_EQ(menu->itemAtIndex(6)->title, "Deutsch");
    }
    EXPECT_EQ(byAction(statusMenu(), "refreshButtonPressed")->title, "重新整理");

    press(statusLanguages->itemAtIndex(6));
    for (int pass = 0; pass < 2; ++pass) {  // the menu action, then the distributed observer
        for (const auto& menu : {appLanguages, statusLanguages}) {
            EXPECT_EQ(checkedTitles(menu), std::vector<std::string>{"Deutsch"});
            EXPECT_EQ(menu->title, "Sprache");
        }
        EXPECT_EQ(byAction(statusMenu(), "refreshButtonPressed")->title, "Aktualisieren");
        EXPECT_EQ(byAction(statusMenu(), "showSummaryWindowAction:")->title, "Host-Status anzeigen");
        EXPECT_EQ(byAction(mainMenu(), "toggleLaunchAtLoginMenuAction:")->title, "Bei der Anmeldung starten");
        EXPECT_EQ(mainMenu()->itemAtIndex(2)->title, "Fenster");
        EXPECT_EQ(delegate->summary.summaryRefreshButton.lock()->text, "Aktualisieren");
        runUntilIdle();
    }
    EXPECT_EQ(VelantrixL10n::languageOverride(), "de");
}

TEST_F(MainMenuTest, StatusTitleIsTheTrimmedComputerNameTheSymbolAndOn) {
    ComputerName::setLocalizedNameForTesting("  Studio\n");
    launch();
    auto button = delegate->menus.statusItem->button;
    EXPECT_EQ(button->title(), "Studio \uFFFC On");
    EXPECT_EQ(button->imagePosition, ImagePosition::noImage);
    EXPECT_EQ(button->image, nullptr);
    const auto& attachment = button->attributedTitle.runs().at(1).attachment;
    ASSERT_TRUE(attachment);
    EXPECT_EQ(attachment->bounds, (CGRect{2, -2, 14, 14}));
    EXPECT_EQ(delegate->menus.statusItem->length, kVariableStatusItemLength);
    for (const char* blank : {"   ", ""}) {
        ComputerName::setLocalizedNameForTesting(blank);
        onMain([&] { delegate->updateStatusItemButtonTitle(*button); });
        EXPECT_EQ(button->title(), "Host \uFFFC On");
    }
}

TEST_F(MainMenuTest, WithoutTheDisplaySymbolTheTitleIsNameTwoSpacesOn) {
    SimulatedMachine::current().component<SimulatedSystemSymbols>().remove("display");
    ComputerName::setLocalizedNameForTesting("Studio");
    launch();
    EXPECT_EQ(delegate->menus.statusItem->button->title(), "Studio  On");
}

TEST_F(MainMenuTest, StartAtLoginFromTheStatusMenuUpdatesTheOtherMenuAndTheCheckbox) {
    UserDefaults::standard().set("host.launchAtLogin.configured", PlistValue(true));
    UserDefaults::standard().set("host.launchAtLogin.lastBuild", PlistValue(hostBundleVersionString()));
    launch();
    auto statusItem = delegate->menus.statusLaunchAtLoginMenuItem.lock();
    auto mainItem = delegate->menus.launchAtLoginMenuItem.lock();
    auto checkbox = delegate->summary.summaryLaunchAtLoginCheckbox.lock();
    ASSERT_EQ(statusItem->state, ControlStateValue::off);
    press(statusItem);
    EXPECT_TRUE(UserDefaults::standard().boolForKey("host.launchAtLogin.desired"));
    for (const auto& item : {statusItem, mainItem}) EXPECT_EQ(item->state, ControlStateValue::on);
    EXPECT_TRUE(checkbox->isOn);
    EXPECT_EQ(checkbox->toolTip, "Start at login is enabled");
    EXPECT_TRUE(diagnosticsContain("launch-at-login: Start at login enabled"));
    press(mainItem);
    for (const auto& item : {statusItem, mainItem}) EXPECT_EQ(item->state, ControlStateValue::off);
    EXPECT_FALSE(checkbox->isOn);
}

TEST_F(MainMenuTest, OpeningTheStatusMenuActivatesTheHost) {
    launch();
    app().simulateOtherApplicationCameForwardForTesting();
    ASSERT_FALSE(app().isActive());
    onMain([&] { mainMenu()->itemAtIndex(1)->submenu()->open(); });
    runUntilIdle();
    EXPECT_FALSE(app().isActive()) << "other menus leave the activation alone";
    onMain([&] { statusMenu()->open(); });
    runUntilIdle();
    EXPECT_TRUE(app().isActive());
}

TEST_F(MainMenuTest, HelpItemsOpenTheirPagesAndARefusedOpenIsHarmless) {
    launch();
    auto helpMenu = mainMenu()->itemAtIndex(3)->submenu();
    const std::optional<std::string> expected[] = {
        VelantrixReleaseChannels::localizedProductURL("", "install-guide", std::nullopt),
        VelantrixReleaseChannels::localizedProductURL("", std::nullopt, std::nullopt),
        VelantrixReleaseChannels::localizedMainURL("legal/privacy"),
        VelantrixReleaseChannels::localizedMainURL("legal/terms"),
        VelantrixReleaseChannels::localizedProductURL("download", "release-notes", std::nullopt),
    };
    for (size_t i = 0; i < std::size(expected); ++i) onMain([&] { helpMenu->performActionForItemAtIndex(i); });
    auto& workspace = SimulatedMachine::current().component<SimulatedWorkspace>();
    std::vector<std::string> urls;
    for (const auto& url : expected) urls.push_back(url.value_or("<none>"));
    EXPECT_EQ(workspace.openedURLs(), urls);
    EXPECT_TRUE(urls[0].ends_with("#install-guide")) << urls[0];
    EXPECT_TRUE(urls[4].ends_with("/download#release-notes")) << urls[4];
    workspace.setURLSchemeFails("https", true);
    onMain([&] { helpMenu->performActionForItemAtIndex(1); });
    EXPECT_FALSE(app().isTerminated());
}

}  // namespace
