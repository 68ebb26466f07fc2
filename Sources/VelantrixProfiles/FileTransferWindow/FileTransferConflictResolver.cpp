#include "VelantrixProfiles/FileTransferWindow/FileTransferConflictResolver.h"

#include <cerrno>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Formatters.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/Runtime/WorkLedger.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"

using platform::FileMoves;
namespace fs = std::filesystem;

// One deliver call. Held only by the work queued for it and, while a
// conflict sheet is open, by the sheet's completion. Its file work (moves,
// copies across file systems, backups, removals) runs on the resolver's own
// disk queue, its sheets and its completion on the main queue; each step
// hands the operation to the next, so only one step at a time touches its
// state.
class FileTransferConflictResolver::DeliveryOperation : public std::enable_shared_from_this<DeliveryOperation> {
public:
    DeliveryOperation(std::vector<fs::path> staged, fs::path destination,
                      std::shared_ptr<platform::ConfinedFolder> opened, std::shared_ptr<platform::Window> parent,
                      bool prompt, bool backupBeforeOverwrite,
                      std::function<void(const FileTransferDeliveryResult&)> completion,
                      std::function<bool()> shouldStop)
        : destination_(opened ? opened->path() : std::move(destination)),
          folder_(std::move(opened)),
          parentWindow_(std::move(parent)),
          shouldPromptForConflicts_(prompt),
          backupBeforeOverwrite_(backupBeforeOverwrite),
          completion_(std::move(completion)),
          shouldStop_(std::move(shouldStop)),
          remainingURLs_(std::move(staged)) {
        if (backupBeforeOverwrite_) backupRoot_ = backupRootForNow();
    }

    // Any thread.
    void start() {
        onDisk([](DeliveryOperation& self) { self.prepareDestination(); });
    }

    // Main queue: the open question, if any, ends as its Stop would.
    void endQuestion() {
        platform::DispatchQueue::main().dispatchPrecondition();
        if (auto question = question_.lock()) question->endWithResponse(platform::kAlertSecondButtonReturn);
        // Nor does a wait for room hold it.
        onDisk([](DeliveryOperation& self) {
            if (self.waitingForRoom_ && self.stopRequested()) self.stopHere(self.stopWaitingForRoom());
        });
    }

private:
    // The queue for everything that waits on the disk; never the main one.
    // One serial queue for every delivery, so that the check for a free
    // name and the move into it are never split by another delivery's
    // move into the same folder. Made afresh for each runtime a test
    // installs.
    static platform::DispatchQueue diskQueue() {
        static std::mutex lock;
        static std::optional<platform::DispatchQueue> queue;
        static uint64_t madeForInstall = 0;
        std::lock_guard<std::mutex> guard(lock);
        if (!queue || madeForInstall != platform::Runtime::installCount()) {
            queue.emplace("FileTransferConflictResolver.disk");
            madeForInstall = platform::Runtime::installCount();
        }
        return *queue;
    }

    void onDisk(std::function<void(DeliveryOperation&)> step) {
        // Each step is the delivery's, whoever answered the question it
        // resumes after (the Host's user, on the main queue).
        diskQueue().async([self = shared_from_this(), step = std::move(step)] {
            const platform::WorkLedger::Charged charged(self->ledger_);
            const platform::WorkLedger::Reserve::Use drawing(self->reserve_);
            step(*self);
        });
    }
    void onMain(std::function<void(DeliveryOperation&)> step) {
        platform::DispatchQueue::main().async([self = shared_from_this(), step = std::move(step)] { step(*self); });
    }

    // Disk queue.
    void prepareDestination() {
        // A folder not opened yet is the user's own choice: opened by its
        // path, made when missing, on its peer's account for as long as the
        // delivery keeps it (from the room taken for it, when there is).
        if (!folder_) {
            std::optional<platform::WorkLedger::Holding> held;
            {
                // Kept for as long as the delivery: never the moves' room.
                const platform::WorkLedger::Reserve::Use none(nullptr);
                held = platform::WorkLedger::Holding::take(ledger_, platform::WorkLedger::Held::descriptors);
            }
            if (held) {
                if (auto opened = platform::ConfinedFolder::openTop(destination_, true)) {
                    folder_ = *opened;
                    folderDescriptor_ = std::move(*held);
                }
            }
        }
        if (!folder_) {
            for (const auto& url : remainingURLs_) result_.noteFailed(url.filename().string());
            removeRemainingStagedURLs();
            return finish();
        }
        processNext();
    }

