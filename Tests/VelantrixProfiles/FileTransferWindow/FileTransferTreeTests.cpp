// Tree operations of the File Transfer window: what the ticks stand for,
// the unique top-level items and the size text.

#include <gtest/gtest.h>

#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Locale.h"
#include "Support/TestSupport.h"
#include "FileTransferTrees.h"

using Controller = FileTransferWindowController;
using Kind = FileTransferNode::Kind;

namespace {

std::vector<std::string> paths(const Controller::NodeList& nodes) {
    std::vector<std::string> out;
    for (const auto& n : nodes) out.push_back(n->path);
    return out;
}

}  // namespace

class FileTransferTree : public VirtualTimeTest {
protected:
    void SetUp() override { platform::Locale::setCurrentForTesting("en-US"); }
    void TearDown() override { platform::Locale::setCurrentForTesting(std::nullopt); }
};

TEST_F(FileTransferTree, FormatBytesUsesDecimalUnitsWithOneDecimal) {
    const std::pair<uint64_t, const char*> cases[] = {
        {0, "0 B"},          {999, "999 B"},         {1000, "1.0 KB"},
        {999999, "1000.0 KB"}, {1000000, "1.0 MB"}, {3500000, "3.5 MB"},
        {1000000000, "1.0 GB"}, {UINT64_MAX, "18446744073.7 GB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(Controller::formatBytes(bytes), text) << bytes;
}

TEST_F(FileTransferTree, CheckedNodesStandForTheirWholeSubtree) {
    // An unlisted ticked folder, a ticked folder with a ticked child, and a
    // folder whose only child is a "Loading..." placeholder.
    auto unlisted = dir("Unlisted", "/a/Unlisted");
    auto child = file("x.txt", "/a/Listed/x.txt", 5);
    auto listed = dir("Listed", "/a/Listed", {child});
    auto loading = placeholder("Loading...", "/a/Loading");
    auto waiting = dir("Waiting", "/a/Waiting", {loading});
    auto loose = file("loose.txt", "/a/loose.txt", 1);
    auto root = dir("a", "/a", {unlisted, listed, waiting, loose});
    Controller::NodeList roots{root};

    unlisted->isChecked = true;
    listed->isChecked = true;
    child->isChecked = true;
    waiting->isChecked = true;
    Controller::propagateCheckDown(waiting, true);
    EXPECT_TRUE(loading->isChecked);

    EXPECT_EQ(paths(Controller::collectCheckedFileNodes(roots)),
              (std::vector<std::string>{"/a/Unlisted", "/a/Listed", "/a/Waiting"}));
    EXPECT_FALSE(Controller::allNodesChecked(roots));
    EXPECT_TRUE(Controller::anyNodeChecked(roots));

    Controller::setAllChecked(roots, true);
    EXPECT_TRUE(Controller::allNodesChecked(roots));
    EXPECT_EQ(paths(Controller::collectCheckedFileNodes(roots)), (std::vector<std::string>{"/a"}));
    Controller::setAllChecked(roots, false);
    EXPECT_FALSE(Controller::anyNodeChecked(roots));
    EXPECT_FALSE(Controller::anyNodeMixed(roots));

    EXPECT_TRUE(Controller::allNodesChecked({}));
    EXPECT_FALSE(Controller::anyNodeChecked({}));
    EXPECT_FALSE(Controller::anyNodeMixed({}));
}

TEST_F(FileTransferTree, UniqueTopLevelItemsDropDuplicatesAndContainedItems) {
    const std::string home = platform::Folders::home().string();
    struct Item {
        std::string path;
        Kind kind;
    };
    const struct {
        const char* what;
        std::vector<Item> items;
        std::vector<std::string> expected;
    } cases[] = {
        {"one folder through ~ and through its full path",
         {{"~/Documents", Kind::directory}, {home + "/Documents", Kind::directory}},
         {home + "/Documents"}},
        {"an item inside a ticked folder of another root",
         {{"/v/reports/q1.pdf", Kind::file}, {"/v/reports", Kind::directory}},
         {"/v/reports"}},
        {"a sibling that merely continues the name",
         {{"/v/reports-old", Kind::directory}, {"/v/reports", Kind::directory}},
         {"/v/reports", "/v/reports-old"}},
        {"a file does not contain what continues its path",
         {{"/v/a", Kind::file}, {"/v/a/b", Kind::file}},
         {"/v/a", "/v/a/b"}},
        {"sorted by path without regard to case",
         {{"/v/cherry", Kind::file}, {"/v/Banana", Kind::file}, {"/v/apple", Kind::file}},
         {"/v/apple", "/v/Banana", "/v/cherry"}},
        {"the root volume holds every absolute path",
         {{"/", Kind::volume}, {"/Users/me/a.txt", Kind::file}},
         {"/"}},
    };
    for (const auto& c : cases) {
        Controller::NodeList nodes;
        for (const auto& item : c.items) nodes.push_back(makeNode(item.path, item.path, item.kind));
        EXPECT_EQ(paths(Controller::uniqueTopLevelNodes(nodes)), c.expected) << c.what;
    }
}

TEST_F(FileTransferTree, HostPathsExpandOnlyWithTheHostsHome) {
    auto homeRoot = dir("Home", "~");
    auto documents = dir("Documents", "~/Documents");
    auto deep = file("a", "/Users/host/Desktop/a");
    const struct {
        std::optional<std::string> hostHome;
        Controller::NodeList nodes;
        std::vector<std::string> expected;
    } cases[] = {
        {std::nullopt, {homeRoot, documents}, {"~"}},
        // Unknown home: "~" forms compare only with "~" forms.
        {std::nullopt, {homeRoot, deep}, {"/Users/host/Desktop/a", "~"}},
        {"/Users/host", {homeRoot, deep}, {"~"}},
        {"/Users/host", {deep, documents}, {"/Users/host/Desktop/a", "~/Documents"}},
    };
    for (const auto& c : cases) {
        auto key = [&](const std::string& p) { return Controller::hostPathKey(p, c.hostHome); };
        EXPECT_EQ(paths(Controller::uniqueTopLevelNodes(c.nodes, key)), c.expected) << c.hostHome.value_or("unknown");
    }
    // The Viewer's own home never stands in for the Host's.
    EXPECT_EQ(Controller::hostPathKey("~/x", std::nullopt), "~/x");
    EXPECT_EQ(Controller::hostPathKey("~other/x", std::string("/Users/host")), "~other/x");
}

TEST_F(FileTransferTree, KindSortKeyUsesTheUpperCasedExtension) {
    const std::pair<const char*, const char*> files[] = {
        {"archive.tar.gz", "GZ"}, {"photo.jpeg", "JPEG"}, {"README", "\xEF\xBF\xBF"}, {".profile", "\xEF\xBF\xBF"}};
    for (const auto& [name, key] : files) EXPECT_EQ(file(name, name)->kindSortKey(), key) << name;
    EXPECT_EQ(dir("x.app", "/x.app")->kindSortKey(), "");
    EXPECT_EQ(placeholder("Loading...", "/")->kindSortKey(), "");
}
