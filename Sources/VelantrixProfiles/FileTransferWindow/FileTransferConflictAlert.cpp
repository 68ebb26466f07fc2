#include "VelantrixProfiles/FileTransferWindow/FileTransferConflictAlert.h"

#include <cstdio>

#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/Foundation/Formatters.h"
#include "VelantrixProfiles/FileTransfer/FileTransferForegroundPresentation.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::View;

namespace {
std::shared_ptr<View> line(std::string text, double size, platform::FontWeight weight, platform::Color color) {
    auto label = View::label(std::move(text));
    label->font = platform::Font::system(size, weight);
    label->textColor = color;
    return label;
}
}  // namespace

std::string FileTransferConflictAlert::detailText(uint64_t size, const std::optional<platform::Date>& date) {
    char text[48];
    if (size < 1000) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(size));
    } else if (size < 1000000) {
        std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(size) / 1000);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(size) / 1000000);
    }
    std::string out = text;
    if (date) out += " \u00B7 Modified: " + platform::DateFormatter::localString(*date, "yyyy-MM-dd HH:mm");
    return out;
}

std::shared_ptr<platform::Alert> FileTransferConflictAlert::present(const Info& info, const std::shared_ptr<platform::Window>& parentWindow,
                                        bool backupEnabled,
                                        std::function<void(FileTransferConflictChoice, bool)> completion) {
    using platform::Color;
    using platform::FontWeight;
    auto alert = platform::Alert::make();
    alert->alertStyle = platform::Alert::Style::warning;
    alert->messageText = VelantrixL10n::text("fileTransfer.conflict.title", "Copy Conflict");
    alert->informativeText = VelantrixL10n::format(
        "fileTransfer.conflict.message",
        "\"%@\" already exists at the destination. Do you want to replace it, keep both, or stop?", info.fileName);

    auto stack = View::stack(View::Orientation::vertical, {});
    stack->alignment = View::Alignment::leading;
    stack->spacing = 6;
    stack->addSubview(line(VelantrixL10n::format("fileTransfer.conflict.existing", "Existing file: %@", info.fileName),
                           12, FontWeight::medium, Color::label));
    stack->addSubview(line(detailText(info.existingSize, info.existingDate), 11, FontWeight::regular,
                           Color::secondaryLabel));
    stack->addSubview(line(VelantrixL10n::format("fileTransfer.conflict.new", "New file: %@", info.fileName), 12,
                           FontWeight::medium, Color::label));
    stack->addSubview(line(detailText(info.newSize, info.newDate), 11, FontWeight::regular, Color::secondaryLabel));
    std::shared_ptr<View> applyToAll;
    if (info.remainingConflictCount > 0) {
        applyToAll = View::checkbox(VelantrixL10n::format("fileTransfer.conflict.applyToAll",
                                                          "Apply to all (%d more conflicts)", info.remainingConflictCount),
                                    nullptr);
        applyToAll->font = platform::Font::system(11);
        applyToAll->isOn = false;
        stack->addSubview(applyToAll);
    }
    stack->addSubview(backupEnabled
                          ? line(VelantrixL10n::text("fileTransfer.conflict.backupNote",
                                                     "Backup is enabled. The existing file will be saved to the backup folder."),
                                 11, FontWeight::regular, Color::secondaryLabel)
                          : line(VelantrixL10n::text("fileTransfer.conflict.noBackupWarning",
                                                     "Backup is not enabled. Replaced files cannot be recovered."),
                                 11, FontWeight::regular, Color::systemOrange));
    alert->accessoryView = stack;

    alert->addButton(VelantrixL10n::text("fileTransfer.conflict.keepBoth", "Keep Both"));
    alert->addButton(VelantrixL10n::text("fileTransfer.conflict.stop", "Stop"));
    alert->addButton(VelantrixL10n::text("fileTransfer.conflict.replace", "Replace"));

    auto raised = FileTransferForegroundPresentation::raisedSheet(parentWindow);
    alert->beginSheetModal(
        parentWindow,
        [restore = std::move(raised.didEnd), applyToAll, completion = std::move(completion)](
            platform::ModalResponse response) {
            restore();
            const bool all = applyToAll && applyToAll->isOn;
            switch (response) {
                case platform::kAlertFirstButtonReturn: return completion(FileTransferConflictChoice::keepBoth, all);
                case platform::kAlertSecondButtonReturn: return completion(FileTransferConflictChoice::stop, all);
                case platform::kAlertFirstButtonReturn + 2: return completion(FileTransferConflictChoice::replace, all);
                default: return completion(FileTransferConflictChoice::stop, false);
            }
        },
        std::move(raised.didBegin));
    return alert;
}
