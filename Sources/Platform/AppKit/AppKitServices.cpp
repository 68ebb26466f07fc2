#include "Platform/AppKit/AppKitServices.h"

#include <algorithm>

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

const std::vector<ServiceDeclaration>& mainBundleServiceDeclarations() {
    // The Host's bundle offers one entry, for files chosen in the file
    // browser.
    static const std::vector<ServiceDeclaration> declarations{
        {"sendFilesToViewer", "Send files via Norvessal", {kPasteboardTypeFileURL}},
    };
    return declarations;
}

Pasteboard makeUniquePasteboard() {
    static std::atomic<uint64_t> next{1};
    return Pasteboard("Apple CFPasteboard unique-" + std::to_string(next++));
}

namespace {
std::vector<SimulatedPasteboards::Item> itemsOf(const Pasteboard& pasteboard) {
    return SimulatedMachine::current().component<SimulatedPasteboards>().withContents(
        pasteboard.name(), [](SimulatedPasteboards::Contents& c) { return c.items; });
}
std::optional<std::string> stringOf(const SimulatedPasteboards::Item& item, const PasteboardType& type) {
    auto it = item.find(type);
    if (it == item.end()) return std::nullopt;
    return std::string(it->second.begin(), it->second.end());
}
}  // namespace

std::vector<PasteboardObject> readURLObjects(const Pasteboard& pasteboard, bool fileURLsOnly) {
    std::vector<PasteboardObject> objects;
    for (const auto& item : itemsOf(pasteboard)) {
        if (item.count(kPasteboardTypeForeignObjectForTesting)) {
            objects.push_back({});
        } else if (auto file = stringOf(item, kPasteboardTypeFileURL)) {
            objects.push_back({*file});
        } else if (auto url = stringOf(item, kPasteboardTypeURL); url && !fileURLsOnly) {
            objects.push_back({*url});
        }
    }
    return objects;
}

std::optional<PlistValue> propertyListForType(const Pasteboard& pasteboard, const PasteboardType& type) {
    auto data = pasteboard.dataForType(type);
    if (!data) return std::nullopt;
    auto value = PropertyList::read(*data);
    if (!value.ok()) return std::nullopt;
    return std::move(*value);
}

std::vector<std::optional<std::string>> itemStringsForType(const Pasteboard& pasteboard, const PasteboardType& type) {
    std::vector<std::optional<std::string>> strings;
    for (const auto& item : itemsOf(pasteboard)) strings.push_back(stringOf(item, type));
    return strings;
}

std::optional<std::string> performServiceForTesting(const std::string& message, const Pasteboard& pasteboard,
                                                    const std::optional<std::string>& userData) {
    const auto& declared = mainBundleServiceDeclarations();
    const bool offered = std::any_of(declared.begin(), declared.end(),
                                     [&](const ServiceDeclaration& d) { return d.message == message; });
    auto provider = Application::shared().servicesProvider();
    std::optional<std::string> error;
    if (!offered || !provider || !provider->performService(message, pasteboard, userData, error))
        return "service unavailable";
    return error;
}

}  // namespace platform
