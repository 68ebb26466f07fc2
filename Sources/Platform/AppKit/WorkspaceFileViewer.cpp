#include "Platform/AppKit/WorkspaceFileViewer.h"

#include <mutex>


namespace platform {
namespace {
std::mutex lock;
std::vector<std::vector<std::filesystem::path>> requests;
}  // namespace

void WorkspaceFileViewer::activateFileViewerSelecting(const std::vector<std::filesystem::path>& urls) {
    std::lock_guard guard(lock);
    requests.push_back(urls);
}

std::vector<std::vector<std::filesystem::path>> WorkspaceFileViewer::requestsForTesting() {
    std::lock_guard guard(lock);
    return requests;
}

void WorkspaceFileViewer::resetForTesting() {
    std::lock_guard guard(lock);
    requests.clear();
}

}  // namespace platform
