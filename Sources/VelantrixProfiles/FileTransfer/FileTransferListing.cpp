// Directory listings of FileTransferService: answering a peer's request
// for a folder inside this user's home, and handing a reply to the hook.

#include <algorithm>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

#include "Platform/ConfinedFolder.h"
#include "Platform/FileHandles.h"
#include "Platform/Folders.h"
#include "Platform/TextCollation.h"
#include "Platform/UnicodeText.h"
#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

using platform::UUID;

namespace {

// "~" and "~/x" name the home folder; "~user/x" that user's home.
std::string expandingTilde(const std::string& path, const std::string& home) {
    if (path.empty() || path[0] != '~') return path;
    const size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string base = home;
    if (!user.empty()) {
        struct passwd* pw = ::getpwnam(user.c_str());
        if (!pw || !pw->pw_dir) return path;
        base = pw->pw_dir;
    }
    return slash == std::string::npos ? base : base + path.substr(slash);
}

// Removes ".", ".." and repeated separators without touching the disk; a
// relative path is taken from "/".
std::string standardized(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        auto part = path.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = slash + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

}  // namespace

UUID FileTransferService::requestDirectoryListing(const std::string& path,
                                                  const std::optional<std::string>& routingToken) {
    const UUID id = UUID::random();
    FileTransferPacket packet;
    packet.op = FileTransferOp::listDir;
    packet.batchID = id;
    packet.path = path;
    send(std::move(packet), routingToken);
    return id;
}

void FileTransferService::handleListDirRequest(const FileTransferPacket& packet) {
    const auto homeHook = listingHome.get();
    const std::filesystem::path homeFolder = homeHook ? homeHook() : platform::Folders::home();
    const std::string home = homeFolder.empty() ? std::string() : standardized(homeFolder.string());
    const std::string requested(platform::UnicodeText::trimmingWhitespace(packet.path));
    const std::string examined =
        standardized(requested.empty() || requested == "~" ? home : expandingTilde(requested, home));

    // Both sides with their links resolved: a link inside home that leads
    // out of it is outside.
    std::error_code error;
    const auto resolvedHome = std::filesystem::canonical(home, error);
    const auto resolved = error ? std::filesystem::path() : std::filesystem::canonical(examined, error);
    std::vector<RemoteDirectoryEntry> entries;
    const bool allowed = !error && !home.empty() && platform::Folders::contains(resolvedHome, resolved);
    if (!allowed && !error && !home.empty()) {
        if (FileTransferReceiveState::mayLogNow(receive_.lastListingRefusalLineNs, platform::Clock::uptimeNs())) {
            if (auto hook = onLogLine.get()) hook("file transfer: refused listing outside home: " + examined);
        }
    }
    // Read beneath the home without following a link: a folder swapped for
    // one since the check lists nothing rather than what it leads to.
    std::shared_ptr<platform::ConfinedFolder> folder;
    if (allowed) {
        if (auto top = platform::ConfinedFolder::openTop(resolvedHome))
            if (auto opened = (*top)->openBeneath(resolved.lexically_relative(resolvedHome), false)) folder = *opened;
    }
    if (folder) {
        if (auto items = folder->list()) {
            for (auto& item : *items) {
                const bool isDir = item.kind == platform::FileSystemEntryKind::folder;
                entries.push_back({item.name, isDir, item.size, item.modificationDate});
            }
        }
    }
    const platform::TextCollation collation;
    std::stable_sort(entries.begin(), entries.end(), [&](const RemoteDirectoryEntry& a, const RemoteDirectoryEntry& b) {
        if (a.isDirectory != b.isDirectory) return a.isDirectory;
        return collation.compareCaseInsensitive(a.name, b.name) < 0;
    });

    auto data = RemoteDirectoryEntry::encodeListing(entries);
    if (data.size() > maxListingReplyBytes) {
        // A reply must fit one data-channel frame: keep the first entries
        // of the sorted list that do.
        size_t keep = entries.size();
        while (keep > 0 && data.size() > maxListingReplyBytes) {
            keep = keep * maxListingReplyBytes / data.size();
            entries.resize(keep);
            data = RemoteDirectoryEntry::encodeListing(entries);
        }
        const size_t total = keep;
        onMain([examined, total](FileTransferService& self) {
            self.status("listing of " + examined + " cut to its first " + std::to_string(total) + " entries");
        });
    }
    FileTransferPacket reply;
    reply.op = FileTransferOp::listDirReply;
    reply.batchID = packet.batchID;
    reply.path = examined;
    reply.data = std::move(data);
    send(std::move(reply), std::nullopt);
}

void FileTransferService::handleListDirReply(const FileTransferPacket& packet) {
    auto entries = RemoteDirectoryEntry::decodeListing(packet.data);
    onMain([id = packet.batchID, path = packet.path, entries = std::move(entries)](FileTransferService& self) {
        if (auto hook = self.onDirectoryListing.get()) hook(id, path, entries);
    });
}
