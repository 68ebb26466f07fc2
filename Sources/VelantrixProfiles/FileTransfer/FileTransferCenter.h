#pragma once
// The Host's one "File Transfers" window: a row per file batch in flight in
// either direction, with its title, progress bar, status line and a Cancel
// button that becomes Dismiss once the batch is over. Finished rows leave
// after a caller-chosen delay; the window orders out with its last row.
// Row operations look the row up by batch ID and do nothing without one.
// addTask and autoPresentToFront are main-thread only; every other
// operation may be called from any thread and queues its work on the main
// queue in call order.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKit.h"
#include "Platform/AppKit/AppKitControls.h"
#include "Platform/AppKit/AppKitPanel.h"
#include "Platform/Foundation/Uuid.h"

enum class FileTransferDirection { outgoing, incoming };

// "%d item" for one, "%d items" otherwise, localised.
std::string fileTransferItemDescription(int64_t count);

class FileTransferCenter {
public:
    struct StartInfo {
        platform::UUID batchID;
        FileTransferDirection direction = FileTransferDirection::outgoing;
        std::string peerLabel;
        int64_t fileCount = 0;
        uint64_t totalBytes = 0;  // 0: no size yet, the bar spins
        std::vector<std::string> itemNames;
    };

    // One batch's row. Main thread only.
    class TaskRow : public platform::View {
    public:
        static std::shared_ptr<TaskRow> make(const StartInfo& info);

        const platform::UUID batchID;
        const FileTransferDirection direction;
        std::shared_ptr<platform::View> titleLbl, statusLbl, iconLbl, cancelBtn;
        std::shared_ptr<platform::ProgressIndicator> bar;
        const uint64_t totalBytes;
        // Once true the row ignores progress and its button dismisses.
        bool finished = false;
        std::function<void()> onCancel;
        // Cleared by an owner whose cancel stops work that then reports
        // its own outcome (items already saved are never "Cancelled").
        bool cancelEndsRow = true;

        void updateProgress(uint64_t bytes, uint64_t total);
        void markFinished(const std::string& status, bool success);
        // A finished row keeps its outcome: a subtitle queued before the
        // finish ran must not turn "Cancelled" back into "Saving to …".
        void setSubtitle(const std::string& text) {
            if (!finished) statusLbl->text = text;
        }
        // The button's action.
        void didCancel();

        static std::string itemDescription(const std::vector<std::string>& names, int64_t fallbackCount);
        // 1023 B, 1 KB (binary) up to 999,999 bytes, then 1.0 MB (decimal).
        static std::string fmt(uint64_t bytes);

    private:
        explicit TaskRow(const StartInfo& info);
    };

    static FileTransferCenter& shared();

    std::shared_ptr<TaskRow> addTask(const StartInfo& info, std::function<void()> onCancel);
    void updateProgress(const platform::UUID& batchID, uint64_t bytes, uint64_t total);
    void completeTask(const platform::UUID& batchID, std::string summary, double autoCloseDelay);
    void failTask(const platform::UUID& batchID, std::string message);
    void removeTask(const platform::UUID& batchID);
    void setSubtitle(const platform::UUID& batchID, std::string text);
    void orderFront();
    // Asks for a folder for the batch with a panel that is a sheet on the
    // window; `onPick` gets the folder, `onCancel` runs when the user
    // cancels or no window can be made.
    void pickSaveLocation(const platform::UUID& batchID, const std::optional<std::string>& suggestedName,
                          std::function<void(const std::filesystem::path&)> onPick, std::function<void()> onCancel);
    // The batch's panel, shown or waiting its turn, ends as its Cancel
    // would: its batch is gone and nobody is to be asked for it.
    void withdrawSaveLocation(const platform::UUID& batchID);
    // The window, made when missing and brought to the front, as the parent
    // of a sheet; from another thread this waits for the main thread.
    std::shared_ptr<platform::Window> foregroundPresentationWindow();

    // While true, adding a row activates the application and brings the
    // window to the front; the File Transfer window turns it off.
    bool autoPresentToFront = true;

    // Main thread; nil until first needed, then kept.
    std::shared_ptr<platform::Window> window;
    std::shared_ptr<platform::View> stack;
    std::map<platform::UUID, std::shared_ptr<TaskRow>> rows;
    // Save-location panels now shown, oldest first; each leaves when it ends.
    std::vector<std::shared_ptr<platform::OpenPanel>> savePanels;
    // The same by batch (main thread).
    std::map<platform::UUID, std::weak_ptr<platform::OpenPanel>> savePanelsByBatch;
    static constexpr double rowWidth = 480, rowHeight = 64, outerPad = 14;

    // Drops every row and the window, for tests sharing the process.
    void resetForTesting();

private:
    FileTransferCenter() = default;
    void ensureWindow();
    // Fits the frame to the rows, keeping its top edge where it is.
    void resizeWindow();
    void bringToFront();
    // The first finish of a row wins: a row cancelled by the user is not
    // turned into "Sent" by the completion that follows.
    void finishTask(const platform::UUID& batchID, const std::string& status, double autoCloseDelay, bool success);
    // Removes the row only when it is still `expected` (when given), so an
    // older row's timer never removes its replacement.
    void removeRow(const platform::UUID& batchID, const std::shared_ptr<TaskRow>& expected = nullptr);
};
