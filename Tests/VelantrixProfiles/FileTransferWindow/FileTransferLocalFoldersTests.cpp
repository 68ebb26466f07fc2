// This device's roots, the grant store, local listings, folder coverage,
// and the folder-access and confirmation panels.

#include <gtest/gtest.h>

#include <fstream>

#include "FileTransferWindowFixture.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Files/FileSystemAccess.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Json.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Platform/Foundation/UserDefaults.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferBookmarks.h"

namespace fs = std::filesystem;
using platform::FileSystemAccess;
using Kind = FileTransferNode::Kind;

namespace {

std::string mkdirs(const std::string& relative) {
    const auto path = platform::Folders::home() / relative;
    fs::create_directories(path);
    return path.string();
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::vector<uint8_t> bookmarkOf(const std::string& path) {
    return *FileSystemAccess::bookmarkData(path, FileSystemAccess::kBookmarkCreationWithSecurityScope);
}

void grant(const std::string& path, std::optional<std::string> name = std::nullopt) {
    FileTransferBookmarks::save(bookmarkOf(path), name);
}

void storeRaw(const std::string& json) {
    platform::UserDefaults::standard().set(FileTransferBookmarks::kDefaultsKey,
                                           platform::PlistValue::Data(json.begin(), json.end()));
}

std::string storedText() {
    auto value = platform::UserDefaults::standard().objectForKey(FileTransferBookmarks::kDefaultsKey);
    const auto* data = value ? value->asData() : nullptr;
    return data ? std::string(data->begin(), data->end()) : "";
}

}  // namespace

class FileTransferLocalFoldersTest : public FileTransferWindowTest {
protected:
    std::vector<std::pair<std::string, std::string>> roots() const {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& r : controller->localRoots()) out.emplace_back(r->name, r->path);
        return out;
    }
};

TEST_F(FileTransferLocalFoldersTest, RootsFollowStandardFoldersAndGrants) {
    using Roots = std::vector<std::pair<std::string, std::string>>;
    const struct {
        const char* what;
        std::function<void()> setUp;
        std::function<Roots()> expected;
    } cases[] = {
        {"standard folders only when they are folders",
         [] {
             mkdirs("Desktop");
             writeFile(home() + "/Downloads", "not a folder");
         },
         [] { return Roots{{"Desktop", "~/Desktop"}}; }},
        {"home granted hides all three",
         [] {
             mkdirs("Desktop"), mkdirs("Documents"), mkdirs("Downloads");
             grant(home());
         },
         [] { return Roots{{"Home", home()}}; }},
        {"a grant inside Documents hides nothing",
         [] { grant(mkdirs("Documents/Projects"), "Projects"); },
         [] { return Roots{{"Documents", "~/Documents"}, {"Projects", home() + "/Documents/Projects"}}; }},
        {"nested grants keep the outer",
         [] {
             grant(mkdirs("Data/Projects"), "Projects");
             grant(home() + "/Data/./", "Data");
         },
         [] { return Roots{{"Data", home() + "/Data"}}; }},
        {"the root folder hides every other",
         [] {
             mkdirs("Desktop");
             grant(mkdirs("Data"), "Data");
             grant("/", "Disk");
         },
         [] { return Roots{{"Disk", "/"}}; }},
        {"a moved-away grant is skipped but stays stored",
         [] {
             grant(mkdirs("Gone"), "Gone");
             fs::remove(home() + "/Gone");
         },
         [] { return Roots{}; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dataRoot.reset();
        dataRoot = std::make_unique<TemporaryDataRoot>();
        fs::create_directories(platform::Folders::home());
        c.setUp();
        make();
        EXPECT_EQ(roots(), c.expected());
    }
    EXPECT_EQ(FileTransferBookmarks::load().size(), 1u);
}

TEST_F(FileTransferLocalFoldersTest, EqualBookmarksAreStoredOnceAndRoundTrip) {
    const auto projects = mkdirs("Projects");
    grant(projects, "Work");
    grant(projects, "Other name");
    grant(mkdirs("Music"));
    const auto stored = FileTransferBookmarks::load();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0], (FileTransferBookmarks::Entry{bookmarkOf(projects), "Work"}));
    EXPECT_FALSE(stored[1].displayName);
    EXPECT_EQ(storedText().find("\"displayName\":null"), std::string::npos);
    make();
    EXPECT_EQ(names(controller->localRoots()), (std::vector<std::string>{"Work", "Music"}));
}

