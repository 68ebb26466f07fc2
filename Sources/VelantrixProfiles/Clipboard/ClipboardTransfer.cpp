#include "VelantrixProfiles/Clipboard/ClipboardTransfer.h"

#include <utility>

using platform::PlistValue;
using platform::Result;

namespace {

// Reads the keys of one dictionary level. The first failure sticks and
// names the key and where it sits, so a decoder reads every field and
// checks once.
class Level {
public:
    Level(const PlistValue& value, std::string where) : where_(std::move(where)), dict_(value.asDictionary()) {
        if (!dict_) error_ = where_ + " is not a dictionary";
    }

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& where() const { return where_; }
    void fail(std::string text) {
        if (error_.empty()) error_ = std::move(text);
    }

    std::string string(const char* key) { return optionalString(key, true).value_or(std::string()); }
    std::optional<std::string> optionalString(const char* key, bool required = false) {
        return read<std::string>(key, required, "string", [](const PlistValue& v) { return v.asString(); });
    }
    uint64_t unsignedInteger(const char* key) {
        // A negative integer is as wrong as a real or a string: the value
        // is unsigned 64-bit on both sides.
        return read<uint64_t>(key, true, "unsigned integer", [](const PlistValue& v) { return v.asUnsigned(); })
            .value_or(0);
    }
    std::vector<uint8_t> data(const char* key) { return optionalData(key, true).value_or(std::vector<uint8_t>()); }
    std::optional<std::vector<uint8_t>> optionalData(const char* key, bool required = false) {
        return read<std::vector<uint8_t>>(key, required, "data", [](const PlistValue& v) {
            auto d = v.asData();
            return d ? std::optional<std::vector<uint8_t>>(*d) : std::nullopt;
        });
    }
    const PlistValue::Array* array(const char* key) {
        static const PlistValue::Array empty;
        const PlistValue* v = lookup(key, true);
        if (!v) return &empty;
        if (!v->isArray()) {
            wrongType(key, "array");
            return &empty;
        }
        return v->asArray();
    }

private:
    template <class T, class Get>
    std::optional<T> read(const char* key, bool required, const char* expected, Get get) {
        const PlistValue* v = lookup(key, required);
        if (!v) return std::nullopt;
        std::optional<T> value = get(*v);
        if (!value) wrongType(key, expected);
        return value;
    }
    const PlistValue* lookup(const char* key, bool required) {
        if (!dict_) return nullptr;
        auto it = dict_->find(key);
        if (it != dict_->end()) return &it->second;
        if (required) fail("missing key \"" + std::string(key) + "\" in " + where_);
        return nullptr;
    }
    void wrongType(const char* key, const char* expected) {
        fail("wrong type for \"" + std::string(key) + "\" in " + where_ + " (expected " + expected + ")");
    }

    std::string where_;
    const PlistValue::Dictionary* dict_;
    std::string error_;
};

Result<ClipboardTransferFile> decodeFile(const PlistValue& value, std::string where) {
    Level level(value, std::move(where));
    ClipboardTransferFile file;
    file.filename = level.string("filename");
    file.typeIdentifier = level.string("typeIdentifier");
    file.data = level.data("data");
    if (!level.ok()) return Result<ClipboardTransferFile>::failure(level.error());
    return file;
}

Result<ClipboardTransferItem> decodeItem(const PlistValue& value, std::string where) {
    using R = Result<ClipboardTransferItem>;
    Level level(value, std::move(where));
    ClipboardTransferItem item;
    const std::string kind = level.string("kind");
    const auto* files = level.array("files");
    item.text = level.optionalString("text");
    item.imageData = level.optionalData("imageData");
    item.imageTypeIdentifier = level.optionalString("imageTypeIdentifier");
    if (!level.ok()) return R::failure(level.error());
    auto parsedKind = clipboardTransferItemKindFromRaw(kind);
    // The failure ends up in a log line: the sender's text stays out of it,
    // only its length goes in.
    if (!parsedKind)
        return R::failure("unknown kind (" + std::to_string(kind.size()) + " bytes) in " + level.where());
    item.kind = *parsedKind;
    item.files.reserve(files->size());
    for (size_t i = 0; i < files->size(); ++i) {
        auto file = decodeFile((*files)[i], level.where() + ".files[" + std::to_string(i) + "]");
        if (!file.ok()) return R::failure(file.error());
        item.files.push_back(std::move(*file));
    }
    return item;
}

bool holdsNul(const std::string& s) { return s.find('\0') != std::string::npos; }

}  // namespace

