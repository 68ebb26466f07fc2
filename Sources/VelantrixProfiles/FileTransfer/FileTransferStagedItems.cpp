#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <string>

#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Uuid.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/WorkLedger.h"

namespace fs = std::filesystem;
using platform::FolderHandle;
using platform::Result;

namespace {
void logLeft(const std::string& text) {
    static std::mutex lock;
    static platform::LineRateLimiter limiter;
    std::lock_guard guard(lock);
    if (auto line = limiter.admit("staged items left", text)) platform::Log::line(*line);
}
}  // namespace

fs::path FileTransferStagedItems::inboxRoot() { return platform::Folders::caches() / "VelantrixFileInbox"; }

Result<FolderHandle> FileTransferStagedItems::open(const fs::path& folder, bool create) {
    const fs::path inbox = inboxRoot().lexically_normal();
    const fs::path wanted = folder.lexically_normal();
    if (!platform::Folders::contains(inbox, wanted))
        return Result<FolderHandle>::failure(wanted.string() + " is not in " + inbox.string());
    const fs::path top = inbox.parent_path();
    // The way down holds a folder and the next one below it: the one the
    // caller keeps is on its account already, the other is taken here from
    // whoever's work it is, while it is walked.
    const auto walking = platform::WorkLedger::Holding::take(platform::WorkLedger::current(),
                                                             platform::WorkLedger::Held::descriptors);
    if (!walking)
        return Result<FolderHandle>::failure(platform::WorkLedger::descriptorRefusal(
            platform::WorkLedger::current(), "cannot open staging " + wanted.string() + ": too many open descriptors"));
    auto opened = FolderHandle::open(top, create);
    for (const auto& element : wanted.lexically_relative(top)) {
        if (!opened) break;
        const std::string part = element.string();
        if (part.empty() || part == ".") continue;
        opened = opened->child(part, create);
    }
    if (!opened) logLeft("files: cannot open staging " + wanted.string() + ": " + opened.error());
    return opened;
}

Result<FolderHandle> FileTransferStagedItems::prepare(const fs::path& folder) {
    using R = Result<FolderHandle>;
    const fs::path inbox = inboxRoot().lexically_normal();
    const fs::path wanted = folder.lexically_normal();
    if (!platform::Folders::contains(inbox, wanted)) return R::failure(wanted.string() + " is not in " + inbox.string());
    const fs::path top = inbox.parent_path();
    auto opened = FolderHandle::open(top, true);
    fs::path reached = top;
    // Says once why nothing can be staged, naming the folder.
    auto unusable = [](const fs::path& place, const std::string& why) {
        platform::Log::line("files: staging folder " + place.string() + " cannot be used (" + why +
                            "); received files cannot be staged");
        return R::failure(place.string() + ": " + why);
    };
    if (!opened) return unusable(top, opened.error());
    for (const auto& element : wanted.lexically_relative(top)) {
        const std::string part = element.string();
        if (part.empty() || part == ".") continue;
        reached /= part;
        auto next = opened->child(part, true);
        if (!next) return unusable(reached, next.error());
        const int refused = platform::WriteAttempt::in(next->fd());
        if (refused != 0 && platform::WriteAttempt::lacksRights(refused)) {
            // Staging the process may not write would fail every batch: a
            // Host that ran as root before left it. Set aside, not removed.
            const std::string aside = part + ".unusable-" + platform::UUID::random().id8();
            if (::renameat(opened->fd(), part.c_str(), opened->fd(), aside.c_str()) != 0)
                return unusable(reached, platform::WriteAttempt::failureText("not this user's to write", refused) +
                                             "; " + platform::errnoFailureText("cannot set it aside"));
            platform::Log::line("files: staging folder " + reached.string() +
                                " is not this user's to write; set aside as " + aside);
            next = opened->child(part, true);
            if (!next) return unusable(reached, next.error());
        } else if (refused != 0) {
            // Not a matter of rights (a full disk, say): nothing is set
            // aside, batches try and fail on their own.
            platform::Log::line("files: staging folder " + reached.string() + " could not be checked: " +
                                platform::WriteAttempt::failureText("write", refused));
        }
        opened = std::move(next);
    }
    return opened;
}

size_t FileTransferStagedItems::remove(const std::vector<fs::path>& items) {
    // Removing the Host's own staging is never refused by a peer's bound:
    // the few folders it walks through are the Host's own, in the reserve
    // above the peers' total, whoever's work asked for it.
    const platform::WorkLedger::Charged hostsOwn(nullptr);
    size_t left = 0;
    std::string firstFailure;
    // Items of one batch share their folder: it is opened once.
    std::optional<std::pair<fs::path, Result<FolderHandle>>> folder;
    for (const auto& item : items) {
        const fs::path path = item.lexically_normal();
        const fs::path name = path.filename();
        const fs::path parent = path.parent_path();
        if (!folder || folder->first != parent) folder.emplace(parent, open(parent));
        platform::Status removed = platform::success();
        if (name.empty() || name == "." || name == "..") {
            removed = platform::Status::failure("not an item");
        } else if (!folder->second) {
            removed = platform::Status::failure(folder->second.error());
        } else if (platform::FileSystemItems::entryAt(folder->second->fd(), name.string())) {
            removed = platform::FileMoves::removeAt(folder->second->fd(), name);
        }
        if (!removed) {
            ++left;
            if (firstFailure.empty()) firstFailure = path.string() + ": " + removed.error();
        }
    }
    if (left > 0)
        logLeft("files: left " + std::to_string(left) + " staged item(s) in place: " + firstFailure);
    return left;
}

void FileTransferStagedItems::removeBatchFolderOf(const std::vector<fs::path>& items) {
    if (items.empty()) return;
    const platform::WorkLedger::Charged hostsOwn(nullptr);
    const fs::path batch = items.front().lexically_normal().parent_path();
    if (batch.filename().empty()) return;
    if (auto above = open(batch.parent_path())) (void)::unlinkat(above->fd(), batch.filename().c_str(), AT_REMOVEDIR);
}