TEST_F(FileTransferLocalFoldersTest, OneCorruptEntryLosesNoOtherGrant) {
    const auto a = mkdirs("A"), b = mkdirs("B"), c = mkdirs("C");
    storeRaw("[{\"data\":\"" + platform::base64Encode(bookmarkOf(a)) + "\"},{\"data\":\"#not base64\"},{\"x\":1}," +
             "{\"data\":\"" + platform::base64Encode(bookmarkOf(b)) + "\",\"displayName\":null,\"extra\":true}]");
    make();
    EXPECT_EQ(names(controller->localRoots()), (std::vector<std::string>{"A", "B"}));
    EXPECT_TRUE(logContains("folder grant 1 does not decode"));

    controller->addLocalBookmark(c);
    EXPECT_EQ(names(controller->localRoots()), (std::vector<std::string>{"A", "B", "C"}));
    const auto array = *platform::parseJson(storedText());
    ASSERT_EQ(array.size(), 5u);
    EXPECT_EQ(array[1]["data"], "#not base64");  // kept as it was
    EXPECT_EQ(array[2]["x"], 1);

    storeRaw("{\"not\":\"a list\"}");
    controller->addLocalBookmark(c);
    EXPECT_EQ(FileTransferBookmarks::load().size(), 1u);
    EXPECT_TRUE(logContains("were not a list; replaced"));
}

TEST_F(FileTransferLocalFoldersTest, ListingSkipsDotFilesInheritsTheTickAndListsOnce) {
    const auto folder = mkdirs("Box");
    mkdirs("Box/sub");
    mkdirs("Box/empty");
    writeFile(folder + "/.hidden", "x");
    writeFile(folder + "/b.txt", "abc");
    make();
    auto node = dir("Box", "~/Box");
    node->isChecked = true;
    controller->loadLocalChildren(node);
    ASSERT_TRUE(node->children);
    EXPECT_EQ(names(*node->children), (std::vector<std::string>{"empty", "sub", "b.txt"}));
    const auto& txt = node->children->back();
    EXPECT_EQ(txt->kind, Kind::file);
    EXPECT_EQ(txt->size, 3u);
    EXPECT_TRUE(txt->modificationDate);
    EXPECT_EQ(txt->path, folder + "/b.txt");
    EXPECT_EQ(txt->parent.lock(), node);
    for (const auto& child : *node->children) EXPECT_TRUE(child->isChecked && !child->isMixedState);

    auto empty = node->children->front();
    controller->loadLocalChildren(empty);
    ASSERT_TRUE(empty->children);
    EXPECT_TRUE(empty->children->empty());
    writeFile(folder + "/empty/late.txt", "");
    controller->loadLocalChildren(empty);
    EXPECT_TRUE(empty->children->empty());  // not listed again

    const struct {
        const char* what;
        std::function<std::string()> path;
    } unlistable[] = {
        {"vanished", [] { return std::string("~/Nowhere"); }},
        {"a file", [folder] { return folder + "/b.txt"; }},
        {"refused", [] {
             FileSystemAccess::setListingFailureForTesting(mkdirs("Locked"), true);
             return std::string("~/Locked");
         }},
    };
    for (const auto& c : unlistable) {
        SCOPED_TRACE(c.what);
        auto locked = dir("L", c.path());
        controller->loadLocalChildren(locked);
        ASSERT_EQ(locked->children->size(), 1u);
        const auto& row = locked->children->front();
        EXPECT_EQ(row->kind, Kind::placeholder);
        EXPECT_EQ(row->name, "\U0001F512 Permission required \u2014 use + Add Folder\u2026");
        EXPECT_EQ(row->path, locked->path);
        EXPECT_TRUE(controller->localDirectoryNeedsAuthorization(*locked));
    }
    EXPECT_FALSE(controller->localDirectoryNeedsAuthorization(*node));
}

TEST_F(FileTransferLocalFoldersTest, FolderCoverage) {
    mkdirs("Desktop/Sub");
    grant(mkdirs("Data/Projects"), "Projects");
    mkdirs("Data/ProjectsOld");
    make();
    const struct {
        std::string path;
        bool covered;
    } cases[] = {
        {home() + "/Data/Projects", true},     {home() + "/Data/Projects/deep/er", true},
        {home() + "/Data/ProjectsOld", false}, {home() + "/Data", false},
        {home() + "/Desktop/Sub", true},       {home() + "/Documents", false},
        {home() + "/Desktop/../Data/Projects/x", true},
    };
    for (const auto& c : cases) EXPECT_EQ(controller->isFolderAuthorized(c.path), c.covered) << c.path;
}

