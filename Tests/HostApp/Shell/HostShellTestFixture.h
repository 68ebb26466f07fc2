#pragma once
// A Host launched as `main` launches it, in virtual time: the delegate on
// the simulated machine's application, its server on ephemeral loopback
// ports with an in-memory directory and a recording DNS-SD registration.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "HostApp/Shell/HostLaunchAtLogin.h"
#include "HostApp/HostProbeDelegate.h"
#include "Platform/AppKit/AppKit.h"
#include "Platform/Security/Directory.h"
#include "Platform/Network/NetworkBrowser.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/AuxTestClient.h"
#include "Support/RecordingRegistration.h"
#include "Support/TestSupport.h"

class HostShellTest : public platform::testing::VirtualTimeTest {
protected:
    static constexpr const char* password = "correct horse battery";

    HostShellTest() {
        HostLaunchAtLogin::resetCacheForTesting();
        consoleUser = platform::SimulatedMachine::current().consoleSession().userName;
        directory->setUser(consoleUser, password);
        quietMachine();
    }

    // No daemon and no real relaunch of the test program: the Local
    // Network browse is ready at once, detached launches are recorded.
    // Again after a test installs a fresh machine (launch() does it).
    static void quietMachine() {
        auto& machine = platform::SimulatedMachine::current();
        auto& browsing = machine.component<platform::SimulatedBonjourBrowsing>();
        if (!browsing.script()) {
            platform::SimulatedBonjourBrowsing::Script ready;
            ready.states = {{0, {platform::NetworkBrowserState::Kind::ready, ""}}};
            browsing.setScript(ready);
        }
        machine.component<platform::SimulatedProcessLaunches>().setRecordsInsteadOfLaunching(true);
    }

    ~HostShellTest() override {
        // Whatever a test left running is torn down as SIGTERM would.
        if (delegate && !app().isTerminated()) onMain([&] { delegate->handleTerminationSignal(15); });
        if (delegate) delegate->waitForServerStopAfterRunLoop(10);
        runUntilIdle();
    }

    V230HostAudioAuxServerConfiguration serverConfiguration() {
        V230HostAudioAuxServerConfiguration c;
        c.audioPort = c.videoPort = c.filePort = 0;
        c.bindAddress = "127.0.0.1";
        c.directory = directory;
        c.dnsRegistration = registration;
        c.routeRecordSource = [] { return BonjourAdvertiser::Routes{{{"lan", "eth0", "192.0.2.10"}}, {}}; };
        return c;
    }

    // Creates the delegate and finishes launching, as `main` and the
    // application do, then runs what is due.
    void launch(HostLaunchFlags flags = {}, std::optional<V230HostAudioAuxServerConfiguration> config = {}) {
        quietMachine();
        delegate = std::make_shared<HostProbeDelegate>(flags, config ? *config : serverConfiguration());
        app().setDelegate(delegate);
        app().setActivationPolicy(platform::ApplicationActivationPolicy::regular);
        app().finishLaunchingForTesting();
        runUntilIdle();
    }

    static platform::Application& app() { return platform::Application::shared(); }
    static void onMain(const std::function<void()>& work) { platform::DispatchQueue::main().sync(work); }
    std::shared_ptr<platform::Window> summaryWindow() const { return delegate->summary.summaryWindow; }

    bool diagnosticsContain(const std::string& text) const { return diagnosticsCount(text) > 0; }
    size_t diagnosticsCount(const std::string& text) const {
        size_t n = 0;
        for (const auto& entry : delegate->components.diagnosticLog->entries())
            if (entry.text.find(text) != std::string::npos) n++;
        return n;
    }

    // A Viewer on the audio and control port, logged in.
    std::unique_ptr<AuxTestClient> loggedInViewer() {
        auto client = std::make_unique<AuxTestClient>(runtime, delegate->audioServer()->boundAudioPort(), 0x01);
        EXPECT_TRUE(client->waitConnected());
        EXPECT_TRUE(client->logIn(consoleUser, password, "Viewer"));
        return client;
    }

    std::string consoleUser;
    std::shared_ptr<platform::InMemoryDirectory> directory = std::make_shared<platform::InMemoryDirectory>();
    std::shared_ptr<RecordingRegistration> registration = std::make_shared<RecordingRegistration>();
    std::shared_ptr<HostProbeDelegate> delegate;
};