    // Disk queue.
    void processNext() {
        diskQueue().dispatchPrecondition();
        while (!didFinish_) {
            if (remainingURLs_.empty()) return finish();
            if (stopRequested()) return stopHere(std::nullopt);
            const fs::path source = remainingURLs_.front();
            remainingURLs_.erase(remainingURLs_.begin());
            const std::string target = source.filename().string();
            // An item whose staging folder cannot be opened the way staging
            // is (a link on its way) is not reached at all: it stays staged.
            if (!stagingOf(source)) {
                result_.noteFailed(source.filename().string());
                continue;
            }
            // Deliveries that are not the resolver's move into the same
            // folder meanwhile: a name taken after the check is a clash too.
            if (folder_->isTaken(target) || !moveUnlessTaken(source, target))
                return resolveConflict(source, target);
        }
    }

    // Into a free name only; a failure leaves the item staged, and what
    // an undo could not take back out of the folder is counted. False,
    // with nothing moved or counted, when something took the name after it
    // was found free. Disk queue.
    bool moveUnlessTaken(const fs::path& source, const std::string& target) {
        const std::string name = source.filename().string();
        const platform::FolderHandle* staging = stagingOf(source);
        if (!staging) {
            result_.noteFailed(name);
            return true;
        }
        errno = 0;
        platform::MoveReport report;
        if (folder_->moveIn(*staging, name, target, &report)) {
            result_.deliveredURLs.push_back(destination_ / target);
            return true;
        }
        if (errno == EEXIST && report.leftAtTarget == 0) return false;
        result_.noteFailed(name, report.leftAtTarget);
        return true;
    }

    // Under the first free "name copy" variant, the next one when that is
    // taken before the move. Disk queue.
    void moveKeepingBoth(const fs::path& source, const std::string& target) {
        for (int attempt = 0; attempt <= FileMoves::maxNameVariants; ++attempt)
            if (moveUnlessTaken(source, uniqueName(*folder_, target))) return;
        result_.noteFailed(source.filename().string());
    }

    // Disk queue: what the sheet shows is read here, the sheet itself is
    // put up on the main queue, and the answer comes back here.
    void resolveConflict(const fs::path& source, const std::string& target) {
        if (applyToAllChoice_) return apply(*applyToAllChoice_, source, target);
        if (!shouldPromptForConflicts_) {
            moveKeepingBoth(source, target);
            return processNext();
        }
        auto [existingSize, existingDate] = resourceValues(*folder_, target);
        auto [newSize, newDate] = stagedValues(source);
        const FileTransferConflictAlert::Info info{target, existingSize, existingDate,
                                                   newSize, newDate, remainingConflictCount()};
        // A person may take long to answer: the room for the moves is the
        // peer's meanwhile, taken again once there is an answer.
        reserve_.reset();
        onMain([info, source, target](DeliveryOperation& self) { self.askAboutConflict(info, source, target); });
    }

    // Runs `step` once this delivery has room for a move: at once when it
    // holds it or its peer has it now, else once the peer gives some back.
    // Should the peer go meanwhile, or the delivery be stopped, nothing
    // more moves: `current` (taken off the list already) and the rest
    // leave staging. Disk queue.
    void withRoomForAMove(const fs::path& current, std::function<void(DeliveryOperation&)> step) {
        diskQueue().dispatchPrecondition();
        if (!ledger_ || reserve_) return step(*this);
        if ((reserve_ = platform::WorkLedger::Reserve::take(ledger_, kMoveDescriptors))) {
            const platform::WorkLedger::Reserve::Use drawing(reserve_);
            return step(*this);
        }
        waitingForRoom_ = current;
        // Woken, it looks again; let go of unwoken (the peer went), it stops.
        struct Wake {
            std::shared_ptr<DeliveryOperation> operation;
            std::function<void(DeliveryOperation&)> step;
            bool woken = false;
            ~Wake() {
                if (woken || !operation) return;
                operation->onDisk([](DeliveryOperation& self) {
                    if (self.waitingForRoom_) self.stopHere(self.stopWaitingForRoom());
                });
            }
        };
        auto wake = std::make_shared<Wake>();
        wake->operation = shared_from_this();
        wake->step = std::move(step);
        waitToken_ = std::make_shared<const bool>(true);
        ledger_->whenDescriptorsGivenBack(kMoveDescriptors, [wake] {
            wake->woken = true;
            wake->operation->onDisk([step = wake->step](DeliveryOperation& self) {
                if (!self.waitingForRoom_) return;
                const fs::path current = self.stopWaitingForRoom();
                if (self.stopRequested()) return self.stopHere(current);
                self.withRoomForAMove(current, step);
            });
        }, waitToken_, true);
    }

