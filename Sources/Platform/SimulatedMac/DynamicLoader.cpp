#include "Platform/SimulatedMac/DynamicLoader.h"

#include <atomic>

#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/EventPosting.h"
#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/SimulatedMac/SkyLightSpaces.h"

namespace platform {

namespace {

SimulatedSpaces& spaces() { return SimulatedMachine::current().component<SimulatedSpaces>(); }
SimulatedDockExecutable& dock() { return SimulatedMachine::current().component<SimulatedDockExecutable>(); }
SimulatedDynamicLoader& loader() { return SimulatedMachine::current().component<SimulatedDynamicLoader>(); }

std::atomic<uint64_t> nextGeneration{1};

// Like the system's loader: one pending error text per thread.
thread_local std::optional<std::string> lastError;

bool libraryPresent(const std::string& path) {
    if (path == kSkyLightFrameworkPath) return spaces().frameworkPresent();
    if (path == kDockExecutablePath) return dock().present();
    return false;
}

std::any skyLightSymbol(const std::string& symbol) {
    if (symbol == "CGSMainConnectionID") return CGSMainConnectionIDFunction([] { return CGSConnectionID(0x1A2B); });
    if (symbol == "CGSCopyManagedDisplaySpaces") {
        return CGSCopyManagedDisplaySpacesFunction([](CGSConnectionID connection) -> std::optional<PlistValue> {
            if (connection == 0) return std::nullopt;
            return spaces().managedDisplaySpaces();
        });
    }
    return {};
}

std::any loadedImagesSymbol(const std::string& symbol) {
    if (symbol == "CGDisplayCreateUUIDFromDisplayID") return CGDisplayCreateUUIDFunction(&CGDisplayCreateUUIDFromDisplayID);
    if (symbol == "AXUIElementPostKeyboardEvent") return AXUIElementPostKeyboardEventFunction(&AXUIElementPostKeyboardEvent);
    return {};
}

std::any dockSymbol(const std::string& symbol) {
    if (symbol != "CoreDockSendNotification" || !dock().notificationFunctionPresent()) return {};
    std::weak_ptr<SimulatedMachine> machine = SimulatedMachine::currentShared();
    return CoreDockSendNotificationFunction([machine](const std::string& notification, int32_t argument) {
        auto m = machine.lock();
        return m ? m->component<SimulatedDockExecutable>().sendNotification(notification, argument) : int32_t(-1);
    });
}

}  // namespace

SimulatedDynamicLoader::SimulatedDynamicLoader() : generation_(nextGeneration++) {}

int SimulatedDynamicLoader::openCount(const std::string& path) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = open_.find(path);
    return it == open_.end() ? 0 : it->second;
}

void SimulatedDynamicLoader::noteOpen(const std::string& path, int delta) {
    std::lock_guard<std::mutex> g(lock_);
    open_[path] += delta;
}

uint64_t dynamicLoaderGeneration() { return loader().generation(); }

std::optional<DynamicLibraryHandle> dlopen(const std::string& path, int mode) {
    if (!libraryPresent(path)) {
        lastError = "dlopen(" + path + ", " + std::to_string(mode) + "): tried: '" + path + "' (no such file)";
        return std::nullopt;
    }
    loader().noteOpen(path, 1);
    return DynamicLibraryHandle{path};
}

std::optional<DynamicLibraryHandle> dlopenLazy(const std::string& path) { return dlopen(path, kRTLDLazy); }

DynamicLibraryHandle allLoadedImages() { return DynamicLibraryHandle{}; }

std::any dlsymFunction(const DynamicLibraryHandle& library, const std::string& symbol) {
    std::any found;
    if (spaces().symbolPresent(symbol)) {
        if (library.path.empty()) {
            found = loadedImagesSymbol(symbol);
        } else if (libraryPresent(library.path)) {
            if (library.path == kSkyLightFrameworkPath) found = skyLightSymbol(symbol);
            if (library.path == kDockExecutablePath) found = dockSymbol(symbol);
        }
    }
    if (!found.has_value()) lastError = "dlsym(" + library.path + ", " + symbol + "): symbol not found";
    return found;
}

int dlclose(const DynamicLibraryHandle& library) {
    if (library.path.empty() || loader().openCount(library.path) <= 0) {
        lastError = "dlclose(" + library.path + "): invalid handle";
        return -1;
    }
    loader().noteOpen(library.path, -1);
    return 0;
}

std::optional<std::string> dlerror() {
    std::optional<std::string> error = std::move(lastError);
    lastError.reset();
    return error;
}

void SimulatedDockExecutable::setPresent(bool present) {
    {
        std::lock_guard<std::mutex> g(lock_);
        present_ = present;
    }
    Log::raw(std::string("[SimulatedDock] executable ") + (present ? "present" : "absent"));
}

void SimulatedDockExecutable::setNotificationFunctionPresent(bool present) {
    {
        std::lock_guard<std::mutex> g(lock_);
        functionPresent_ = present;
    }
    Log::raw(std::string("[SimulatedDock] notification function ") + (present ? "present" : "absent"));
}

void SimulatedDockExecutable::setNotificationStatus(int32_t status) {
    std::lock_guard<std::mutex> g(lock_);
    status_ = status;
}

bool SimulatedDockExecutable::present() const {
    std::lock_guard<std::mutex> g(lock_);
    return present_;
}

bool SimulatedDockExecutable::notificationFunctionPresent() const {
    std::lock_guard<std::mutex> g(lock_);
    return functionPresent_;
}

std::vector<SimulatedDockExecutable::Call> SimulatedDockExecutable::calls() const {
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
}

int32_t SimulatedDockExecutable::sendNotification(const std::string& notification, int32_t argument) {
    std::lock_guard<std::mutex> g(lock_);
    calls_.push_back({notification, argument});
    return status_;
}

}  // namespace platform
