#pragma once
// Settings as plain key-value pairs, one binary property-list file per suite
// ("<suite>.plist" in Folders::preferences()). No defaults are registered:
// an absent key reads as false, 0, 0.0 or the empty string.
//
// The file is located afresh on every access (so a changed override root
// takes effect at once) and re-read when it changed on disk, so values
// another process wrote are seen. Every write replaces the file atomically.
// Safe to use from any thread.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>

#include "Platform/Files/FileIO.h"
#include "Platform/Foundation/PropertyList.h"

namespace platform {

class UserDefaults {
public:
    // The Host's own suite, "com.norvessal.host".
    static UserDefaults& standard();
    // A named suite such as "com.qarvex.velantrix.shared". The same name
    // always yields the same object; the Host's own name yields standard().
    static UserDefaults& suite(const std::string& name);

    const std::string& suiteName() const { return name_; }
    std::filesystem::path filePath() const;

    // Numbers and booleans convert into one another; strings such as "YES",
    // "true" or "42" convert into numbers and booleans.
    bool boolForKey(const std::string& key) const;
    int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    // Strings as stored; numbers in their decimal form.
    std::string stringForKey(const std::string& key) const;
    std::optional<PlistValue> objectForKey(const std::string& key) const;

    void set(const std::string& key, PlistValue value);
    void removeObject(const std::string& key);

    explicit UserDefaults(std::string suiteName);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

private:
    // Brings the cache up to date with the file; returns the file's path.
    std::filesystem::path refreshLocked() const;
    void persistLocked(const std::filesystem::path& path);

    const std::string name_;
    mutable std::mutex lock_;
    // The values of the file at cachedPath_, as of cachedStamp_.
    mutable std::filesystem::path cachedPath_;
    mutable FileStamp cachedStamp_;
    mutable PlistValue::Dictionary values_;
};

}  // namespace platform
