#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/FileTransfer/SendDestinationPicker.h"

using platform::PlistValue;

void SendDestinationMemory::remember(const SendDestinationResult& result) {
    // The detail line describes the device at the time; it is not kept.
    platform::UserDefaults::standard().set(defaultsKey, PlistValue::Dictionary{
                                                            {"peerID", result.peer.id},
                                                            {"peerName", result.peer.displayName},
                                                            {"destination", result.destination},
                                                            {"remember", result.remember},
                                                        });
}

// GCC 12 at -O3 takes the strings of the optional result for possibly
// uninitialized when it is destroyed (its -Wmaybe-uninitialized false
// positive on std::optional, GCC bug 80635).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
std::optional<SendDestinationResult> SendDestinationMemory::recall() {
    auto stored = platform::UserDefaults::standard().objectForKey(defaultsKey);
    if (!stored || !stored->isDictionary()) return std::nullopt;
    auto text = [&](const char* key) -> std::optional<std::string> {
        const PlistValue* value = (*stored)[key];
        return value ? value->asString() : std::nullopt;
    };
    auto id = text("peerID");
    auto name = text("peerName");
    auto destination = text("destination");
    if (!id || !name || !destination) return std::nullopt;
    const PlistValue* remember = (*stored)["remember"];
    return SendDestinationResult{{*id, *name, std::nullopt},
                                 *destination,
                                 remember ? remember->asBool().value_or(false) : false};
}
#pragma GCC diagnostic pop

void SendDestinationMemory::forget() { platform::UserDefaults::standard().removeObject(defaultsKey); }
