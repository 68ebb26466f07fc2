#include <gtest/gtest.h>

#include "AuxServerTestFixture.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Display/HostDisplayModeSwitcher.h"

TEST_F(AuxServerTest, DisplayReportNamesTheSelectedRealDisplay) {
    std::string report = server->displayDiagnostics();
    EXPECT_EQ(report, "Selected display: 1 (auto; backend real display; switch fallback on)\n" +
                          HostDisplayModeSwitcher::displayDiagnostics());
    EXPECT_EQ(report.find("Virtual template"), std::string::npos);
}

TEST_F(AuxServerTest, DisplayReportDescribesTheHeadlessTemplateAndWhatIsLive) {
    server->queue.sync([&] {
        server->useHeadlessVirtualDisplay = true;
        server->displaySelectionIsManual = true;
    });
    // Requested but not live yet: the physical display stands in.
    std::string pending = server->displayDiagnostics();
    EXPECT_EQ(pending.rfind("Selected display: 1 (manual; backend headless virtual requested (fallback active); "
                            "switch fallback off)\nVirtual template: ",
                            0),
              0u)
        << pending;
    EXPECT_NE(pending.find("\nPhysical display: 1\n"), std::string::npos) << pending;

    auto& display = HeadlessVirtualDisplay::shared();
    ASSERT_FALSE(display.startPresetDisplay(HeadlessVirtualDisplay::easyPreset(), "Norvessal Presets", 0));
    advance(2);
    std::string live = server->displayDiagnostics();
    EXPECT_NE(live.find("backend headless virtual active"), std::string::npos) << live;
    EXPECT_NE(live.find("\nVirtual actual: " + display.summary()), std::string::npos) << live;
}

TEST_F(AuxServerTest, GeometryChecksFollowTheCatalogue) {
    HostDisplayGeometry panel{1, 1512, 982, 3024, 1964, 120, true};
    EXPECT_EQ(server->physicalFallbackMode(VideoCaptureMode::pro, panel), VideoCaptureMode::physical1440);
    EXPECT_EQ(server->physicalFallbackMode(VideoCaptureMode::easy, panel), VideoCaptureMode::physical1080);
    HostDisplayGeometry fullHD{2, 1920, 1080, 1920, 1080, 60, false};
    EXPECT_EQ(server->physicalFallbackMode(VideoCaptureMode::max, fullHD), VideoCaptureMode::physical1080);
    EXPECT_TRUE(server->geometrySatisfiesStrictMode(fullHD, VideoCaptureMode::physical1080));
    EXPECT_FALSE(server->geometrySatisfiesStrictMode(fullHD, VideoCaptureMode::pro));
}
