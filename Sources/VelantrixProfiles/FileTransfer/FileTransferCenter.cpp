#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

#include <cmath>
#include <cstdio>

#include "Platform/Runtime/Dispatch.h"
#include "VelantrixProfiles/FileTransfer/FileTransferForegroundPresentation.h"
#include "Platform/Foundation/UnicodeText.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::DispatchQueue;
using platform::UUID;
using platform::View;

namespace {
void onMain(std::function<void()> work) { DispatchQueue::main().async(std::move(work)); }

// A subview of a row, found again by its tag.
std::shared_ptr<View> placed(std::shared_ptr<View> view, int tag) {
    view->tag = tag;
    return view;
}
}  // namespace

std::string fileTransferItemDescription(int64_t count) {
    if (count == 1) return VelantrixL10n::format("fileTransfer.item.one", "%d item", 1);
    return VelantrixL10n::format("fileTransfer.item.other", "%d items", count);
}

// --- Rows ------------------------------------------------------------------------

FileTransferCenter::TaskRow::TaskRow(const StartInfo& info)
    : View(Kind::plain), batchID(info.batchID), direction(info.direction), totalBytes(info.totalBytes) {}

std::shared_ptr<FileTransferCenter::TaskRow> FileTransferCenter::TaskRow::make(const StartInfo& info) {
    std::shared_ptr<TaskRow> row(new TaskRow(info));
    const bool outgoing = info.direction == FileTransferDirection::outgoing;
    row->iconLbl = placed(View::label(outgoing ? "\u2191" : "\u2193"), 1);
    row->iconLbl->font = platform::Font::system(18, platform::FontWeight::semibold);
    row->iconLbl->textAlignment = platform::TextAlignment::center;
    row->iconLbl->textColor = outgoing ? platform::Color::systemBlue : platform::Color::systemGreen;

    const std::string items = itemDescription(info.itemNames, info.fileCount);
    row->titleLbl = placed(View::label(outgoing ? VelantrixL10n::format("fileTransfer.center.sendingTo", "Sending %@ to %@",
                                                                        items, info.peerLabel)
                                                : VelantrixL10n::format("fileTransfer.center.receivingFrom",
                                                                        "Receiving %@ from %@", items, info.peerLabel)),
                           2);
    row->titleLbl->font = platform::Font::system(13, platform::FontWeight::medium);
    row->titleLbl->lineBreakMode = View::LineBreakMode::truncatingTail;
    for (size_t i = 0; i < info.itemNames.size(); i++)
        row->titleLbl->toolTip += (i ? "\n" : "") + info.itemNames[i];

    row->bar = platform::ProgressIndicator::make();
    row->bar->tag = 3;
    row->bar->controlSize = View::ControlSize::small;
    if (info.totalBytes == 0) {
        row->bar->isIndeterminate = true;
        row->bar->isAnimating = true;
    } else {
        row->bar->isIndeterminate = false;
        row->bar->minValue = 0;
        row->bar->maxValue = static_cast<double>(info.totalBytes);
        row->bar->doubleValue = 0;
    }

    row->statusLbl = placed(View::label(info.totalBytes == 0
                                            ? VelantrixL10n::text("fileTransfer.center.waiting", "Waiting\u2026")
                                            : "0 / " + fmt(info.totalBytes)),
                            4);
    row->statusLbl->font = platform::Font::system(11);
    row->statusLbl->textColor = platform::Color::secondaryLabel;
    row->statusLbl->lineBreakMode = View::LineBreakMode::truncatingTail;

    std::weak_ptr<TaskRow> weak = row;
    row->cancelBtn = placed(View::button(VelantrixL10n::text("common.cancel", "Cancel"),
                                         [weak](View&) {
                                             if (auto self = weak.lock()) self->didCancel();
                                         }),
                            5);
    row->cancelBtn->bezelStyle = 12;
    row->cancelBtn->actionName = "didCancel";
    for (const auto& view : {row->iconLbl, row->titleLbl, std::shared_ptr<View>(row->bar), row->statusLbl, row->cancelBtn})
        row->addSubview(view);
    row->translatesAutoresizingMaskIntoConstraints = false;
    return row;
}

void FileTransferCenter::TaskRow::updateProgress(uint64_t bytes, uint64_t total) {
    if (total == 0 || finished) return;
    if (bar->isIndeterminate) {
        bar->isAnimating = false;
        bar->isIndeterminate = false;
    }
    bar->maxValue = static_cast<double>(total);
    bar->doubleValue = static_cast<double>(std::min(bytes, total));
    statusLbl->text = fmt(bytes) + " / " + fmt(total);
}

