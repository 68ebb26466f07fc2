#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Runtime/Dispatch.h"
#include "Platform/Files/FileIO.h"
#include "Platform/Files/Folders.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/UserDefaults.h"
#include "Support/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class FoundationUserDefaults : public platform::testing::VirtualTimeTest {};

PlistValue fileContents(const fs::path& path) {
    auto bytes = FileIO::readAll(path);
    if (!bytes) return PlistValue(PlistValue::Array{});
    auto v = PropertyList::read(*bytes);
    return v ? *v : PlistValue(PlistValue::Array{});
}

}  // namespace

TEST_F(FoundationUserDefaults, AbsentKeysReadAsFalseZeroAndEmpty) {
    auto& d = UserDefaults::standard();
    EXPECT_FALSE(d.boolForKey("host.launchAtLogin.desired"));
    EXPECT_EQ(d.integerForKey("host.launchAtLogin.desired"), 0);
    EXPECT_EQ(d.doubleForKey("host.launchAtLogin.desired"), 0.0);
    EXPECT_EQ(d.stringForKey("app.languageOverride"), "");
    EXPECT_FALSE(d.objectForKey("app.languageOverride").has_value());
    EXPECT_FALSE(fs::exists(d.filePath()));  // reading writes nothing
}

TEST_F(FoundationUserDefaults, ValuesPersistAsABinaryListPerSuite) {
    auto& host = UserDefaults::standard();
    auto& shared = UserDefaults::suite("com.qarvex.velantrix.shared");
    EXPECT_EQ(&UserDefaults::suite("com.norvessal.host"), &host);
    EXPECT_EQ(host.filePath(), Folders::preferences() / "com.norvessal.host.plist");
    EXPECT_EQ(shared.filePath(), Folders::preferences() / "com.qarvex.velantrix.shared.plist");

    host.set("host.autoUpdate.enabled", true);
    host.set("host.count", int64_t{6000000000});
    host.set("host.ratio", 0.75);
    host.set("host.list", PlistValue::Array{"a", "b"});
    shared.set("app.languageOverride", "de");

    EXPECT_TRUE(host.boolForKey("host.autoUpdate.enabled"));
    EXPECT_EQ(host.integerForKey("host.count"), 6000000000);
    EXPECT_EQ(host.doubleForKey("host.ratio"), 0.75);
    EXPECT_EQ(host.objectForKey("host.list"), PlistValue(PlistValue::Array{"a", "b"}));
    EXPECT_EQ(shared.stringForKey("app.languageOverride"), "de");
    EXPECT_EQ(host.stringForKey("app.languageOverride"), "");

    auto bytes = FileIO::readAll(host.filePath());
    ASSERT_TRUE(bytes.ok());
    ASSERT_GE(bytes->size(), 8u);
    EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 8), "bplist00");
    PlistValue onDisk = fileContents(host.filePath());
    EXPECT_EQ(onDisk["host.count"]->asInteger(), 6000000000);
    EXPECT_EQ(fileContents(shared.filePath())["app.languageOverride"]->asString(), "de");
    EXPECT_EQ(fs::status(host.filePath()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    host.removeObject("host.ratio");
    EXPECT_EQ(host.doubleForKey("host.ratio"), 0.0);
    EXPECT_EQ(fileContents(host.filePath())["host.ratio"], nullptr);
    // Only the two suite files, no temporary leftovers.
    size_t entries = 0;
    for (auto& e : fs::directory_iterator(Folders::preferences())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
}

TEST_F(FoundationUserDefaults, NumbersBooleansAndStringsConvert) {
    auto& d = UserDefaults::standard();
    d.set("i", 3);
    d.set("r", 2.9);
    d.set("yes", "YES");
    d.set("num", "42");
    d.set("t", true);
    d.set("junk", "banana");
    d.set("data", PlistValue::Data{1});
    EXPECT_TRUE(d.boolForKey("i"));
    EXPECT_EQ(d.integerForKey("r"), 2);
    EXPECT_EQ(d.doubleForKey("i"), 3.0);
    EXPECT_TRUE(d.boolForKey("yes"));
    EXPECT_EQ(d.integerForKey("num"), 42);
    EXPECT_EQ(d.doubleForKey("num"), 42.0);
    EXPECT_EQ(d.integerForKey("t"), 1);
    EXPECT_EQ(d.stringForKey("i"), "3");
    EXPECT_FALSE(d.boolForKey("junk"));
    EXPECT_EQ(d.integerForKey("junk"), 0);
    EXPECT_EQ(d.stringForKey("data"), "");
    EXPECT_FALSE(d.boolForKey("data"));
}

TEST_F(FoundationUserDefaults, FollowsTheOverrideRootAndChangesOnDisk) {
    auto& d = UserDefaults::suite("com.norvessal.test.follow");
    d.set("k", "first root");
    fs::path firstFile = d.filePath();

    {
        platform::testing::TemporaryDataRoot second;
        EXPECT_EQ(d.stringForKey("k"), "");
        d.set("k", "second root");
        EXPECT_EQ(fileContents(firstFile)["k"]->asString(), "first root");
    }
    Folders::setOverrideRoot(dataRoot->path());
    EXPECT_EQ(d.stringForKey("k"), "first root");

    // Another process replacing the file is noticed on the next read.
    PlistValue replaced;
    replaced.set("k", "from elsewhere");
    ASSERT_TRUE(FileIO::writeAtomically(firstFile, PropertyList::writeBinary(replaced)).ok());
    EXPECT_EQ(d.stringForKey("k"), "from elsewhere");
    // And so is an XML file written by hand.
    ASSERT_TRUE(FileIO::writeAtomically(firstFile, PropertyList::writeXML(PlistValue().set("k", "xml"))).ok());
    EXPECT_EQ(d.stringForKey("k"), "xml");
    fs::remove(firstFile);
    EXPECT_EQ(d.stringForKey("k"), "");
}

TEST_F(FoundationUserDefaults, CorruptFileReadsAsEmptyAndIsLogged) {
    auto& d = UserDefaults::suite("com.norvessal.test.corrupt");
    fs::create_directories(Folders::preferences());
    std::ofstream(d.filePath()) << "bplist00 this is not a property list";
    EXPECT_FALSE(d.boolForKey("anything"));
    EXPECT_TRUE(logContains("defaults: ignoring unreadable settings file"));
    d.set("anything", true);
    EXPECT_TRUE(fileContents(d.filePath())["anything"]->asBool().value_or(false));
}

TEST(FoundationUserDefaultsThreads, ConcurrentWritersLoseNoKey) {
    // Real queues, so the writers truly run at the same time.
    platform::testing::TemporaryDataRoot root;
    auto& d = UserDefaults::suite("com.norvessal.test.threads");
    DispatchSemaphore finished(0);
    std::vector<DispatchQueue> queues;
    for (int t = 0; t < 4; ++t) {
        queues.emplace_back("v230.host.test.defaults" + std::to_string(t));
        queues.back().async([&d, &finished, t] {
            // GCC 12 at -O3 warns of an overlapping copy inside the std::string
            // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
            for (int i = 0; i < 10; ++i) d.set("k" + std::to_string(t) + "." + std::to_string(i), i);
#pragma GCC diagnostic pop
            finished.signal();
        });
    }
    for (int t = 0; t < 4; ++t) ASSERT_TRUE(finished.wait(60)) << "a writer is stuck";
    PlistValue onDisk = fileContents(d.filePath());
    ASSERT_TRUE(onDisk.isDictionary());
    EXPECT_EQ(onDisk.asDictionary()->size(), 40u);
    EXPECT_EQ(d.integerForKey("k3.9"), 9);
}
