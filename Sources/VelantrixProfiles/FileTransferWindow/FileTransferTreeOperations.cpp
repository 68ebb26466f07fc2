// Tree operations of the File Transfer window: check marks pushed down and
// set over a forest, the three tree predicates, the checked items and their
// unique top-level set, and the size text. They use no state of the window.

#include <algorithm>
#include <charconv>
#include <unordered_map>
#include <unordered_set>

#include "Platform/Files/Folders.h"
#include "Platform/Foundation/TextCollation.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"

void FileTransferWindowController::propagateCheckDown(const FileTransferNodePtr& node, bool checked) {
    if (!node->children) return;
    for (const auto& child : *node->children) {
        child->isChecked = checked;
        child->isMixedState = false;
        propagateCheckDown(child, checked);
    }
}

void FileTransferWindowController::setAllChecked(const NodeList& nodes, bool checked) {
    for (const auto& node : nodes) {
        node->isChecked = checked;
        node->isMixedState = false;
        if (node->children) setAllChecked(*node->children, checked);
    }
}

bool FileTransferWindowController::allNodesChecked(const NodeList& nodes) {
    return std::all_of(nodes.begin(), nodes.end(), [](const FileTransferNodePtr& n) {
        return n->isChecked && (!n->children || allNodesChecked(*n->children));
    });
}

bool FileTransferWindowController::anyNodeChecked(const NodeList& nodes) {
    return std::any_of(nodes.begin(), nodes.end(), [](const FileTransferNodePtr& n) {
        return n->isChecked || (n->children && anyNodeChecked(*n->children));
    });
}

bool FileTransferWindowController::anyNodeMixed(const NodeList& nodes) {
    return std::any_of(nodes.begin(), nodes.end(), [](const FileTransferNodePtr& n) {
        return n->isMixedState || (n->children && anyNodeMixed(*n->children));
    });
}

FileTransferWindowController::NodeList FileTransferWindowController::collectCheckedFileNodes(const NodeList& nodes) {
    NodeList out;
    const std::function<void(const NodeList&)> walk = [&](const NodeList& level) {
        for (const auto& node : level) {
            if (node->kind == FileTransferNode::Kind::placeholder) continue;
            // A ticked node stands for everything below it.
            if (node->isChecked)
                out.push_back(node);
            else if (node->children)
                walk(*node->children);
        }
    };
    walk(nodes);
    return out;
}

std::string FileTransferWindowController::localPathKey(const std::string& path) {
    return platform::Folders::expandingTildeInPath(path);
}

std::string FileTransferWindowController::hostPathKey(const std::string& path,
                                                      const std::optional<std::string>& hostHome) {
    if (!hostHome || path.empty() || path[0] != '~') return path;
    if (path.size() == 1) return *hostHome;
    if (path[1] == '/') return *hostHome + path.substr(1);
    // "~user" on the Host: its home is unknown here.
    return path;
}

FileTransferWindowController::NodeList FileTransferWindowController::uniqueTopLevelNodes(const NodeList& nodes,
                                                                                         const PathKey& key) {
    // Each key keeps its first position and its last node.
    std::vector<std::pair<std::string, FileTransferNodePtr>> entries;
    std::unordered_map<std::string, size_t> position;
    for (const auto& node : nodes) {
        auto k = key(node->path);
        if (auto it = position.find(k); it != position.end()) {
            entries[it->second].second = node;
        } else {
            position.emplace(k, entries.size());
            entries.emplace_back(std::move(k), node);
        }
    }
    std::unordered_set<std::string> containerKeys;
    for (const auto& [k, node] : entries)
        if (node->isContainer()) containerKeys.insert(k);
    // Inside a container when some leading run of whole components is a
    // container's key; a root container "/" holds every absolute path.
    auto insideContainer = [&](const std::string& k) {
        for (size_t slash = k.find('/'); slash != std::string::npos; slash = k.find('/', slash + 1)) {
            if (slash + 1 == k.size()) break;
            if (slash == 0 ? containerKeys.count("/") > 0 : containerKeys.count(k.substr(0, slash)) > 0) return true;
        }
        return false;
    };
    NodeList kept;
    for (const auto& [k, node] : entries)
        if (!insideContainer(k)) kept.push_back(node);
    const platform::TextCollation collation;
    std::stable_sort(kept.begin(), kept.end(), [&](const FileTransferNodePtr& a, const FileTransferNodePtr& b) {
        return collation.compareCaseInsensitive(a->path, b->path) < 0;
    });
    return kept;
}

std::string FileTransferWindowController::formatBytes(uint64_t bytes) {
    static constexpr struct {
        double scale;
        const char* unit;
    } kUnits[] = {{1e9, " GB"}, {1e6, " MB"}, {1e3, " KB"}};
    for (const auto& u : kUnits) {
        if (static_cast<double>(bytes) < u.scale) continue;
        char text[64];
        // Not printf: the decimal point must be "." in every C locale.
        auto end = std::to_chars(text, text + sizeof text, static_cast<double>(bytes) / u.scale,
                                 std::chars_format::fixed, 1)
                       .ptr;
        return std::string(text, end) + u.unit;
    }
    return std::to_string(bytes) + " B";
}
