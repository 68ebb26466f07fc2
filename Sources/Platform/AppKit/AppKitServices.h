#pragma once
// The Services of the headless AppKit model: the messages the main bundle
// declares, the provider object the application hands a Services request
// to, and the reads a provider makes of the request's pasteboard (URL
// objects, property lists, each item's string for a type). Nothing reaches
// a desktop environment: tests perform a service the way a Services menu
// item would. Main thread only, like AppKit.

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AppKit/Pasteboard.h"
#include "Platform/Foundation/PropertyList.h"

namespace platform {

// URLs that are not file URLs.
inline const PasteboardType kPasteboardTypeURL = "public.url";
// An item holding this type reads back, among URL objects, as an object
// that is not a URL: what a misbehaving provider of pasteboard data hands
// back, so tests can check that a reader does not take it for one.
inline const PasteboardType kPasteboardTypeForeignObjectForTesting = "org.norvessal.test.foreign-object";

// One entry of the bundle's Services declarations.
struct ServiceDeclaration {
    // The message the provider is sent ("sendFilesToViewer").
    std::string message;
    std::string menuItemTitle;
    // The pasteboard types the entry accepts.
    std::vector<PasteboardType> sendTypes;
    bool operator==(const ServiceDeclaration&) const = default;
};

// The Services the main bundle declares.
const std::vector<ServiceDeclaration>& mainBundleServiceDeclarations();

// The object the application sends Services messages to.
class ServicesProvider {
public:
    virtual ~ServicesProvider() = default;
    // False when the provider has no method for `message`. `error` is the
    // out-parameter the method may set.
    virtual bool performService(const std::string& message, const Pasteboard& pasteboard,
                                const std::optional<std::string>& userData, std::optional<std::string>& error) = 0;
};

// A pasteboard of its own, as the system makes for one Services request.
Pasteboard makeUniquePasteboard();

// One object read back for the URL class: a URL (its string) or anything
// else.
struct PasteboardObject {
    std::optional<std::string> urlString;
};
// The objects of the URL class, one per item that can give one, in item
// order; with `fileURLsOnly`, URLs other than file URLs are left out.
std::vector<PasteboardObject> readURLObjects(const Pasteboard& pasteboard, bool fileURLsOnly);
// The property list stored for the type on the first item that has it.
std::optional<PlistValue> propertyListForType(const Pasteboard& pasteboard, const PasteboardType& type);
// Each item's string for the type (none for an item without it).
std::vector<std::optional<std::string>> itemStringsForType(const Pasteboard& pasteboard, const PasteboardType& type);

// What a Services menu item does: checks that the main bundle declares the
// message, then sends it to the application's provider. Returns the error
// text the provider set; "service unavailable" when the message is not
// declared or nobody provides it.
std::optional<std::string> performServiceForTesting(const std::string& message, const Pasteboard& pasteboard,
                                                    const std::optional<std::string>& userData = std::nullopt);

}  // namespace platform