    fs::path stopWaitingForRoom() {
        waitToken_.reset();
        return *std::exchange(waitingForRoom_, std::nullopt);
    }

    // Main queue.
    void askAboutConflict(const FileTransferConflictAlert::Info& info, const fs::path& source, const std::string& target) {
        platform::DispatchQueue::main().dispatchPrecondition();
        // Stopped while the question was on its way: nobody is asked.
        if (stopRequested()) return onDisk([source](DeliveryOperation& self) { self.stopHere(source); });
        auto window = presentationWindow();
        if (!window) {
            return onDisk([source, target](DeliveryOperation& self) {
                self.withRoomForAMove(source, [source, target](DeliveryOperation& op) {
                    op.moveKeepingBoth(source, target);
                    op.processNext();
                });
            });
        }
        auto self = shared_from_this();
        question_ = FileTransferConflictAlert::present(info, window, backupBeforeOverwrite_,
                                           [self, source, target](FileTransferConflictChoice choice, bool applyToAll) {
                                               if (applyToAll) self->applyToAllChoice_ = choice;
                                               self->onDisk([choice, source, target](DeliveryOperation& op) {
                                                   op.apply(choice, source, target);
                                               });
                                           });
    }

    bool stopRequested() const { return shouldStop_ && shouldStop_(); }

    // Nothing more moves: `current` (taken off the list already) and the
    // rest leave staging. Disk queue.
    void stopHere(const std::optional<fs::path>& current) {
        result_.stoppedByUser = true;
        if (current) FileTransferStagedItems::remove({*current});
        removeRemainingStagedURLs();
        finish();
    }

    // Disk queue.
    void apply(FileTransferConflictChoice choice, const fs::path& source, const std::string& target) {
        // A stop asked while the question was open wins over its answer.
        if (stopRequested()) return stopHere(source);
        if (choice == FileTransferConflictChoice::stop) return stopHere(source);
        withRoomForAMove(source, [choice, source, target](DeliveryOperation& self) { self.applyNow(choice, source, target); });
    }

    // Disk queue, with room for the move.
    void applyNow(FileTransferConflictChoice choice, const fs::path& source, const std::string& target) {
        switch (choice) {
            case FileTransferConflictChoice::keepBoth:
                moveKeepingBoth(source, target);
                return processNext();
            case FileTransferConflictChoice::replace:
                replace(source, target);
                return processNext();
            case FileTransferConflictChoice::stop:
                return stopHere(source);
        }
    }

    // The backup first, then the new item into the folder under a hidden
    // name, then one swap: at no moment is the name without an item, and a
    // failure at any step leaves the existing item as it was. Disk queue.
    void replace(const fs::path& source, const std::string& target) {
        const std::string name = source.filename().string();
        const platform::FolderHandle* staging = stagingOf(source);
        if (!staging || !backup(target)) return result_.noteFailed(name);
        const std::string incoming = FileMoves::temporaryName(fs::path()).string();
        platform::MoveReport report;
        if (!folder_->moveIn(*staging, name, incoming, &report)) return result_.noteFailed(name, report.leftAtTarget);
        if (!folder_->replace(incoming, target)) {
            // Back to staging, so the item counts as failed and stays there;
            // one that can go neither back nor away stays in the folder.
            // Putting it back is cleanup: the Host's own, never refused by
            // its peer's bound, however it copies.
            const platform::WorkLedger::Charged hostsOwn(nullptr);
            const bool left = !folder_->moveOut(incoming, *staging, name) && !folder_->remove(incoming);
            return result_.noteFailed(name, left ? 1 : 0);
        }
        result_.deliveredURLs.push_back(destination_ / target);
    }

    // Main queue.
    std::shared_ptr<platform::Window> presentationWindow() const {
        if (auto parent = parentWindow_.lock(); parent && parent->isVisible()) return parent;
        auto& app = platform::Application::shared();
        if (auto key = app.keyWindow()) return key;
        for (const auto& window : app.windows())
            if (window->isVisible()) return window;
        return nullptr;
    }

    static std::pair<uint64_t, std::optional<platform::Date>> resourceValues(const platform::ConfinedFolder& folder,
                                                                             const std::string& name) {
        const auto entry = folder.entry(name);
        if (!entry) return {0, std::nullopt};
        return {entry->size, entry->modificationDate};
    }

