#pragma once
// One clipboard change as Host and Viewer exchange it (the whole payload of
// an aux type 27 packet, both ways): a binary property list of the value
// below, with its items and their files nested as dictionaries.
//
// Decoding accepts any property-list format and is all or nothing: a
// missing required key, a value of the wrong type or an unknown kind fails
// the whole transfer; unknown keys are ignored.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/Result.h"

enum class ClipboardTransferItemKind { text, image, files };

std::string_view rawValue(ClipboardTransferItemKind kind);
std::optional<ClipboardTransferItemKind> clipboardTransferItemKindFromRaw(std::string_view raw);

// One file carried whole. The receiver cleans `filename` before use.
struct ClipboardTransferFile {
    std::string filename;
    std::string typeIdentifier;
    std::vector<uint8_t> data;

    platform::PlistValue propertyList() const;
    static platform::Result<ClipboardTransferFile> fromPropertyList(const platform::PlistValue& value);
    bool operator==(const ClipboardTransferFile&) const = default;
};

// One clipboard item. Which optional field is present is not tied to
// `kind`; the receiver checks the field its kind names.
struct ClipboardTransferItem {
    ClipboardTransferItemKind kind = ClipboardTransferItemKind::text;
    std::optional<std::string> text;
    std::optional<std::vector<uint8_t>> imageData;
    std::optional<std::string> imageTypeIdentifier;  // "public.png" from the Host
    std::vector<ClipboardTransferFile> files;        // empty for text and images

    platform::PlistValue propertyList() const;
    static platform::Result<ClipboardTransferItem> fromPropertyList(const platform::PlistValue& value);
    bool operator==(const ClipboardTransferItem&) const = default;
};

struct ClipboardTransfer {
    // The sending bridge, drawn once when it was created.
    std::string sourceID;
    // The sender's count of transfers, from 1.
    uint64_t sequence = 0;
    // The sender's uptime when it built the transfer; not interpreted here.
    uint64_t generatedAtNs = 0;
    // The Host sends one item and uses only the first it receives.
    std::vector<ClipboardTransferItem> items;

    // The binary property list. Fails for a text holding a NUL character,
    // which a property-list string cannot carry whole.
    platform::Result<std::vector<uint8_t>> encodedData() const;
    // Why encodedData() would fail whatever the moment (a string holding a
    // NUL, which a property list cannot carry), or none.
    std::optional<std::string> encodingProblem() const;
    static platform::Result<ClipboardTransfer> decode(std::span<const uint8_t> data);

    platform::PlistValue propertyList() const;
    static platform::Result<ClipboardTransfer> fromPropertyList(const platform::PlistValue& value);
    bool operator==(const ClipboardTransfer&) const = default;
};
