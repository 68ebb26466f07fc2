#include "VelantrixProfiles/FileTransferWindow/FileTransferNode.h"

#include "Platform/Foundation/UnicodeText.h"

std::string FileTransferNode::pathExtension(const std::string& name) {
    std::string last = name;
    while (last.size() > 1 && last.back() == '/') last.pop_back();
    if (auto slash = last.rfind('/'); slash != std::string::npos) last = last.substr(slash + 1);
    const auto dot = last.rfind('.');
    // A leading dot names a hidden file, not an extension; nor does a
    // trailing one give any.
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
    return last.substr(dot + 1);
}

std::string FileTransferNode::kindSortKey() const {
    if (kind != Kind::file) return "";
    auto extension = platform::UnicodeText::uppercased(pathExtension(name));
    return extension.empty() ? std::string("\xEF\xBF\xBF") : extension;
}
