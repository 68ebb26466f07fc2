#include "Platform/AppKit/AppKitModal.h"

#include <optional>
#include <vector>

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {

// The running sessions of the simulated machine, innermost last.
struct ModalSessions {
    struct Session {
        std::weak_ptr<Window> window;
        std::optional<ModalResponse> code;
    };
    std::vector<std::shared_ptr<Session>> running;
    int beeps = 0;
};

ModalSessions& sessions() { return SimulatedMachine::current().component<ModalSessions>(); }

// How long one nested run lasts before the loop looks again.
constexpr double kModalSliceSeconds = 1.0;

}  // namespace

ModalResponse runModalForWindow(const std::shared_ptr<Window>& window) {
    auto& app = Application::shared();
    if (!window || app.isTerminated()) return kModalResponseAbort;
    auto session = std::make_shared<ModalSessions::Session>();
    session->window = window;
    sessions().running.push_back(session);
    window->makeKeyAndOrderFront();
    const ModalResponse code = runModalLoop(session->code);
    std::erase(sessions().running, session);
    return code;
}

ModalResponse runModalLoop(std::optional<ModalResponse>& response) {
    auto& app = Application::shared();
    while (!response) {
        if (app.isTerminated()) response = kModalResponseAbort;
        else app.runModalSlice(kModalSliceSeconds, [&] { return response.has_value(); });
    }
    return *response;
}

void stopModalWithCode(ModalResponse code) {
    auto& running = sessions().running;
    if (!running.empty() && !running.back()->code) running.back()->code = code;
}

std::shared_ptr<Window> modalWindow() {
    auto& running = sessions().running;
    return running.empty() ? nullptr : running.back()->window.lock();
}

void beep() { sessions().beeps++; }

int beepCountForTesting() { return sessions().beeps; }

}  // namespace platform
