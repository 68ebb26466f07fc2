// This device's folders in the left tree: the standard folders and the
// user's grants as roots, one level listed on expansion, the folder grants
// with their bookmarks and security scopes, the folder-access panel and the
// "Allow File Transfer" confirmation.

#include <algorithm>

#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/AppKit/AppKitLayout.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Files/FileSystemAccess.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Json.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/FileTransfer/FileTransferForegroundPresentation.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferBookmarks.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using platform::FileSystemAccess;
using platform::Json;

namespace {

constexpr const char* kAuthorizeMessageDefault =
    "Choose the folder where transferred files are saved. File Transfer only reads and writes inside folders you "
    "allow \u2014 this does not move or change any files.";

std::optional<FileTransferBookmarks::Entry> decodeEntry(const Json& object) {
    if (!object.is_object()) return std::nullopt;
    auto data = object.find("data");
    if (data == object.end() || !data->is_string()) return std::nullopt;
    auto bytes = platform::base64Decode(data->get<std::string>());
    if (!bytes) return std::nullopt;
    FileTransferBookmarks::Entry entry{std::move(*bytes), std::nullopt};
    if (auto name = object.find("displayName"); name != object.end() && !name->is_null()) {
        if (!name->is_string()) return std::nullopt;
        entry.displayName = name->get<std::string>();
    }
    return entry;
}

// The stored JSON array, or none when nothing (or no array) is stored.
std::optional<Json> storedArray(bool& somethingStored) {
    auto value = platform::UserDefaults::standard().objectForKey(FileTransferBookmarks::kDefaultsKey);
    somethingStored = value.has_value();
    const auto* data = value ? value->asData() : nullptr;
    if (!data) return std::nullopt;
    auto json = platform::parseJson(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    if (!json || !json->is_array()) return std::nullopt;
    return std::move(*json);
}

std::string homePath() { return FileTransferWindowController::normalizedLocalPath("~"); }

}  // namespace

// ---- The grant store.

std::vector<FileTransferBookmarks::Entry> FileTransferBookmarks::load() {
    bool stored = false;
    auto array = storedArray(stored);
    if (!array) {
        if (stored) platform::Log::line("fileTransfer: stored folder grants are not a list; none used");
        return {};
    }
    std::vector<Entry> entries;
    for (size_t i = 0; i < array->size(); ++i) {
        if (auto entry = decodeEntry((*array)[i]))
            entries.push_back(std::move(*entry));
        else
            platform::Log::line("fileTransfer: folder grant " + std::to_string(i) + " does not decode; skipped");
    }
    return entries;
}

void FileTransferBookmarks::save(const std::vector<uint8_t>& data, const std::optional<std::string>& displayName) {
    for (const auto& entry : load())
        if (entry.data == data) return;
    bool stored = false;
    auto array = storedArray(stored);
    if (!array) {
        if (stored) platform::Log::line("fileTransfer: stored folder grants were not a list; replaced");
        array = Json::array();
    }
    Json entry = {{"data", platform::base64Encode(data)}};
    if (displayName) entry["displayName"] = *displayName;
    array->push_back(std::move(entry));
    const std::string text = array->dump(-1, ' ', false, Json::error_handler_t::replace);
    platform::UserDefaults::standard().set(kDefaultsKey, platform::PlistValue::Data(text.begin(), text.end()));
}

// ---- Paths.

std::string FileTransferWindowController::normalizedLocalPath(const std::string& path) {
    return platform::standardizedPath(platform::Folders::expandingTildeInPath(path));
}

bool FileTransferWindowController::pathLiesWithin(const std::string& path, const std::string& root) {
    const auto p = normalizedLocalPath(path), r = normalizedLocalPath(root);
    if (r == "/") return p.starts_with("/");
    return p == r || (p.size() > r.size() && p.starts_with(r) && p[r.size()] == '/');
}

// ---- Roots.

void FileTransferWindowController::loadLocalRoots() {
    localRoots_.clear();
    const auto granted = resolvedAuthorizedLocalRoots();
    static constexpr struct {
        const char* key;
        const char* name;
        const char* path;
    } kStandard[] = {{"fileTransfer.desktop", "Desktop", "~/Desktop"},
                     {"fileTransfer.documents", "Documents", "~/Documents"},
                     {"fileTransfer.downloads", "Downloads", "~/Downloads"}};
    for (const auto& folder : kStandard) {
        if (!FileSystemAccess::isDirectory(platform::Folders::expandingTildeInPath(folder.path))) continue;
        const bool covered = std::any_of(granted.begin(), granted.end(),
                                         [&](const LocalRoot& root) { return pathLiesWithin(folder.path, root.path); });
        if (!covered)
            appendLocalRoot(VelantrixL10n::text(folder.key, folder.name), folder.path, FileTransferNode::Kind::directory);
    }
    for (const auto& root : granted) appendLocalRoot(root.name, root.path, FileTransferNode::Kind::directory);
    reload(views_.leftOutlineView);
    updateLeftCheckboxState();
}

bool FileTransferWindowController::appendLocalRoot(const std::string& name, const std::string& path,
                                                   FileTransferNode::Kind kind) {
    const auto key = normalizedLocalPath(path);
    for (const auto& root : localRoots_)
        if (normalizedLocalPath(root->path) == key) return false;
    localRoots_.push_back(makeLocalNode(name, path, kind));
    return true;
}

std::vector<FileTransferWindowController::LocalRoot> FileTransferWindowController::resolvedAuthorizedLocalRoots() {
    const auto home = homePath();
    std::vector<LocalRoot> roots;
    for (const auto& entry : FileTransferBookmarks::load()) {
        auto resolved =
            FileSystemAccess::resolveBookmarkData(entry.data, FileSystemAccess::kBookmarkResolutionWithSecurityScope);
        if (!resolved || resolved->isStale) continue;
        const auto standard = platform::standardizedPath(resolved->path);
        const auto path = normalizedLocalPath(standard);
        if (!startSecurityScopedAccess(standard) && !FileSystemAccess::isReadable(path)) continue;
        if (std::any_of(roots.begin(), roots.end(), [&](const LocalRoot& r) { return r.path == path; })) continue;
        roots.push_back({entry.displayName.value_or(path == home ? "Home" : platform::lastPathComponent(standard)), path});
    }
    std::vector<LocalRoot> outermost;
    for (const auto& root : roots) {
        const bool nested = std::any_of(roots.begin(), roots.end(), [&](const LocalRoot& other) {
            return other.path != root.path && pathLiesWithin(root.path, other.path);
        });
        if (!nested) outermost.push_back(root);
    }
    return outermost;
}

bool FileTransferWindowController::startSecurityScopedAccess(const std::string& path) {
    const auto standard = platform::standardizedPath(path);
    if (activeSecurityScopedURLs_.count(standard)) return true;
    if (!FileSystemAccess::startAccessingSecurityScopedResource(standard)) return false;
    activeSecurityScopedURLs_[standard] = standard;
    return true;
}

bool FileTransferWindowController::isFolderAuthorized(const std::string& path) {
    const auto standard = platform::standardizedPath(path);
    if (activeSecurityScopedURLs_.count(standard)) return true;
    return std::any_of(localRoots_.begin(), localRoots_.end(),
                       [&](const FileTransferNodePtr& root) { return pathLiesWithin(standard, root->path); });
}

// ---- Listing.

void FileTransferWindowController::loadLocalChildren(const FileTransferNodePtr& node) {
    if (!node || node->children) return;
    auto listing = FileSystemAccess::listDirectory(platform::Folders::expandingTildeInPath(node->path));
    if (!listing) {
        node->children = NodeList{makePlaceholder(
            VelantrixL10n::text("fileTransfer.permissionRequired",
                                "\U0001F512 Permission required \u2014 use + Add Folder\u2026"),
            node)};
        return;
    }
    NodeList children;
    for (const auto& item : *listing) {
        const bool folder = item.hasResourceValues && item.isDirectory;
        auto child = std::make_shared<FileTransferNode>(
            item.name, item.path, folder ? FileTransferNode::Kind::directory : FileTransferNode::Kind::file, node);
        child->size = item.size;
        child->modificationDate = item.modificationDate;
        children.push_back(std::move(child));
    }
    std::stable_sort(children.begin(), children.end(),
                     [this](const FileTransferNodePtr& a, const FileTransferNodePtr& b) { return compareNodes(*a, *b); });
    for (auto& child : children) child->isChecked = node->isChecked;
    node->children = std::move(children);
}

bool FileTransferWindowController::localDirectoryNeedsAuthorization(const FileTransferNode& node) {
    if (!node.isContainer()) return false;
    if (node.children && !node.children->empty() && node.children->front()->kind == FileTransferNode::Kind::placeholder)
        return true;
    return !FileSystemAccess::listDirectory(normalizedLocalPath(node.path));
}

FileTransferNodePtr FileTransferWindowController::makePlaceholder(const std::string& name,
                                                                  const FileTransferNodePtr& folder) const {
    return std::make_shared<FileTransferNode>(name, folder->path, FileTransferNode::Kind::placeholder, folder);
}

// ---- Granting folders.

void FileTransferWindowController::addLocalFolder() {
    presentFolderAuthorizationPanel(lastAuthorizedFolderURL_ ? std::optional(lastAuthorizedFolderURL_->string())
                                                             : std::nullopt);
}

void FileTransferWindowController::presentFolderAuthorizationPanel(const std::optional<std::string>& suggestedPath) {
    auto& app = platform::Application::shared();
    const auto& window = this->window();
    if (folderAuthorizationPanel_) {
        app.activate(true);
        if (window) window->makeKeyAndOrderFront();
        folderAuthorizationPanel_->window()->orderFrontRegardless();
        return;
    }
    auto panel = platform::OpenPanel::make();
    panel->canChooseFiles = false;
    panel->canChooseDirectories = true;
    panel->allowsMultipleSelection = false;
    panel->canCreateDirectories = true;
    panel->directoryURL = suggestedPath ? platform::standardizedPath(*suggestedPath)
                          : lastAuthorizedFolderURL_ ? lastAuthorizedFolderURL_->string()
                                                     : normalizedLocalPath("~");
    panel->prompt = VelantrixL10n::text("fileTransfer.authorizeAndContinue", "Allow & Continue");
    panel->message = VelantrixL10n::text("fileTransfer.authorizeMessage", kAuthorizeMessageDefault);
    folderAuthorizationPanel_ = panel;
    app.activate(true);
    if (window) window->makeKeyAndOrderFront();

    std::weak_ptr<FileTransferWindowController> weakSelf = weak_from_this();
    std::weak_ptr<platform::OpenPanel> weakPanel = panel;
    auto handler = [weakSelf, weakPanel](platform::ModalResponse response) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->folderAuthorizationPanel_.reset();
        if (response != platform::kModalResponseOK) return;
        auto panel = weakPanel.lock();
        if (!panel || !panel->url()) return;
        self->addLocalBookmark(*panel->url());
    };
    if (window) {
        auto raised = FileTransferForegroundPresentation::raisedSheet(window);
        panel->beginSheetModal(
            window,
            [restore = std::move(raised.didEnd), handler](platform::ModalResponse response) {
                restore();
                handler(response);
            },
            std::move(raised.didBegin));
    } else {
        panel->window()->setLevel(platform::kModalPanelWindowLevel);
        panel->begin(handler);
    }
}

