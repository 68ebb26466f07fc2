// Removing staged items: only what lies in the inbox, reached without a
// link, ever goes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Platform/Files/Folders.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/FileTransfer/FileTransferStagedItems.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class StagedItems : public VirtualTimeTest {};

TEST_F(StagedItems, OnlyItemsInTheInboxGo) {
    const fs::path batch = FileTransferStagedItems::inboxRoot() / "Viewer" / "1796464807-ABCDEF12";
    const fs::path elsewhere = dataRoot->path() / "elsewhere";
    struct Case {
        const char* name;
        fs::path item;
        // Where the item named actually lies.
        fs::path lies;
        bool removed;
    };
    const std::vector<Case> cases = {
        {"a staged file", batch / "a.txt", batch / "a.txt", true},
        {"a staged folder", batch / "Photos", batch / "Photos", true},
        {"a path outside the inbox", elsewhere / "a.txt", elsewhere / "a.txt", false},
        {"a path that climbs out of it", batch / (elsewhere / "a.txt").lexically_relative(batch), elsewhere / "a.txt",
         false},
        {"the inbox itself", FileTransferStagedItems::inboxRoot(), FileTransferStagedItems::inboxRoot(),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(batch);
        fs::create_directories(elsewhere);
        if (c.lies.filename() == "Photos") {
            fs::create_directories(c.lies / "2025");
            std::ofstream(c.lies / "2025" / "p.jpg") << "photo";
        } else if (!fs::exists(c.lies)) {
            std::ofstream(c.lies) << "kept?";
        }
        EXPECT_EQ(FileTransferStagedItems::remove({c.item}), c.removed ? 0u : 1u);
        EXPECT_EQ(fs::exists(c.lies), !c.removed);
        fs::remove_all(elsewhere);
    }
    EXPECT_EQ(FileTransferStagedItems::remove({batch / "gone.txt"}), 0u) << "an item already gone is no failure";
    FileTransferStagedItems::removeBatchFolderOf({batch / "a.txt"});
    EXPECT_FALSE(fs::exists(batch)) << "the batch folder goes once empty";
}

}  // namespace
