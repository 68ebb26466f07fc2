#pragma once
// The real Viewer session server as a fuzz target runs it: in virtual time,
// on loopback ports of its own, its log silent, its files in a folder of
// the run's that goes when the process exits, and the console user known
// to an in-memory directory with `password`.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/VirtualRuntime.h"
#include "Platform/Security/Directory.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

struct FuzzServer {
    class SilentRegistration : public platform::DnsServiceRegistration {
    public:
        void publish(const platform::DnsServiceDescription&) override {}
        void withdraw() override {}
    };

    static std::filesystem::path& root() {
        static std::filesystem::path* path = new std::filesystem::path;
        return *path;
    }

    std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::install();
    std::shared_ptr<V230HostAudioAuxServer> server;
    std::string user;

    FuzzServer(const std::string& name, const std::string& password) {
        platform::Log::setSinkForTesting([](const std::string&) {});
        root() = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(getpid()));
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(root(), ignored);
        });
        platform::Folders::setOverrideRoot(root());
        user = platform::SimulatedMachine::current().consoleSession().userName;
        auto directory = std::make_shared<platform::InMemoryDirectory>();
        directory->setUser(user, password);
        V230HostAudioAuxServerConfiguration configuration;
        configuration.audioPort = configuration.videoPort = configuration.filePort = 0;
        configuration.bindAddress = "127.0.0.1";
        configuration.directory = directory;
        configuration.dnsRegistration = std::make_shared<SilentRegistration>();
        configuration.routeRecordSource = [] { return BonjourAdvertiser::Routes{}; };
        server = std::make_shared<V230HostAudioAuxServer>(configuration);
        server->start();
        // The start-up capture warm-up runs now, once, rather than in the
        // middle of an input.
        runtime->advance(StartupCaptureWarmup::startDelaySeconds + StartupCaptureWarmup::deadlineSeconds + 1);
    }
};

// libx265 keeps some of its own buffers past an encoder's close (nothing of
// ours points at them); they are the library's, not the server's. (Each
// fuzz target is one source file, so these are defined once a program.)
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
