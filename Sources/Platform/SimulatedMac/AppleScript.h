#pragma once
// Scripts sent to other applications as Apple events. Only a Mac has the
// applications they talk to, so here the simulated machine answers: Finder's
// front window is a setting tests choose (no window, an error, or a folder),
// and every script run is recorded as the text it would send.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

inline constexpr const char* kAppleScriptErrorMessage = "NSAppleScriptErrorMessage";

class AppleScript {
public:
    struct Outcome {
        // The result's string value, when the script gave one.
        std::optional<std::string> stringValue;
        // Set when running failed: the error dictionary (it may lack the
        // message entry).
        std::optional<std::map<std::string, std::string>> errorInfo;
    };

    // Nothing for an empty source (a script that cannot be created).
    static std::shared_ptr<AppleScript> make(std::string source);
    const std::string& source() const { return source_; }
    // Runs the script and waits for the answer.
    Outcome execute() const;

private:
    explicit AppleScript(std::string source) : source_(std::move(source)) {}
    std::string source_;
};

// What Finder shows in its front window on the simulated machine.
class SimulatedFinder {
public:
    struct NoWindow {};
    struct ScriptError {
        std::optional<std::string> message;  // nothing: the entry is missing
    };
    struct FolderWindow {
        std::string path;
    };
    using FrontWindow = std::variant<NoWindow, ScriptError, FolderWindow>;

    static SimulatedFinder& current();
    void setFrontWindow(FrontWindow front);
    FrontWindow frontWindow() const;
    // Every script run against the machine, oldest first.
    std::vector<std::string> scriptsRun() const;
    void recordScript(const std::string& source);

private:
    mutable std::mutex lock_;
    FrontWindow front_ = NoWindow{};
    std::vector<std::string> scripts_;
};

}  // namespace platform