    std::pair<uint64_t, std::optional<platform::Date>> stagedValues(const fs::path& source) {
        const platform::FolderHandle* staging = stagingOf(source);
        const auto entry =
            staging ? platform::FileSystemItems::entryAt(staging->fd(), source.filename().string()) : std::nullopt;
        if (!entry) return {0, std::nullopt};
        return {entry->size, entry->modificationDate};
    }

    // The folder `source` is staged in, opened from the data root down and
    // never through a link (staging may lie in the console user's home,
    // where a folder above a batch can be swapped for one), once for the
    // items of a batch; null when it cannot be opened so. Every move out
    // of and back into staging is beneath it. Disk queue.
    const platform::FolderHandle* stagingOf(const fs::path& source) {
        const fs::path folder = source.lexically_normal().parent_path();
        if (!staging_ || staging_->first != folder)
            staging_.emplace(folder, FileTransferStagedItems::open(folder));
        return staging_->second ? &*staging_->second : nullptr;
    }

    int remainingConflictCount() const {
        int count = 0;
        for (const auto& url : remainingURLs_)
            if (folder_->isTaken(url.filename().string())) count++;
        return count;
    }

    // A copy of the existing item under the backup root, at its path
    // relative to home (or by its name alone from outside home). A folder
    // opened beneath a home keeps its backups below that home, reached
    // without following links. One opened by its own path (a folder picked
    // in the save panel) keeps them in the home of the process, which is
    // the console user's.
    bool backup(const std::string& name) const {
        if (!backupRoot_) return true;
        // The home opened by its path and the folders on the way down to
        // the backup's, on the peer's account while they are open.
        const auto held = platform::WorkLedger::Holding::take(ledger_, platform::WorkLedger::Held::descriptors, 3);
        if (!held) return false;
        const auto opened = folder_->top().get() != folder_.get();
        std::shared_ptr<const platform::ConfinedFolder> home;
        fs::path relative;
        if (opened) {
            home = folder_->top();
            relative = folder_->relativePath() / name;
        } else {
            const fs::path homePath = platform::Folders::home();
            const std::string path = (destination_ / name).string();
            relative = path.starts_with(homePath.string() + "/") ? fs::path(path.substr(homePath.string().size() + 1))
                                                                 : fs::path(name);
            auto top = platform::ConfinedFolder::openTop(homePath, true);
            if (!top) return false;
            home = *top;
        }
        const fs::path rootBelowHome = backupRoot_->lexically_relative(platform::Folders::home());
        auto folder = home->openBeneath(rootBelowHome / relative.parent_path(), true);
        if (!folder) return false;
        return static_cast<bool>((*folder)->copyIn(*folder_, name, uniqueName(**folder, relative.filename().string())));
    }

    // Beneath staging's descriptors: staging may lie in the console user's
    // home, where a link can be put in place of a folder on the way.
    void removeRemainingStagedURLs() {
        FileTransferStagedItems::remove(remainingURLs_);
        remainingURLs_.clear();
    }

    // Disk queue. The completion goes to the main queue and is let go
    // there, whatever thread lets the operation go.
    void finish() {
        if (didFinish_) return;
        didFinish_ = true;
        // What is left of the room for its moves, and the folders it kept
        // open, go now, not when the last reference to the operation goes
        // (a wait given up may keep it a while), and before its completion
        // gives back the staging folder's charge.
        reserve_.reset();
        staging_.reset();
        folder_.reset();
        folderDescriptor_.reset();
        platform::DispatchQueue::main().async(
            [completion = std::move(completion_), result = std::move(result_)] { completion(result); });
    }

