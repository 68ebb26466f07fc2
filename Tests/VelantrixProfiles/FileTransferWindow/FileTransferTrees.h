#pragma once
// Small trees of File Transfer nodes for tests: children are linked to their
// parent as a listing would link them.

#include <optional>
#include <string>
#include <vector>

#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"

inline FileTransferNodePtr makeNode(const std::string& name, const std::string& path, FileTransferNode::Kind kind,
                                    uint64_t size = 0) {
    auto node = std::make_shared<FileTransferNode>(name, path, kind, nullptr);
    node->size = size;
    return node;
}

// A folder never listed.
inline FileTransferNodePtr dir(const std::string& name, const std::string& path) {
    return makeNode(name, path, FileTransferNode::Kind::directory);
}

// A listed folder.
inline FileTransferNodePtr dir(const std::string& name, const std::string& path,
                               std::vector<FileTransferNodePtr> children) {
    auto node = dir(name, path);
    for (auto& child : children) child->parent = node;
    node->children = std::move(children);
    return node;
}

inline FileTransferNodePtr file(const std::string& name, const std::string& path, uint64_t size = 0) {
    return makeNode(name, path, FileTransferNode::Kind::file, size);
}

inline FileTransferNodePtr placeholder(const std::string& name, const std::string& path) {
    return makeNode(name, path, FileTransferNode::Kind::placeholder);
}
