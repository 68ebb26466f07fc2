#pragma once
// A Host launched for the first-run onboarding: the installer's marker
// written for the running build, the grants as the test says.

#include <filesystem>
#include <fstream>

#include "HostApp/Shell/HostShellTestFixture.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/SimulatedMac/PermissionPrompts.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Platform/AppKit/Workspace.h"

class OnboardingTest : public HostShellTest {
protected:
    using Step = InitialInstallOnboardingStep;

    static void writeMarker(const std::string& bytes) {
        const auto path = HostProbeDelegate::initialInstallOnboardingMarkerURL();
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    static void setGrants(bool accessibility, bool screenRecording) {
        auto& machine = platform::SimulatedMachine::current();
        machine.setPermission(platform::Permission::accessibility, accessibility);
        machine.setPermission(platform::Permission::screenRecording, screenRecording);
    }
    // An installer's launch after a first install, lacking the grants the
    // test names.
    void launchForOnboarding(bool accessibility = false, bool screenRecording = false,
                             HostLaunchFlags flags = {false, true}) {
        setGrants(accessibility, screenRecording);
        writeMarker(hostBundleVersionString() + "\n");
        launch(flags);
    }

    std::shared_ptr<InitialInstallGuideWindow> guide() const { return delegate->onboarding.initialInstallGuideWindow; }
    bool guideVisible() const { return guide() && guide()->window()->isVisible(); }
    Step step() const { return delegate->onboarding.initialInstallOnboardingStep; }
    static platform::SimulatedPermissionPrompts& prompts() {
        return platform::SimulatedMachine::current().component<platform::SimulatedPermissionPrompts>();
    }
    static platform::SimulatedWorkspace& workspace() {
        return platform::SimulatedMachine::current().component<platform::SimulatedWorkspace>();
    }
    static size_t openedCount(const std::string& url) {
        size_t n = 0;
        for (const auto& u : workspace().openedURLs()) n += u == url;
        return n;
    }
    static bool defaultsFlag(const char* key) { return platform::UserDefaults::standard().boolForKey(key); }
    void sendURL(const std::string& url) {
        platform::AppleEventManager::shared().deliverFromOutside(
            {platform::kInternetEventClass, platform::kAEGetURL, url});
        runUntilIdle();
    }
    void quitHost() {
        onMain([] { platform::Application::shared().terminate(); });
        runUntilIdle();
    }

    static constexpr const char* accessibilityPane =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
    static constexpr const char* screenCapturePane =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
};
