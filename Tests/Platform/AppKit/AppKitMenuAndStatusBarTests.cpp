// Menus and the standard actions they send, the status bar and its symbols,
// the computer's name, opening URLs, and the login item's autostart entry.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Platform/AppKit/AppKit.h"
#include "Platform/AppKit/AppKitMenu.h"
#include "Platform/AppKit/AppKitStatusBar.h"
#include "Platform/SimulatedMac/ComputerName.h"
#include "Platform/SimulatedMac/ServiceManagement.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/AppKit/Workspace.h"
#include "Support/TestSupport.h"

using namespace platform;

namespace {

class MenuModel : public VirtualTimeTest {
protected:
    std::shared_ptr<Window> shownWindow(uint32_t extraStyle = 0) {
        auto w = Window::make({400, 300}, kWindowStyleTitled | kWindowStyleMiniaturizable | extraStyle);
        DispatchQueue::main().sync([&] { w->makeKeyAndOrderFront(); });
        return w;
    }
    // A menu of one item that sends `selector` to the first responder.
    static bool send(const std::string& selector) {
        auto menu = Menu::make("Window");
        auto item = MenuItem::make(selector);
        item->setFirstResponderAction(selector);
        menu->addItem(item);
        return menu->performActionForItemAtIndex(0);
    }
    Application& app = Application::shared();
};

TEST_F(MenuModel, PressingAnItemRunsItsHandlerOnlyWhenEnabledAndNotASeparator) {
    auto menu = Menu::make("Host");
    std::vector<std::string> pressed;
    auto item = MenuItem::make("Refresh");
    item->setAction("refresh", [&](MenuItem& sender) { pressed.push_back(sender.title); });
    menu->addItem(item);
    menu->addItem(MenuItem::separator());
    EXPECT_EQ(item->menu(), menu);
    EXPECT_TRUE(menu->performActionForItemAtIndex(0));
    item->isEnabled = false;
    EXPECT_FALSE(menu->performActionForItemAtIndex(0));
    EXPECT_FALSE(menu->performActionForItemAtIndex(1));
    EXPECT_FALSE(menu->performActionForItemAtIndex(7));
    EXPECT_EQ(pressed, std::vector<std::string>{"Refresh"});
}

TEST_F(MenuModel, OpeningAMenuTellsItsDelegate) {
    struct Delegate : MenuDelegate {
        std::vector<std::string> opened;
        void menuWillOpen(Menu& menu) override { opened.push_back(menu.title); }
    };
    auto delegate = std::make_shared<Delegate>();
    auto menu = Menu::make("Status");
    menu->delegate = delegate;
    menu->open();
    EXPECT_EQ(delegate->opened, std::vector<std::string>{"Status"});
}

TEST_F(MenuModel, StandardActionsActOnTheApplicationAndItsKeyWindow) {
    DispatchQueue::main().sync([&] { app.activate(true); });
    runUntilIdle();
    auto plain = shownWindow();
    runUntilIdle();
    EXPECT_TRUE(send("hide:"));
    EXPECT_TRUE(app.isHidden());
    EXPECT_FALSE(plain->isVisible());
    EXPECT_TRUE(send("hideOtherApplications:"));
    EXPECT_TRUE(send("unhideAllApplications:"));
    EXPECT_FALSE(app.isHidden());
    EXPECT_FALSE(app.otherApplicationsHidden());
    EXPECT_TRUE(plain->isVisible());

    DispatchQueue::main().sync([&] { plain->makeKey(); });
    EXPECT_TRUE(send("performZoom:"));
    EXPECT_FALSE(plain->isZoomed()) << "a window that cannot be resized does not zoom";
    auto resizable = shownWindow(kWindowStyleResizable);
    EXPECT_TRUE(send("performZoom:"));
    EXPECT_TRUE(resizable->isZoomed());
    EXPECT_TRUE(send("performMiniaturize:"));
    EXPECT_TRUE(resizable->isMiniaturized());
    EXPECT_FALSE(send("performFlip:"));
}

TEST_F(MenuModel, StatusItemsAreListedUntilRemovedAndSymbolsCanBeTakenAway) {
    auto& bar = StatusBar::system();
    auto first = bar.statusItem(kVariableStatusItemLength);
    auto second = bar.statusItem(kVariableStatusItemLength);
    bar.removeStatusItem(first);
    EXPECT_EQ(bar.items(), std::vector<std::shared_ptr<StatusItem>>{second});

    for (const char* name : {"display", "lock.shield"}) {
        auto symbol = Image::systemSymbol(name, "Norvessal Host");
        ASSERT_NE(symbol, nullptr) << name;
        EXPECT_EQ(symbol->accessibilityDescription, "Norvessal Host");
        SimulatedMachine::current().component<SimulatedSystemSymbols>().remove(name);
        EXPECT_EQ(Image::systemSymbol(name, "Norvessal Host"), nullptr) << name;
    }
    EXPECT_EQ(Image::systemSymbol("gearshape.2", ""), nullptr);
}

TEST(ComputerNameTest, PrettyHostnameIsReadAsTheShellQuotesIt) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"PRETTY_HOSTNAME=\"Anna's Mac mini\"\n", "Anna's Mac mini"},
        {"CHASSIS=desktop\n  PRETTY_HOSTNAME='Studio \"B\"'\n", "Studio \"B\""},
        {"PRETTY_HOSTNAME=Plain\\ Name", "Plain Name"},
        {"PRETTY_HOSTNAME=\"say \\\"hi\\\" \\$5\"", "say \"hi\" $5"},
        {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
        {"HOSTNAME=box\n#PRETTY_HOSTNAME=x\n", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ComputerName::prettyHostnameFromMachineInfo(text), expected) << text;
}

