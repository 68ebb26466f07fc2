#pragma once
// Named pasteboards (the general one the clipboard uses, the one a drag in
// progress fills) as the Host reads and writes them, part of the headless
// AppKit model.
//
// A pasteboard holds an ordered list of items, each with data per type.
// Its change count rises by one with every clearContents(), as on a Mac, so
// a reader that polls it can tell that someone else has written since.
// Image objects are stored as their TIFF representation and file URLs as
// one "public.file-url" item each, as AppKit stores them.
//
// On the simulated machine the pasteboards live in memory
// (SimulatedPasteboards); any thread may read or write them.

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Media/BitmapImage.h"

namespace platform {

using PasteboardType = std::string;

inline const PasteboardType kPasteboardTypeString = "public.utf8-plain-text";
inline const PasteboardType kPasteboardTypePNG = "public.png";
inline const PasteboardType kPasteboardTypeTIFF = "public.tiff";
inline const PasteboardType kPasteboardTypeFileURL = "public.file-url";
// The older way to put files on a pasteboard: one item whose data is a
// property-list array of path strings.
inline const PasteboardType kPasteboardTypeLegacyFilenames = "NSFilenamesPboardType";

class Pasteboard {
public:
    static constexpr const char* generalName = "Apple CFPasteboard general";
    static constexpr const char* dragName = "Apple CFPasteboard drag";

    // Handles to the shared pasteboards; copies name the same pasteboard.
    static Pasteboard general();
    static Pasteboard drag();
    explicit Pasteboard(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }

    int changeCount() const;
    // Empties the pasteboard; returns the raised change count.
    int clearContents();

    // The types of every item, first appearance first.
    std::vector<PasteboardType> types() const;
    // From the first item that has the type.
    std::optional<std::vector<uint8_t>> dataForType(const PasteboardType& type) const;
    std::optional<std::string> stringForType(const PasteboardType& type) const;
    // Puts the type on the first item (creating it on an empty pasteboard).
    void setData(std::span<const uint8_t> data, const PasteboardType& type);
    void setString(const std::string& text, const PasteboardType& type);

    // One item per URL, in order. Relative paths are refused (false).
    bool writeFileURLs(const std::vector<std::filesystem::path>& paths);
    // The file URLs of the items in order (other URLs are skipped), else
    // the paths of a legacy "NSFilenamesPboardType" list.
    std::vector<std::filesystem::path> readFileURLs() const;
    // One item holding the image's TIFF representation; false when it has
    // none.
    bool writeImage(const BitmapImage& image);

    // A file URL as AppKit writes it: "file://" and the percent-escaped path.
    static std::string fileURLString(const std::filesystem::path& path);
    // The path of a "file://" URL; none for other or malformed URLs.
    static std::optional<std::filesystem::path> pathFromFileURLString(const std::string& url);

private:
    std::string name_;
};

// The pasteboards of the simulated machine. Reached through
// SimulatedMachine::current().component<SimulatedPasteboards>().
class SimulatedPasteboards {
public:
    using Item = std::map<PasteboardType, std::vector<uint8_t>>;
    struct Contents {
        int changeCount = 0;
        std::vector<Item> items;
    };

    // Runs `f` on the named pasteboard's contents under the lock.
    template <class F>
    auto withContents(const std::string& name, F&& f) {
        std::lock_guard<std::mutex> g(lock_);
        return f(pasteboards_[name]);
    }

private:
    std::mutex lock_;
    std::map<std::string, Contents> pasteboards_;
};

}  // namespace platform
