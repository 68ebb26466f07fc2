#include "Platform/SimulatedMac/AppleScript.h"

#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

std::shared_ptr<AppleScript> AppleScript::make(std::string source) {
    if (source.empty()) return nullptr;
    return std::shared_ptr<AppleScript>(new AppleScript(std::move(source)));
}

AppleScript::Outcome AppleScript::execute() const {
    auto& finder = SimulatedFinder::current();
    finder.recordScript(source_);
    Outcome outcome;
    // The only application scripted here is Finder; a script for anything
    // else finds no application to talk to.
    if (source_.find("tell application \"Finder\"") == std::string::npos) {
        outcome.errorInfo = std::map<std::string, std::string>{{kAppleScriptErrorMessage, "Application isn't running."}};
        return outcome;
    }
    const auto front = finder.frontWindow();
    if (const auto* error = std::get_if<SimulatedFinder::ScriptError>(&front)) {
        outcome.errorInfo.emplace();
        if (error->message) (*outcome.errorInfo)[kAppleScriptErrorMessage] = *error->message;
    } else if (const auto* folder = std::get_if<SimulatedFinder::FolderWindow>(&front)) {
        outcome.stringValue = folder->path;
    } else {
        outcome.stringValue = "";
    }
    return outcome;
}

SimulatedFinder& SimulatedFinder::current() { return SimulatedMachine::current().component<SimulatedFinder>(); }

void SimulatedFinder::setFrontWindow(FrontWindow front) {
    std::string text = "none";
    if (const auto* error = std::get_if<ScriptError>(&front)) text = "error " + error->message.value_or("(no message)");
    if (const auto* folder = std::get_if<FolderWindow>(&front)) text = folder->path;
    Log::raw("[SimulatedMachine] Finder front window: " + text);
    std::lock_guard lock(lock_);
    front_ = std::move(front);
}

SimulatedFinder::FrontWindow SimulatedFinder::frontWindow() const {
    std::lock_guard lock(lock_);
    return front_;
}

std::vector<std::string> SimulatedFinder::scriptsRun() const {
    std::lock_guard lock(lock_);
    return scripts_;
}

void SimulatedFinder::recordScript(const std::string& source) {
    std::lock_guard lock(lock_);
    scripts_.push_back(source);
}

}  // namespace platform