    const fs::path destination_;
    // The folder opened by its path, on the peer's account until it is
    // closed (members go last to first).
    platform::WorkLedger::Holding folderDescriptor_;
    // The destination as opened (on the disk queue when the caller gave a
    // path); every move, replace and backup of this delivery works
    // relative to it. Disk queue only.
    std::shared_ptr<platform::ConfinedFolder> folder_;
    // Weak: an unanswered sheet on it holds this operation. Read on the
    // main queue only.
    const std::weak_ptr<platform::Window> parentWindow_;
    const bool shouldPromptForConflicts_;
    const bool backupBeforeOverwrite_;
    // Moved to the main queue when the delivery ends.
    std::function<void(const FileTransferDeliveryResult&)> completion_;
    // The caller's cancel, asked on the disk queue before each item moves
    // and on the main queue before a question is put; it must be safe to
    // call from both.
    const std::function<bool()> shouldStop_;
    // The peer whose items these are, when the delivery began as its work:
    // what the moves open is on its account.
    const std::shared_ptr<platform::WorkLedger> ledger_ = platform::WorkLedger::current();
    // The room for its moves (see kMoveDescriptors) while it holds it: at
    // first what its caller took, if any. The moves draw on it, whatever
    // the peer's other work took meanwhile. Disk queue only, after
    // construction.
    std::shared_ptr<platform::WorkLedger::Reserve> reserve_ = platform::WorkLedger::Reserve::current();
    // The item whose move waits for room, while one does, and what its
    // wait lasts with. Disk queue only.
    std::optional<fs::path> waitingForRoom_;
    std::shared_ptr<const bool> waitToken_;
    // The question open now, or the last one. Main queue only.
    std::weak_ptr<platform::Alert> question_;
    // This delivery's own time-stamped folder; only with backups on.
    std::optional<fs::path> backupRoot_;
    // Items still to deliver, in the caller's order.
    std::vector<fs::path> remainingURLs_;
    // The staging folder of the item being delivered, by its path (see
    // stagingOf). Disk queue only.
    std::optional<std::pair<fs::path, platform::Result<platform::FolderHandle>>> staging_;
    // What the receipt says, noted item by item as the numbered moves do.
    FileTransferDeliveryResult result_;
    // Once set, later clashes take it without asking.
    std::optional<FileTransferConflictChoice> applyToAllChoice_;
    // The completion runs once.
    bool didFinish_ = false;
};

std::function<void()> FileTransferConflictResolver::begin(const std::shared_ptr<DeliveryOperation>& operation) {
    operation->start();
    // Weak: the operation lives as long as its work and its question do.
    return [weak = std::weak_ptr(operation)] {
        if (auto held = weak.lock()) held->endQuestion();
    };
}

std::function<void()> FileTransferConflictResolver::deliver(
    std::vector<fs::path> stagedURLs, fs::path destination, std::shared_ptr<platform::Window> parentWindow,
    bool shouldPromptForConflicts, bool backupBeforeOverwrite,
    std::function<void(const FileTransferDeliveryResult&)> completion, std::function<bool()> shouldStop) {
    auto operation = std::make_shared<DeliveryOperation>(std::move(stagedURLs), std::move(destination), nullptr,
                                                         std::move(parentWindow), shouldPromptForConflicts,
                                                         backupBeforeOverwrite, std::move(completion),
                                                         std::move(shouldStop));
    return begin(operation);
}

std::function<void()> FileTransferConflictResolver::deliver(
    std::vector<fs::path> stagedURLs, std::shared_ptr<platform::ConfinedFolder> destination,
    std::shared_ptr<platform::Window> parentWindow, bool shouldPromptForConflicts, bool backupBeforeOverwrite,
    std::function<void(const FileTransferDeliveryResult&)> completion, std::function<bool()> shouldStop) {
    auto operation = std::make_shared<DeliveryOperation>(std::move(stagedURLs), fs::path(), std::move(destination),
                                                         std::move(parentWindow), shouldPromptForConflicts,
                                                         backupBeforeOverwrite, std::move(completion),
                                                         std::move(shouldStop));
    return begin(operation);
}

std::string FileTransferConflictResolver::uniqueName(const platform::ConfinedFolder& folder, const std::string& name) {
    // The extension follows the last full stop; a leading one alone makes none.
    const size_t dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0 && dot + 1 < name.size();
    const std::string base = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : "";
    std::string candidate = name;
    // Bounded: past it the last candidate is returned taken, and the move,
    // which never replaces, fails for that item alone.
    for (int counter = 1; folder.isTaken(candidate) && counter <= FileMoves::maxNameVariants; counter++)
        candidate = base + (counter == 1 ? " copy" : " copy " + std::to_string(counter)) + extension;
    return candidate;
}

fs::path FileTransferConflictResolver::uniqueDestination(const fs::path& url) {
    const fs::path folder = url.parent_path();
    const std::string name = url.filename().string();
    // The extension follows the last full stop; a leading one alone makes none.
    const size_t dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0 && dot + 1 < name.size();
    const std::string base = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : "";
    fs::path candidate = url;
    // Bounded: past it the last candidate is returned taken, and the move,
    // which never replaces, fails for that item alone.
    for (int counter = 1; FileMoves::isTaken(candidate) && counter <= FileMoves::maxNameVariants; counter++)
        candidate = folder / (base + (counter == 1 ? " copy" : " copy " + std::to_string(counter)) + extension);
    return candidate;
}

fs::path FileTransferConflictResolver::backupRootForNow() {
    return platform::Folders::home() / "Norvessal Backups" / "transfer" /
           platform::DateFormatter::localString(platform::Clock::now(), "yyyy-MM-dd-HHmmss");
}