std::string_view rawValue(ClipboardTransferItemKind kind) {
    switch (kind) {
        case ClipboardTransferItemKind::text: return "text";
        case ClipboardTransferItemKind::image: return "image";
        case ClipboardTransferItemKind::files: return "files";
    }
    return "text";
}

std::optional<ClipboardTransferItemKind> clipboardTransferItemKindFromRaw(std::string_view raw) {
    for (auto kind : {ClipboardTransferItemKind::text, ClipboardTransferItemKind::image, ClipboardTransferItemKind::files})
        if (rawValue(kind) == raw) return kind;
    return std::nullopt;
}

// --- Files ---------------------------------------------------------------------------

PlistValue ClipboardTransferFile::propertyList() const {
    PlistValue v;
    v.set("filename", filename);
    v.set("typeIdentifier", typeIdentifier);
    v.set("data", data);
    return v;
}

Result<ClipboardTransferFile> ClipboardTransferFile::fromPropertyList(const PlistValue& value) {
    return decodeFile(value, "file");
}

// --- Items ---------------------------------------------------------------------------

PlistValue ClipboardTransferItem::propertyList() const {
    PlistValue v;
    v.set("kind", std::string(rawValue(kind)));
    // Absent values are left out, never written as an empty value.
    if (text) v.set("text", *text);
    if (imageData) v.set("imageData", *imageData);
    if (imageTypeIdentifier) v.set("imageTypeIdentifier", *imageTypeIdentifier);
    PlistValue::Array list;
    list.reserve(files.size());
    for (const auto& file : files) list.push_back(file.propertyList());
    v.set("files", std::move(list));
    return v;
}

Result<ClipboardTransferItem> ClipboardTransferItem::fromPropertyList(const PlistValue& value) {
    return decodeItem(value, "item");
}

// --- Transfers -----------------------------------------------------------------------

PlistValue ClipboardTransfer::propertyList() const {
    PlistValue v;
    v.set("sourceID", sourceID);
    v.set("sequence", sequence);
    v.set("generatedAtNs", generatedAtNs);
    PlistValue::Array list;
    list.reserve(items.size());
    for (const auto& item : items) list.push_back(item.propertyList());
    v.set("items", std::move(list));
    return v;
}

Result<ClipboardTransfer> ClipboardTransfer::fromPropertyList(const PlistValue& value) {
    using R = Result<ClipboardTransfer>;
    Level level(value, "transfer");
    ClipboardTransfer transfer;
    transfer.sourceID = level.string("sourceID");
    transfer.sequence = level.unsignedInteger("sequence");
    transfer.generatedAtNs = level.unsignedInteger("generatedAtNs");
    const auto* items = level.array("items");
    if (!level.ok()) return R::failure(level.error());
    transfer.items.reserve(items->size());
    for (size_t i = 0; i < items->size(); ++i) {
        auto item = decodeItem((*items)[i], "items[" + std::to_string(i) + "]");
        if (!item.ok()) return R::failure(item.error());
        transfer.items.push_back(std::move(*item));
    }
    return transfer;
}

std::optional<std::string> ClipboardTransfer::encodingProblem() const {
    auto cut = [](const char* what) { return std::string(what) + " holds a NUL character"; };
    if (holdsNul(sourceID)) return cut("sourceID");
    for (const auto& item : items) {
        if (item.text && holdsNul(*item.text)) return cut("text");
        if (item.imageTypeIdentifier && holdsNul(*item.imageTypeIdentifier)) return cut("imageTypeIdentifier");
        for (const auto& file : item.files)
            if (holdsNul(file.filename) || holdsNul(file.typeIdentifier)) return cut("file name or type");
    }
    return std::nullopt;
}

Result<std::vector<uint8_t>> ClipboardTransfer::encodedData() const {
    if (auto problem = encodingProblem()) return Result<std::vector<uint8_t>>::failure(*problem);
    return platform::PropertyList::writeBinary(propertyList());
}

Result<ClipboardTransfer> ClipboardTransfer::decode(std::span<const uint8_t> data) {
    auto root = platform::PropertyList::read(data);
    if (!root.ok()) return Result<ClipboardTransfer>::failure(root.error());
    return fromPropertyList(*root);
}
