#pragma once
// The application's own login item (the main application's service), kept
// as the Linux desktops keep programs started at login: an XDG autostart
// entry "norvessal-host.desktop" in the user's autostart folder. Registering
// writes the entry (atomically, starting the running executable),
// unregistering removes it, and the status is read from it each time:
//
//   no entry                                              notRegistered (0)
//   an entry that starts the Host                         enabled (1)
//   an entry with Hidden=true or
//     X-GNOME-Autostart-enabled=false (turned off by the
//     desktop's own settings: the user must approve it)   requiresApproval (2)
//   an entry that cannot be read                          notFound (3)
//
// Observers hear every change of the status: one this object makes, or one
// a status read notices; they are called synchronously on the thread that
// changed or read it, holding no lock of this layer.
//
// Tests make registering and unregistering fail and count the status reads
// through the simulated machine (SimulatedLoginItem).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Foundation/Result.h"

namespace platform {

enum class AppServiceStatus : int { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

class AppService {
public:
    static AppService& mainApp();

    AppServiceStatus status();
    Status registerService();
    Status unregisterService();

    using StatusObserver = std::function<void(AppServiceStatus newStatus)>;
    uint64_t addStatusObserver(StatusObserver observer);
    void removeStatusObserver(uint64_t token);

    static std::filesystem::path entryPath();
    // The entry that starts `executable` at login.
    static Result<std::string> desktopEntry(const std::filesystem::path& executable);
    // The status an entry's text gives.
    static AppServiceStatus statusOfEntry(const std::string& text);

private:
    // Tells the observers when `now` differs from the status last seen.
    void noteStatus(AppServiceStatus now);

    std::mutex lock_;
    std::map<uint64_t, std::shared_ptr<StatusObserver>> observers_;
    uint64_t nextToken_ = 1;
};

// The login item's test controls on the simulated machine, and the status
// the observers last heard of (a fresh machine has heard of none).
class SimulatedLoginItem {
public:
    // A description makes the call fail with it; none restores success.
    void setRegisterFailure(std::optional<std::string> description);
    void setUnregisterFailure(std::optional<std::string> description);
    std::optional<std::string> registerFailure() const;
    std::optional<std::string> unregisterFailure() const;

    int statusReadCount() const;
    int registerCount() const;
    int unregisterCount() const;

    // Internal: counted by AppService.
    void countStatusRead();
    void countRegister();
    void countUnregister();
    // Swaps in the status now seen; returns the one seen before.
    std::optional<AppServiceStatus> exchangeLastStatus(AppServiceStatus status);

private:
    mutable std::mutex lock_;
    std::optional<std::string> registerFailure_;
    std::optional<std::string> unregisterFailure_;
    int statusReads_ = 0;
    int registers_ = 0;
    int unregisters_ = 0;
    std::optional<AppServiceStatus> lastStatus_;
};

}  // namespace platform
