#pragma once
// The "Copy Conflict" sheet: asks whether a received item whose name is
// taken replaces the existing one, is kept beside it, or ends the delivery,
// optionally for every later clash of the batch. Holds no state. Main
// thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/AppKit/AppKitWindow.h"
#include "Platform/Runtime/Clock.h"

namespace platform {
class Alert;
}

enum class FileTransferConflictChoice { keepBoth, stop, replace };

class FileTransferConflictAlert {
public:
    struct Info {
        std::string fileName;
        uint64_t existingSize = 0;
        std::optional<platform::Date> existingDate;
        uint64_t newSize = 0;
        std::optional<platform::Date> newDate;
        // Clashes among the items still waiting, this one not counted.
        int remainingConflictCount = 0;
    };

    // Shows the sheet on `parentWindow` (raised while it is shown); the
    // completion runs once with the choice and whether it applies to all.
    // The sheet, which its presenter may end (any response but a button's
    // is Stop).
    static std::shared_ptr<platform::Alert> present(const Info& info, const std::shared_ptr<platform::Window>& parentWindow, bool backupEnabled,
                        std::function<void(FileTransferConflictChoice, bool applyToAll)> completion);

    // "2 KB · Modified: 2026-12-05 15:30": decimal units, local time.
    static std::string detailText(uint64_t size, const std::optional<platform::Date>& date);
};
