#pragma once
// An application bundle: a folder with its information values, its
// resources and its localisation tables. The main bundle is the folder of the
// running executable; its resources sit in "Resources" beside it, one
// "<language>.lproj" folder per translation holding "Localizable.strings".
//
// Tables are read on demand and kept while their file is unchanged, so a
// lookup after an edit (or a language change) sees the new text at once.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Bundle {
public:
    // The bundle of the running program, or the one a test installed.
    static Bundle main();
    // Installs the bundle main() returns; nullopt restores the real one.
    static void setMainForTesting(std::optional<Bundle> bundle);

    // A bundle at an existing folder; nothing when the folder does not
    // exist. Its information values are the string values of its
    // "Contents/Info.plist" (XML or binary), none when it has no readable one
    // (a bare ".lproj" folder).
    static std::optional<Bundle> open(const std::filesystem::path& folder);

    Bundle(std::filesystem::path path, std::optional<std::filesystem::path> executablePath,
           std::map<std::string, std::string> info);

    const std::filesystem::path& bundlePath() const { return path_; }
    const std::optional<std::filesystem::path>& executablePath() const { return executable_; }
    // An information value such as "CFBundleShortVersionString".
    std::optional<std::string> infoString(const std::string& key) const;

    // The folder that holds resources: "Resources" inside the bundle when
    // present, else the bundle folder itself (a flat bundle).
    std::filesystem::path resourcePath() const;
    // "<resourcePath>/<name>.<type>" when it exists.
    std::optional<std::filesystem::path> pathForResource(const std::string& name, const std::string& type) const;
    // The identifiers of the translations the bundle carries ("de", "zh-Hans").
    std::vector<std::string> localizations() const;
    // The translation used for lookups: the first of the user's preferred
    // languages the bundle carries (exactly, as its Chinese script, or by its
    // language alone); nothing means the English texts of the code itself.
    std::optional<std::string> preferredLocalization() const;

    // The text for `key` in `table` ("Localizable" when empty) of the
    // preferred translation, else of the bundle's own unlocalised table;
    // `value` when neither has the key (the key itself when `value` is empty).
    std::string localizedString(const std::string& key, const std::string& value, const std::string& table = "") const;

private:
    std::filesystem::path path_;
    std::optional<std::filesystem::path> executable_;
    std::map<std::string, std::string> info_;
};

}  // namespace platform