void FileTransferWindowController::addLocalBookmark(const std::string& path) {
    const auto standard = platform::standardizedPath(path);
    lastAuthorizedFolderURL_ = standard;
    startSecurityScopedAccess(standard);
    if (auto data = FileSystemAccess::bookmarkData(standard, FileSystemAccess::kBookmarkCreationWithSecurityScope))
        FileTransferBookmarks::save(*data, standard == homePath() ? "Home" : platform::lastPathComponent(standard));
    loadLocalRoots();
    setText(views_.leftStatusLabel, VelantrixL10n::format("fileTransfer.accessGranted", "Access granted: %@", standard));
}

// ---- Confirmation.

void FileTransferWindowController::presentFolderAuthorizationConfirmation(const std::string& path,
                                                                          std::function<void(bool)> completion) {
    using namespace platform;
    auto& app = Application::shared();
    if (authorizationConfirmationPanel_) {
        app.activate(true);
        const auto& shown = authorizationConfirmationPanel_->window();
        shown->makeKeyAndOrderFront();
        shown->orderFrontRegardless();
        return;
    }
    auto panel = Panel::make(CGSize{480, 224}, kWindowStyleTitled | kWindowStyleClosable);
    auto panelWindow = panel->window();
    panel->isFloatingPanel = true;
    panelWindow->setLevel(kModalPanelWindowLevel);
    panelWindow->hidesOnDeactivate = false;
    panelWindow->setCollectionBehavior(kWindowCanJoinAllSpaces | kWindowFullScreenAuxiliary);
    panelWindow->isReleasedWhenClosed = false;
    panelWindow->title = VelantrixL10n::text("fileTransfer.authorizeTitle", "Allow File Transfer");

    auto content = View::plain();
    auto message = View::label(VelantrixL10n::text("fileTransfer.authorizeMessage", kAuthorizeMessageDefault));
    message->maximumNumberOfLines = 0;
    message->wrapsWords = true;
    message->font = Font::system(11);
    auto pathLabel = View::label(path);
    pathLabel->font = Font::monospacedSystem(11);
    pathLabel->textColor = Color::secondaryLabel;
    pathLabel->lineBreakMode = View::LineBreakMode::truncatingMiddle;
    std::weak_ptr<FileTransferWindowController> weakSelf = weak_from_this();
    auto cancel = View::button(VelantrixL10n::text("common.cancel", "Cancel"), [weakSelf](View&) {
        if (auto self = weakSelf.lock()) self->authorizationConfirmationCancelPressed();
    });
    auto allow = View::button(VelantrixL10n::text("fileTransfer.authorizeAndContinue", "Allow & Continue"),
                              [weakSelf](View&) {
                                  if (auto self = weakSelf.lock()) self->authorizationConfirmationAllowPressed();
                              });
    cancel->actionName = "authorizationConfirmationCancelPressed:";
    allow->actionName = "authorizationConfirmationAllowPressed:";
    cancel->bezelStyle = allow->bezelStyle = 1;
    allow->keyEquivalent = "\r";
    auto buttons = View::stack(View::Orientation::horizontal, {cancel, allow});
    buttons->spacing = 12;
    for (const auto& view : {message, pathLabel, buttons}) {
        view->translatesAutoresizingMaskIntoConstraints = false;
        content->addSubview(view);
    }
    using A = LayoutAttribute;
    const auto eq = LayoutRelation::equal;
    LayoutConstraint::activate({
        LayoutConstraint::between(message, A::top, eq, content, A::top, 16),
        LayoutConstraint::between(message, A::leading, eq, content, A::leading, 16),
        LayoutConstraint::between(message, A::trailing, eq, content, A::trailing, -16),
        LayoutConstraint::between(pathLabel, A::top, eq, message, A::bottom, 10),
        LayoutConstraint::between(pathLabel, A::leading, eq, content, A::leading, 16),
        LayoutConstraint::between(pathLabel, A::trailing, eq, content, A::trailing, -16),
        LayoutConstraint::between(buttons, A::trailing, eq, content, A::trailing, -16),
        LayoutConstraint::between(buttons, A::bottom, eq, content, A::bottom, -16),
    });
    panelWindow->contentView = content;
    panel->closeBoxAction = [weakSelf] {
        if (auto self = weakSelf.lock()) self->authorizationConfirmationCancelPressed();
    };

    authorizationConfirmationPanel_ = panel;
    std::weak_ptr<Panel> weakPanel = panel;
    auto done = std::make_shared<bool>(false);
    authorizationConfirmationFinish_ = [weakSelf, weakPanel, done, completion = std::move(completion)](bool allowed) {
        if (*done) return;
        *done = true;
        auto self = weakSelf.lock();
        auto panel = weakPanel.lock();
        if (panel && self && self->window()) removeChildWindow(self->window(), panel->window());
        if (panel) panel->window()->orderOut();
        if (completion) completion(allowed);
    };

    app.activate(true);
    if (const auto& window = this->window()) {
        window->makeKeyAndOrderFront();
        window->orderFrontRegardless();
        addChildWindow(window, panelWindow);
    }
    panelWindow->center();
    panelWindow->makeKeyAndOrderFront();
    panelWindow->orderFrontRegardless();
}

void FileTransferWindowController::authorizationConfirmationAllowPressed() {
    auto finish = std::move(authorizationConfirmationFinish_);
    authorizationConfirmationFinish_ = nullptr;
    authorizationConfirmationPanel_.reset();
    if (finish) finish(true);
}

void FileTransferWindowController::authorizationConfirmationCancelPressed() {
    auto finish = std::move(authorizationConfirmationFinish_);
    authorizationConfirmationFinish_ = nullptr;
    authorizationConfirmationPanel_.reset();
    if (finish) finish(false);
}
