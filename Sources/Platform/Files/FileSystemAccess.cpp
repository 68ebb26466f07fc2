#include "Platform/Files/FileSystemAccess.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "Platform/Foundation/PropertyList.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace {

SimulatedSecurityScopes& scopes() { return SimulatedMachine::current().component<SimulatedSecurityScopes>(); }

std::optional<struct stat> statOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

}  // namespace

std::string standardizedPath(const std::string& path) {
    if (path.empty()) return path;
    std::string out = std::filesystem::path(path).lexically_normal().generic_string();
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out.empty() ? "." : out;
}

std::string lastPathComponent(const std::string& path) {
    const auto standard = standardizedPath(path);
    if (standard == "/") return standard;
    const auto slash = standard.rfind('/');
    return slash == std::string::npos ? standard : standard.substr(slash + 1);
}

Result<std::vector<DirectoryItem>> FileSystemAccess::listDirectory(const std::string& path) {
    if (scopes().failingListings.count(standardizedPath(path)))
        return Result<std::vector<DirectoryItem>>::failure("listing refused: " + path);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir) return Result<std::vector<DirectoryItem>>::failure("cannot open folder: " + path);
    std::vector<DirectoryItem> items;
    const std::string base = path.ends_with('/') ? path : path + "/";
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.empty() || name.front() == '.') continue;
        DirectoryItem item{name, base + name};
        if (auto st = statOf(item.path)) {
            item.hasResourceValues = true;
            item.isDirectory = S_ISDIR(st->st_mode);
            item.size = item.isDirectory ? 0 : static_cast<uint64_t>(st->st_size);
            item.modificationDate = Date{double(st->st_mtim.tv_sec) + double(st->st_mtim.tv_nsec) / 1e9};
        }
        items.push_back(std::move(item));
    }
    return items;
}

bool FileSystemAccess::isDirectory(const std::string& path) {
    auto st = statOf(path);
    return st && S_ISDIR(st->st_mode);
}

bool FileSystemAccess::isReadable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

Result<std::vector<uint8_t>> FileSystemAccess::bookmarkData(const std::string& path, uint64_t options) {
    (void)options;
    const auto standard = standardizedPath(path);
    auto st = statOf(standard);
    if (!st || !S_ISDIR(st->st_mode)) return Result<std::vector<uint8_t>>::failure("no folder at " + path);
    PlistValue::Dictionary dict;
    dict["path"] = standard;
    dict["device"] = static_cast<uint64_t>(st->st_dev);
    dict["inode"] = static_cast<uint64_t>(st->st_ino);
    return PropertyList::writeBinary(PlistValue(std::move(dict)));
}

Result<FileSystemAccess::ResolvedBookmark> FileSystemAccess::resolveBookmarkData(const std::vector<uint8_t>& data,
                                                                                 uint64_t options) {
    (void)options;
    using R = Result<ResolvedBookmark>;
    auto value = PropertyList::read(data);
    if (!value) return R::failure("bookmark does not decode");
    const auto* path = (*value)["path"];
    const auto* device = (*value)["device"];
    const auto* inode = (*value)["inode"];
    if (!path || !device || !inode || !path->asString() || !device->asUnsigned() || !inode->asUnsigned())
        return R::failure("bookmark does not decode");
    auto st = statOf(*path->asString());
    if (!st) return R::failure("bookmarked folder is gone");
    const bool stale = static_cast<uint64_t>(st->st_dev) != *device->asUnsigned() ||
                       static_cast<uint64_t>(st->st_ino) != *inode->asUnsigned();
    return ResolvedBookmark{*path->asString(), stale};
}

bool FileSystemAccess::startAccessingSecurityScopedResource(const std::string& path) {
    auto& s = scopes();
    const auto standard = standardizedPath(path);
    const auto answer = s.answers.find(standard);
    const bool granted = answer != s.answers.end() ? answer->second : isDirectory(standard) && isReadable(standard);
    if (granted) ++s.open[standard];
    return granted;
}

void FileSystemAccess::stopAccessingSecurityScopedResource(const std::string& path) {
    auto& s = scopes();
    const auto standard = standardizedPath(path);
    s.stopped.push_back(standard);
    if (auto it = s.open.find(standard); it != s.open.end() && --it->second <= 0) s.open.erase(it);
}

void FileSystemAccess::setListingFailureForTesting(const std::string& path, bool fails) {
    auto& failing = scopes().failingListings;
    if (fails)
        failing.insert(standardizedPath(path));
    else
        failing.erase(standardizedPath(path));
}

void FileSystemAccess::setScopeAnswerForTesting(const std::string& path, std::optional<bool> answer) {
    auto& answers = scopes().answers;
    if (answer)
        answers[standardizedPath(path)] = *answer;
    else
        answers.erase(standardizedPath(path));
}

}  // namespace platform
