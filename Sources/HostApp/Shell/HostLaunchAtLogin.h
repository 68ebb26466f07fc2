#pragma once
// Starting the Host at login: registers the application as the user's login
// item, remembers the user's wish under "host.launchAtLogin.desired", turns
// the item on for every newly installed build, and turns the item's status
// into a short text. The status is read from the platform at most once per
// 5 s; a change of the status, or a successful update, empties the cache.
//
// A namespace with process-wide state; every function may be called from
// any thread.

#include <functional>
#include <string>

namespace HostLaunchAtLogin {

// Applies the default once per build on a utility queue; `completion` gets
// the resulting text on the main queue.
void configureDefaultIfNeeded(std::function<void(const std::string&)> completion);
// Records the wish, registers or unregisters the login item, and returns
// the text to log ("Start at login enabled", or why it failed).
std::string setEnabled(bool enabled);
// The login item's status as a tooltip.
std::string statusText();

// Empties the cache: each test starts from a fresh login item.
void resetCacheForTesting();

}  // namespace HostLaunchAtLogin