void FileTransferCenter::TaskRow::markFinished(const std::string& status, bool success) {
    finished = true;
    if (bar->isIndeterminate) {
        bar->isAnimating = false;
        bar->isIndeterminate = false;
        bar->maxValue = bar->doubleValue = 1;
    } else {
        bar->doubleValue = bar->maxValue;
    }
    statusLbl->text = status;
    statusLbl->textColor = success ? platform::Color::secondaryLabel : platform::Color::systemRed;
    cancelBtn->text = VelantrixL10n::text("common.dismiss", "Dismiss");
}

void FileTransferCenter::TaskRow::didCancel() {
    if (finished) {
        onCancel = nullptr;
        FileTransferCenter::shared().removeTask(batchID);
    } else if (onCancel) {
        onCancel();
    }
}

std::string FileTransferCenter::TaskRow::itemDescription(const std::vector<std::string>& names, int64_t fallbackCount) {
    std::vector<std::string> kept;
    for (const auto& name : names) {
        std::string trimmed(platform::UnicodeText::trimmingWhitespace(name));
        if (!trimmed.empty()) kept.push_back(std::move(trimmed));
    }
    if (kept.empty()) return fileTransferItemDescription(fallbackCount);
    return kept.size() == 1 ? kept.front() : kept.front() + " ...";
}

std::string FileTransferCenter::TaskRow::fmt(uint64_t bytes) {
    char text[48];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes < 1000000) {
        std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(bytes) / 1024);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1000000);
    }
    return text;
}

// --- The center ------------------------------------------------------------------

FileTransferCenter& FileTransferCenter::shared() {
    static FileTransferCenter center;
    return center;
}

std::shared_ptr<FileTransferCenter::TaskRow> FileTransferCenter::addTask(const StartInfo& info,
                                                                         std::function<void()> onCancel) {
    onMain([this] { ensureWindow(); });
    auto row = TaskRow::make(info);
    const UUID batchID = info.batchID;
    row->onCancel = [this, batchID, onCancel = std::move(onCancel)] {
        if (onCancel) onCancel();
        onMain([this, batchID] {
            if (auto it = rows.find(batchID); it != rows.end() && !it->second->cancelEndsRow) return;
            finishTask(batchID, VelantrixL10n::text("fileTransfer.cancelled", "Cancelled"), 1.0, true);
        });
    };
    // A replaced row gets no finish and no timer of its own.
    if (auto old = rows.find(batchID); old != rows.end()) old->second->removeFromSuperview();
    rows[batchID] = row;
    if (stack) {
        stack->addSubview(row);
        resizeWindow();
    } else {
        onMain([this, batchID, row] {
            ensureWindow();
            auto current = rows.find(batchID);
            if (current == rows.end() || current->second != row || !stack) return;
            stack->addSubview(row);
            resizeWindow();
        });
    }
    onMain([this] {
        if (autoPresentToFront && window) bringToFront();
    });
    return row;
}

void FileTransferCenter::updateProgress(const UUID& batchID, uint64_t bytes, uint64_t total) {
    onMain([this, batchID, bytes, total] {
        if (auto it = rows.find(batchID); it != rows.end()) it->second->updateProgress(bytes, total);
    });
}

void FileTransferCenter::completeTask(const UUID& batchID, std::string summary, double autoCloseDelay) {
    onMain([this, batchID, summary = std::move(summary), autoCloseDelay] {
        finishTask(batchID, summary, autoCloseDelay, true);
    });
}

void FileTransferCenter::failTask(const UUID& batchID, std::string message) {
    onMain([this, batchID, message = std::move(message)] { finishTask(batchID, message, 2.5, false); });
}

void FileTransferCenter::removeTask(const UUID& batchID) {
    onMain([this, batchID] { removeRow(batchID); });
}

void FileTransferCenter::setSubtitle(const UUID& batchID, std::string text) {
    onMain([this, batchID, text = std::move(text)] {
        if (auto it = rows.find(batchID); it != rows.end()) it->second->setSubtitle(text);
    });
}

void FileTransferCenter::orderFront() {
    onMain([this] {
        ensureWindow();
        if (window) bringToFront();
    });
}

