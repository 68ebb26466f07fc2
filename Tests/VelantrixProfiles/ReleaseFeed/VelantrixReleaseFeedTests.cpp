#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Files/Folders.h"
#include "Platform/Foundation/PropertyList.h"
#include "Support/TestSupport.h"
#include "VelantrixProfiles/ReleaseFeed/VelantrixReleaseFeedService.h"

using platform::PlistValue;
using Product = VelantrixReleaseFeed::Product;
namespace fs = std::filesystem;

namespace {

std::optional<VelantrixReleaseFeed> decode(const std::string& text) {
    return VelantrixReleaseFeed::decode(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

TEST(VelantrixReleaseFeedDecoding, NeedsAllSixMembersAsStrings) {
    const VelantrixReleaseFeed feed{{"2.0", "7"}, {"1.6.0", "42"}};
    const std::pair<const char*, std::optional<VelantrixReleaseFeed>> rows[] = {
        {R"({"viewer":{"version":"2.0","build":"7"},"host":{"version":"1.6.0","build":"42"}})", feed},
        {R"({"channel":"beta","viewer":{"version":"2.0","build":"7","notes":1},"host":{"version":"1.6.0","build":"42"}})",
         feed},
        {R"({"viewer":{"version":"2.0","build":"7"},"host":{"version":"1.6.0"}})", std::nullopt},
        {R"({"viewer":{"version":"2.0","build":"7"},"host":{"version":"1.6.0","build":42}})", std::nullopt},
        {R"({"viewer":{"version":"2.0","build":"7"},"host":{"version":null,"build":"42"}})", std::nullopt},
        {R"({"viewer":null,"host":{"version":"1.6.0","build":"42"}})", std::nullopt},
        {R"({"Viewer":{"version":"2.0","build":"7"},"host":{"version":"1.6.0","build":"42"}})", std::nullopt},
        {R"([{"viewer":{}}])", std::nullopt},
        {"<html>not JSON</html>", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : rows) EXPECT_EQ(decode(text), expected) << text;
    EXPECT_EQ(feed.host.displayString(), "V1.6.0 (42)");
}

TEST(VelantrixReleaseFeedVersionRule, NewerVersionOrSameVersionWithLargerBuild) {
    struct Row {
        const char* currentVersion;
        const char* currentBuild;
        const char* latestVersion;
        const char* latestBuild;
        bool available;
    };
    const Row rows[] = {
        {"1.2", "50", "1.2.0", "51", true},
        {"1.2", "50", "1.2.0", "50", false},
        {"1.2.0.0", "50", "1.2", "49", false},
        {"1.10", "5", "1.9", "99", false},
        {"1.9", "99", "1.10", "5", true},
        {"1.2.1", "50", "1.3", "10", true},
        {"2.0", "10", "1.9.9", "99", false},
        {" 1.2 ", "50\n", "1.2\n", " 51", true},
        {"\u00A01.2\u2003", "\u300050", "1.2", "51", true},
        {"1..2", "50", "1.3", "51", false},
        {"1.2.", "50", "1.3", "51", false},
        {".1", "50", "1.3", "51", false},
        {"", "50", "1.3", "51", false},
        {"1.2-beta", "50", "1.3", "51", false},
        {"1.2", "0", "1.3", "51", false},
        {"1.2", "", "1.3", "51", false},
        {"1.2", "+5", "1.3", "51", false},
        {"1.2", "12a", "1.3", "51", false},
        {"1.2", "50", "1.3", "-1", false},
        {"\u0661.\u0662", "50", "1.3", "51", false},  // Arabic-Indic digits
        {"1.2", "\u0665\u0660", "1.3", "51", false},
        {"1.2", "99999999999999999999", "1.3", "51", false},
        // A piece beyond 64 bits makes the version malformed rather than
        // vanishing and comparing as 1.5.
        {"1.99999999999999999999.5", "50", "1.6", "51", false},
        {"1.6", "50", "1.99999999999999999999.5", "51", false},
        {"9223372036854775807.1", "9223372036854775806", "9223372036854775807.1", "9223372036854775807", true},
        {"9223372036854775807", "1", "9223372036854775806", "2", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(VelantrixReleaseFeedService::isUpdateAvailable(row.currentVersion, row.currentBuild,
                                                                 Product{row.latestVersion, row.latestBuild}),
                  row.available)
            << row.currentVersion << " (" << row.currentBuild << ") -> " << row.latestVersion << " ("
            << row.latestBuild << ")";
    }
}

class InstalledHostVersion : public VirtualTimeTest {
protected:
    static void install(const fs::path& app, std::optional<PlistValue> info, bool binary = false) {
        if (!info) return;
        fs::create_directories(app / "Contents");
        auto bytes = binary ? platform::PropertyList::writeBinary(*info) : platform::PropertyList::writeXML(*info);
        std::ofstream(app / "Contents" / "Info.plist", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    static PlistValue info(std::optional<PlistValue> shortVersion, std::optional<PlistValue> build) {
        PlistValue v;
        if (shortVersion) v.set("CFBundleShortVersionString", *shortVersion);
        if (build) v.set("CFBundleVersion", *build);
        return v;
    }
};

TEST_F(InstalledHostVersion, MachineWideAppWinsAndAMissingBuildRepeatsTheVersion) {
    struct Row {
        const char* name;
        std::optional<PlistValue> machine;
        std::optional<PlistValue> user;
        bool binary;
        std::optional<Product> expected;
    };
    const Row rows[] = {
        {"both", info("1.6.0", "42"), info("1.5.0", "40"), false, Product{"1.6.0", "42"}},
        {"machine without version", info(std::nullopt, "42"), info("1.5.0", "40"), false, Product{"1.5.0", "40"}},
        {"machine version not a string", info(PlistValue(16), "42"), std::nullopt, false, std::nullopt},
        {"user only, no build", std::nullopt, info("1.5.0", std::nullopt), false, Product{"1.5.0", "1.5.0"}},
        {"build not a string", info("1.6.0", PlistValue(42)), std::nullopt, false, Product{"1.6.0", "1.6.0"}},
        {"binary list", info("1.6.0", "42"), std::nullopt, true, Product{"1.6.0", "42"}},
        {"none", std::nullopt, std::nullopt, false, std::nullopt},
    };
    const fs::path machineApp = platform::Folders::machineApplications() / "NorvessalHost.app";
    const fs::path userApp = platform::Folders::home() / "Applications" / "NorvessalHost.app";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(machineApp);
        fs::remove_all(userApp);
        install(machineApp, row.machine, row.binary);
        install(userApp, row.user, row.binary);
        EXPECT_EQ(VelantrixReleaseFeedService::installedHostVersion(), row.expected);
    }
}

}  // namespace
