#pragma once
// One row of either tree of the File Transfer window: a place, folder, file
// or informational placeholder, with its check marks and, once listed, its
// children. The outline views show the node object itself as the row item,
// so identity matters: the same node is the same row. A node owns its
// children; its parent is weak, so a tree lives through its roots alone.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitOutlineView.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Foundation/Uuid.h"

class FileTransferNode : public platform::Object {
public:
    enum class Kind { volume, directory, file, placeholder };

    FileTransferNode(std::string name, std::string path, Kind kind, const std::shared_ptr<FileTransferNode>& parent)
        : name(std::move(name)), path(std::move(path)), kind(kind), parent(parent) {}

    // The row title: the file name, or a root's label.
    std::string name;
    // The path on its machine; may begin with "~" (home-relative).
    std::string path;
    Kind kind;
    // Bytes, as the listing gave them.
    uint64_t size = 0;
    std::optional<platform::Date> modificationDate;
    bool isChecked = false;
    // Some but not all of the folder's content is ticked.
    bool isMixedState = false;
    std::weak_ptr<FileTransferNode> parent;
    // Absent: never listed (or a file). Present: listed, possibly empty or
    // holding only a placeholder.
    std::optional<std::vector<std::shared_ptr<FileTransferNode>>> children;
    // A Host folder has been asked for or listed.
    bool childrenLoaded = false;
    // The Host listing in flight for this folder.
    std::optional<platform::UUID> pendingRequestID;

    // Volumes and folders: the rows that can hold others.
    bool isContainer() const { return kind == Kind::volume || kind == Kind::directory; }
    // The Kind sort's key: "" for all but files; a file's upper-cased
    // extension, or U+FFFF when it has none, so those sort last.
    std::string kindSortKey() const;
    // The text after the last "." of the last path component of `name`;
    // empty when there is none.
    static std::string pathExtension(const std::string& name);
};

using FileTransferNodePtr = std::shared_ptr<FileTransferNode>;
