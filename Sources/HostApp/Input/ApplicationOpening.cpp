// Opening applications of the system for the Mission Control and Launchpad
// shortcuts: by bundle identifier or name, through the shared workspace
// with a bounded wait, by AppleScript, and by running a command-line tool.
// All of it waits, so it runs on the shortcuts' tool queue, and every wait
// has a limit.

#include <filesystem>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/AppKit/Workspace.h"

namespace {

constexpr const char* kAppleScriptTool = "/usr/bin/osascript";
constexpr const char* kSystemApplicationFolders[] = {"/System/Applications/", "/Applications/"};
constexpr double kWorkspaceOpenWaitSeconds = 2.0;

// Whether a workspace open succeeded. The completion can come after the
// wait gave up, so the box is shared and lock-guarded.
struct WorkspaceOpenResult {
    std::mutex lock;
    bool opened = false;
};

}  // namespace

bool V230HostAudioAuxServer::openSystemApplication(const std::string& name,
                                                   const std::optional<std::string>& bundleIdentifier) {
    std::optional<std::string> url;
    if (bundleIdentifier) url = platform::Workspace::urlForApplication(*bundleIdentifier);
    for (const char* folder : kSystemApplicationFolders) {
        if (url) break;
        const std::string path = folder + name + ".app";
        if (platform::Workspace::applicationBundleExists(path)) url = path;
    }
    if (!url) return !bundleIdentifier && runToolAndWait(openToolPath, {"-a", name}, "open -a " + name);
    const std::string bundleName = std::filesystem::path(*url).filename().string();
    if (runToolAndWait(openToolPath, {*url}, "open " + bundleName)) return true;
    return openApplicationViaWorkspace(*url, name);
}

bool V230HostAudioAuxServer::openApplicationViaWorkspace(const std::string& url, const std::string& label) {
    // The open starts on the main queue; waiting there for it would only
    // ever time out.
    if (platform::DispatchQueue::main().isCurrent()) {
        publish("host shortcut workspace open skipped on main thread for " + label);
        return false;
    }
    auto result = std::make_shared<WorkspaceOpenResult>();
    auto answered = std::make_shared<platform::DispatchSemaphore>(0);
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    platform::DispatchQueue::main().async([url, label, result, answered, weak] {
        platform::Workspace::openApplication(url, true, [label, result, answered, weak](
                                                            const std::optional<std::string>& error) {
            {
                std::lock_guard<std::mutex> g(result->lock);
                result->opened = !error;
            }
            if (error) {
                if (auto self = weak.lock()) {
                    self->queue.async([weak, text = "host shortcut workspace open failed " + label + ": " + *error] {
                        if (auto server = weak.lock()) server->publish(text);
                    });
                }
            }
            answered->signal();
        });
    });
    if (!answered->wait(kWorkspaceOpenWaitSeconds)) {
        publish("host shortcut workspace open timed out " + label);
        return false;
    }
    std::lock_guard<std::mutex> g(result->lock);
    return result->opened;
}

bool V230HostAudioAuxServer::openApplicationByBundleIdentifierViaWorkspace(const std::string& bundleIdentifier) {
    auto url = platform::Workspace::urlForApplication(bundleIdentifier);
    if (!url) {
        publish("host shortcut no app URL for bundle id " + bundleIdentifier);
        return false;
    }
    return openApplicationViaWorkspace(*url, bundleIdentifier);
}

bool V230HostAudioAuxServer::activateApplicationByBundleIdentifierViaAppleScript(const std::string& bundleIdentifier) {
    return runToolAndWait(kAppleScriptTool, {"-e", "tell application id \"" + bundleIdentifier + "\" to activate"},
                          "AppleScript activate " + bundleIdentifier);
}

bool V230HostAudioAuxServer::runToolAndWait(const std::string& executablePath, const std::vector<std::string>& arguments,
                                            const std::string& failureLabel) {
    // Bounded: a hung tool would otherwise hold every later shortcut.
    auto run = platform::ProcessRunner::run(executablePath, arguments, hostShortcuts.toolTimeLimitSeconds.load());
    if (!run) {
        publish("host shortcut " + failureLabel + " failed: " + run.error());
        return false;
    }
    if (run->reason == platform::ProcessTermination::Reason::timedOut) {
        publish("host shortcut " + failureLabel + " timed out");
        return false;
    }
    if (run->succeeded()) return true;
    publish("host shortcut " + failureLabel + " exited with status " + std::to_string(run->status));
    return false;
}