void FileTransferCenter::pickSaveLocation(const UUID& batchID, const std::optional<std::string>& suggestedName,
                                          std::function<void(const std::filesystem::path&)> onPick,
                                          std::function<void()> onCancel) {
    onMain([this, batchID, suggestedName, onPick = std::move(onPick), onCancel = std::move(onCancel)] {
        ensureWindow();
        if (!window) {
            if (onCancel) onCancel();
            return;
        }
        bringToFront();
        auto panel = platform::OpenPanel::make();
        panel->canChooseFiles = false;
        panel->canChooseDirectories = true;
        panel->canCreateDirectories = true;
        panel->allowsMultipleSelection = false;
        panel->prompt = VelantrixL10n::text("fileTransfer.chooseFolderPrompt", "Save Here");
        panel->window()->title = VelantrixL10n::text("fileTransfer.chooseSaveLocation", "Choose Save Location");
        if (suggestedName && !suggestedName->empty())
            panel->message = VelantrixL10n::format("fileTransfer.chooseSaveMessage", "Choose where to save \"%@\"",
                                                   *suggestedName);
        auto raised = FileTransferForegroundPresentation::raisedSheet(window);
        savePanels.push_back(panel);
        savePanelsByBatch[batchID] = panel;
        std::weak_ptr<platform::OpenPanel> weakPanel = panel;
        panel->beginSheetModal(
            window,
            [this, batchID, weakPanel, restore = raised.didEnd, onPick, onCancel](platform::ModalResponse response) {
                restore();
                auto ended = weakPanel.lock();
                std::erase(savePanels, ended);
                if (auto mine = savePanelsByBatch.find(batchID);
                    mine != savePanelsByBatch.end() && mine->second.lock() == ended)
                    savePanelsByBatch.erase(mine);
                auto url = ended ? ended->url() : std::nullopt;
                if (response == platform::kModalResponseOK && url) {
                    if (onPick) onPick(*url);
                } else if (onCancel) {
                    onCancel();
                }
            },
            raised.didBegin);
    });
}

void FileTransferCenter::withdrawSaveLocation(const UUID& batchID) {
    onMain([this, batchID] {
        auto found = savePanelsByBatch.find(batchID);
        if (found == savePanelsByBatch.end()) return;
        if (auto panel = found->second.lock()) panel->answerCancel();
    });
}

std::shared_ptr<platform::Window> FileTransferCenter::foregroundPresentationWindow() {
    return DispatchQueue::main().syncValue([this] {
        ensureWindow();
        if (window) bringToFront();
        return window;
    });
}

void FileTransferCenter::ensureWindow() {
    if (window) return;
    using namespace platform;
    window = Window::make(CGSize{rowWidth + 2 * outerPad, rowHeight + 2 * outerPad},
                          kWindowStyleTitled | kWindowStyleClosable | kWindowStyleMiniaturizable);
    window->title = VelantrixL10n::text("fileTransfer.center.windowTitle", "File Transfers");
    window->isReleasedWhenClosed = false;
    window->setCollectionBehavior(kWindowJoinAllSpacesAndFullScreenAuxiliary);
    window->center();
    stack = View::stack(View::Orientation::vertical, {});
    stack->alignment = View::Alignment::leading;
    stack->spacing = 8;
    stack->edgeInsets = {outerPad, outerPad, outerPad, outerPad};
    stack->translatesAutoresizingMaskIntoConstraints = false;
    window->contentView->addSubview(stack);
}

void FileTransferCenter::resizeWindow() {
    if (!window || !stack) return;
    const double n = static_cast<double>(stack->subviews().size());
    const double height = 64 * std::max(n, 1.0) + 8 * std::max(n - 1, 0.0) + 28;
    // The top edge stays put: the origin moves down by what the frame grows.
    window->frame.y -= height - window->frame.height;
    window->frame.height = height;
}

void FileTransferCenter::bringToFront() {
    platform::Application::shared().activate(true);
    window->makeKeyAndOrderFront();
    window->orderFrontRegardless();
}

void FileTransferCenter::finishTask(const UUID& batchID, const std::string& status, double autoCloseDelay,
                                    bool success) {
    auto it = rows.find(batchID);
    if (it == rows.end() || it->second->finished) return;
    auto row = it->second;
    row->markFinished(status, success);
    const double delay = std::isnan(autoCloseDelay) || autoCloseDelay < 0 ? 0 : autoCloseDelay;
    DispatchQueue::main().asyncAfter(delay, [this, batchID, row] { removeRow(batchID, row); });
}

void FileTransferCenter::removeRow(const UUID& batchID, const std::shared_ptr<TaskRow>& expected) {
    auto it = rows.find(batchID);
    if (it == rows.end() || (expected && it->second != expected)) return;
    auto row = it->second;
    rows.erase(it);
    row->removeFromSuperview();
    resizeWindow();
    if (rows.empty() && window) window->orderOut();
}

void FileTransferCenter::resetForTesting() {
    rows.clear();
    savePanels.clear();
    savePanelsByBatch.clear();
    if (window) window->orderOut();
    window.reset();
    stack.reset();
    autoPresentToFront = true;
}
