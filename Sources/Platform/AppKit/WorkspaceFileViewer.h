#pragma once
// The file viewer's part of the workspace: showing items selected in their
// folder. Nothing is shown here; every request is recorded for tests.

#include <filesystem>
#include <vector>

namespace platform {

struct WorkspaceFileViewer {
    // Opens the items' folder with them selected. Any thread.
    static void activateFileViewerSelecting(const std::vector<std::filesystem::path>& urls);
    // Every request so far, oldest first.
    static std::vector<std::vector<std::filesystem::path>> requestsForTesting();
    static void resetForTesting();
};

}  // namespace platform