TEST_F(FileTransferLocalFoldersTest, FolderAccessSheetGrantsAndRestoresTheWindow) {
    const auto folder = mkdirs("Shared");
    make();
    const auto& window = controller->window();
    controller->addLocalFolder();
    auto panel = controller->folderAuthorizationPanel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(window->attachedSheet(), panel->window());
    EXPECT_EQ(window->level(), platform::kFloatingWindowLevel);
    EXPECT_TRUE(panel->canChooseDirectories && !panel->canChooseFiles && panel->canCreateDirectories);
    EXPECT_EQ(panel->directoryURL, home());
    EXPECT_EQ(panel->prompt, "Allow & Continue");

    controller->addLocalFolder();  // only raises the one shown
    EXPECT_EQ(controller->folderAuthorizationPanel(), panel);

    panel->answerOK(folder + "/");
    EXPECT_EQ(window->level(), platform::kNormalWindowLevel);
    EXPECT_EQ(window->collectionBehavior(), 258u);
    EXPECT_FALSE(controller->folderAuthorizationPanel());
    EXPECT_EQ(names(controller->localRoots()), (std::vector<std::string>{"Shared"}));
    EXPECT_EQ(ui().leftStatusLabel->text, "Access granted: " + folder);
    EXPECT_EQ(controller->lastAuthorizedFolderURL(), fs::path(folder));

    controller->addLocalFolder();
    EXPECT_EQ(controller->folderAuthorizationPanel()->directoryURL, folder);
    controller->folderAuthorizationPanel()->answerCancel();
    EXPECT_EQ(FileTransferBookmarks::load().size(), 1u);

    const auto scopes = platform::SimulatedMachine::current().component<platform::SimulatedSecurityScopes>().open;
    EXPECT_EQ(scopes.count(folder), 1u);
    controller.reset();
    const auto& s = platform::SimulatedMachine::current().component<platform::SimulatedSecurityScopes>();
    EXPECT_TRUE(s.open.empty());
    EXPECT_EQ(s.stopped, (std::vector<std::string>{folder}));
}

TEST_F(FileTransferLocalFoldersTest, ConfirmationAnswersOnceWhicheverWayItEnds) {
    const struct {
        const char* what;
        std::function<void(platform::Panel&)> end;
        bool allowed;
    } cases[] = {
        {"Return", [](platform::Panel& p) { EXPECT_TRUE(p.window()->performKeyEquivalent("\r")); }, true},
        {"close box", [](platform::Panel& p) { p.clickCloseBox(); }, false},
        {"Cancel", [](platform::Panel& p) { p.window()->contentView->findByText("Cancel")->performClick(); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        make();
        std::vector<bool> answers, dropped;
        controller->presentFolderAuthorizationConfirmation("/srv/in", [&](bool ok) { answers.push_back(ok); });
        auto panel = controller->authorizationConfirmationPanel();
        ASSERT_TRUE(panel);
        auto window = panel->window();
        EXPECT_EQ(window->title, "Allow File Transfer");
        EXPECT_EQ(window->level(), platform::kModalPanelWindowLevel);
        EXPECT_EQ(window->collectionBehavior(), 257u);
        EXPECT_TRUE(window->contentView->findByText("/srv/in"));
        EXPECT_EQ(platform::childWindows(*controller->window()), (std::vector{window}));
        controller->presentFolderAuthorizationConfirmation("/other", [&](bool ok) { dropped.push_back(ok); });
        EXPECT_EQ(controller->authorizationConfirmationPanel(), panel);

        c.end(*panel);
        controller->authorizationConfirmationAllowPressed();  // nothing left to answer
        EXPECT_EQ(answers, (std::vector<bool>{c.allowed}));
        EXPECT_TRUE(dropped.empty());
        EXPECT_FALSE(window->isVisible());
        EXPECT_TRUE(platform::childWindows(*controller->window()).empty());
        EXPECT_FALSE(controller->authorizationConfirmationPanel());
    }
}