TEST_F(MenuModel, OpenedURLsAreRecordedAndAFailingSchemeIsRefused) {
    auto& workspace = SimulatedMachine::current().component<SimulatedWorkspace>();
    workspace.setURLSchemeFails("HTTPS", true);
    EXPECT_FALSE(Workspace::open("https://velantrix.example/en"));
    EXPECT_TRUE(Workspace::open("mailto:help@velantrix.example"));
    EXPECT_FALSE(Workspace::open("no scheme here"));
    EXPECT_EQ(workspace.openedURLs(), (std::vector<std::string>{"https://velantrix.example/en",
                                                                "mailto:help@velantrix.example", "no scheme here"}));
}

class LoginItemTest : public VirtualTimeTest {
protected:
    void write(const std::string& text) {
        std::filesystem::create_directories(AppService::entryPath().parent_path());
        std::ofstream(AppService::entryPath()) << text;
    }
    AppService& service = AppService::mainApp();
    SimulatedLoginItem& controls = SimulatedMachine::current().component<SimulatedLoginItem>();
};

TEST_F(LoginItemTest, StatusComesFromTheAutostartEntry) {
    EXPECT_EQ(AppService::entryPath(), dataRoot->path() / "home/.config/autostart/norvessal-host.desktop");
    EXPECT_EQ(service.status(), AppServiceStatus::notRegistered);
    const std::pair<const char*, AppServiceStatus> entries[] = {
        {"[Desktop Entry]\nExec=/opt/host\n", AppServiceStatus::enabled},
        {"[Desktop Entry]\nHidden = true\n", AppServiceStatus::requiresApproval},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", AppServiceStatus::requiresApproval},
        {"[Desktop Action x]\nHidden=true\n", AppServiceStatus::enabled},
    };
    for (const auto& [text, status] : entries) {
        write(text);
        EXPECT_EQ(service.status(), status) << text;
    }
    std::filesystem::remove(AppService::entryPath());
    std::filesystem::create_directories(AppService::entryPath());
    EXPECT_EQ(service.status(), AppServiceStatus::notFound) << "an entry that cannot be read";
    EXPECT_EQ(controls.statusReadCount(), 6);
}

TEST_F(LoginItemTest, RegisteringWritesAnEntryThatStartsThisExecutableAndObserversHearEveryChange) {
    std::vector<AppServiceStatus> heard;
    const uint64_t token = service.addStatusObserver([&](AppServiceStatus s) { heard.push_back(s); });
    EXPECT_EQ(service.status(), AppServiceStatus::notRegistered);
    ASSERT_TRUE(service.registerService());
    std::ifstream in(AppService::entryPath());
    std::string entry((std::istreambuf_iterator<char>(in)), {});
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_NE(entry.find("X-GNOME-Autostart-enabled=true\n"), std::string::npos);
    EXPECT_NE(entry.find("Exec=\"" + exe + "\"\n"), std::string::npos) << entry;
    EXPECT_EQ(service.status(), AppServiceStatus::enabled);

    write("[Desktop Entry]\nHidden=true\n");  // turned off in the desktop's settings
    EXPECT_EQ(service.status(), AppServiceStatus::requiresApproval);
    ASSERT_TRUE(service.unregisterService());
    EXPECT_FALSE(std::filesystem::exists(AppService::entryPath()));
    service.removeStatusObserver(token);
    EXPECT_EQ(heard, (std::vector<AppServiceStatus>{AppServiceStatus::enabled, AppServiceStatus::requiresApproval,
                                                    AppServiceStatus::notRegistered}));
}

TEST_F(LoginItemTest, ExecQuotesThePathSoItCannotAddArgumentsOrFieldCodes) {
    auto entry = AppService::desktopEntry("/opt/My Apps/$HOME/100%/a\"b\\c");
    ASSERT_TRUE(entry);
    EXPECT_NE(entry->find("Exec=\"/opt/My Apps/\\\\$HOME/100%%/a\\\\\"b\\\\\\\\c\"\n"), std::string::npos) << *entry;
    EXPECT_FALSE(AppService::desktopEntry("/opt/evil\nExec=rm"));
}

TEST_F(LoginItemTest, FailuresCarryTheirDescriptionAndLeaveTheEntryAlone) {
    controls.setRegisterFailure("Operation not permitted");
    auto registered = service.registerService();
    ASSERT_FALSE(registered);
    EXPECT_EQ(registered.error(), "Operation not permitted");
    EXPECT_FALSE(std::filesystem::exists(AppService::entryPath()));
    controls.setRegisterFailure(std::nullopt);
    ASSERT_TRUE(service.registerService());
    controls.setUnregisterFailure("Invalid argument");
    EXPECT_FALSE(service.unregisterService());
    EXPECT_TRUE(std::filesystem::exists(AppService::entryPath()));
    EXPECT_EQ(controls.registerCount(), 2);
    EXPECT_EQ(controls.unregisterCount(), 1);
}

}  // namespace
