#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>

#include "HostApp/Shell/DiagnosticLogBuffer.h"
#include "HostApp/Shell/HostVersionStrings.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/ProcessInfo.h"
#include "Platform/Runtime/Runtime.h"
#include "Support/TestSupport.h"

using namespace platform;

// Runs with the local time zone fixed five and a half hours east of UTC.
class DiagnosticLogBufferTest : public VirtualTimeTest {
protected:
    DiagnosticLogBufferTest() {
        if (const char* tz = std::getenv("TZ")) savedTz = tz;
        setenv("TZ", "<+0530>-5:30", 1);
        tzset();
    }
    ~DiagnosticLogBufferTest() override {
        if (savedTz) setenv("TZ", savedTz->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> savedTz;
};

TEST_F(DiagnosticLogBufferTest, KeepsTheNewest400) {
    for (int total : {401, 1000}) {
        DiagnosticLogBuffer log;
        for (int i = 1; i <= total; ++i) log.append("event " + std::to_string(i));
        auto entries = log.entries();
        ASSERT_EQ(entries.size(), 400u);
        EXPECT_EQ(entries.front().text.substr(13), "event " + std::to_string(total - 399));
        EXPECT_EQ(entries.back().text.substr(13), "event " + std::to_string(total));
    }
}

TEST_F(DiagnosticLogBufferTest, StampsLocalTimeOfDayWithMilliseconds) {
    DiagnosticLogBuffer log;
    log.append("");  // virtual clock: 09:00:00.000 UTC
    advance(3723.456);
    log.append("power: wake");
    auto entries = log.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text, "14:30:00.000 ");
    EXPECT_EQ(entries[1].text, "15:32:03.456 power: wake");
    EXPECT_NEAR(entries[1].date.timeIntervalSince(entries[0].date), 3723.456, 1e-6);
}

TEST(DiagnosticLogBufferConcurrencyTest, AppendsFromFourQueuesKeepWholeEntries) {
    Runtime::install(nullptr);  // real queues, each on its own thread
    DiagnosticLogBuffer log;
    std::vector<DispatchQueue> queues;
    for (int q = 0; q < 4; ++q) queues.emplace_back("v230.host.test.log" + std::to_string(q));
    for (int q = 0; q < 4; ++q)
        queues[q].async([&log, q] {
            for (int i = 0; i < 500; ++i) log.append("queue " + std::to_string(q) + " item " + std::to_string(i));
        });
    for (auto& q : queues) q.sync([] {});
    auto entries = log.entries();
    ASSERT_EQ(entries.size(), 400u);
    std::set<std::string> distinct;
    for (const auto& e : entries) {
        EXPECT_EQ(e.text[12], ' ');
        EXPECT_EQ(e.text.substr(13, 6), "queue ");
        distinct.insert(e.text.substr(13));
    }
    EXPECT_EQ(distinct.size(), 400u);
}

class HostVersionTest : public ::testing::Test {
protected:
    void TearDown() override { Bundle::setMainForTesting(std::nullopt); }
    void install(std::map<std::string, std::string> info, std::optional<std::filesystem::path> exec = std::nullopt) {
        Bundle::setMainForTesting(Bundle("/opt/norvessal", std::move(exec), std::move(info)));
    }
};

TEST_F(HostVersionTest, BuildFallsBackToVersionAndVersionToUnknown) {
    const struct {
        std::map<std::string, std::string> info;
        const char* version;
        const char* build;
    } cases[] = {
        {{{"CFBundleShortVersionString", "2.1.0"}, {"CFBundleVersion", "2105"}}, "2.1.0", "2105"},
        {{{"CFBundleShortVersionString", "2.1.0"}}, "2.1.0", "2.1.0"},
        {{{"CFBundleShortVersionString", "2.1.0"}, {"CFBundleVersion", ""}}, "2.1.0", "2.1.0"},
        {{{"CFBundleShortVersionString", ""}, {"CFBundleVersion", ""}}, "unknown", "unknown"},
        {{}, "unknown", "unknown"},
    };
    for (const auto& c : cases) {
        install(c.info);
        EXPECT_EQ(hostAppVersionString(), c.version);
        EXPECT_EQ(hostBundleVersionString(), c.build);
    }
}

TEST_F(HostVersionTest, BuildMarkerIsOneExactLine) {
    const std::string os = ProcessInfo::operatingSystemVersionString();
    install({{"CFBundleShortVersionString", "2.1.0"}, {"CFBundleVersion", "2105"}}, "/opt/norvessal/norvessal-host");
    EXPECT_EQ(hostBuildMarkerString(), "V2.1.0 build=2105 version=2.1.0 os=" + os +
                                           " bundle=/opt/norvessal exec=/opt/norvessal/norvessal-host");
    install({{"CFBundleShortVersionString", "2.1.0"}});
    EXPECT_EQ(hostBuildMarkerString(), "V2.1.0 build=2.1.0 version=2.1.0 os=" + os + " bundle=/opt/norvessal exec=unknown");
}

TEST_F(HostVersionTest, RealMainBundleIsTheExecutablesFolder) {
    Bundle main = Bundle::main();
    ASSERT_TRUE(main.executablePath().has_value());
    EXPECT_EQ(main.executablePath()->parent_path(), main.bundlePath());
    EXPECT_FALSE(hostAppVersionString().empty());
    EXPECT_NE(hostAppVersionString(), "unknown");
}
