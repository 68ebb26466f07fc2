#pragma once
// Apple events as the Host receives them: handlers installed per event class
// and identifier, and events that carry at most a direct-object string (a
// URL for 'GURL'). Events reach the Host only from outside (the installer,
// the updater); their senders exist only on a Mac, so here the simulated
// machine delivers them, on the main queue, when a test sends one.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace platform {

// A four-character code such as 'aevt' or 'GURL'.
constexpr uint32_t fourCharCode(const char (&code)[5]) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8) | static_cast<uint32_t>(static_cast<uint8_t>(code[3]));
}

inline constexpr uint32_t kCoreEventClass = fourCharCode("aevt");
inline constexpr uint32_t kAEQuitApplication = fourCharCode("quit");
inline constexpr uint32_t kInternetEventClass = fourCharCode("GURL");
inline constexpr uint32_t kAEGetURL = fourCharCode("GURL");

struct AppleEvent {
    uint32_t eventClass = 0;
    uint32_t eventID = 0;
    std::optional<std::string> directObject;
};

class AppleEventManager {
public:
    // The manager of the simulated machine in force.
    static AppleEventManager& shared();

    using Handler = std::function<void(const AppleEvent& event, AppleEvent& reply)>;
    // Replaces any handler of the same class and identifier.
    void setEventHandler(uint32_t eventClass, uint32_t eventID, Handler handler);
    void removeEventHandler(uint32_t eventClass, uint32_t eventID);
    bool hasEventHandler(uint32_t eventClass, uint32_t eventID) const;

    // An event arrives from outside: it is handed to its handler on the main
    // queue; an event without a handler is dropped. Any thread.
    void deliverFromOutside(AppleEvent event);

private:
    std::map<std::pair<uint32_t, uint32_t>, Handler> handlers_;
};

}  // namespace platform
