#pragma once
// A fixture for the display tests: virtual time, a fresh machine, and no
// original modes left over from an earlier test.

#include <string>
#include <vector>

#include "HostApp/Display/HostDisplayModeSwitcher.h"
#include "Platform/SimulatedMac/CoreGraphicsDisplays.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
#include "Support/TestSupport.h"

class DisplayTest : public platform::testing::VirtualTimeTest {
protected:
    void SetUp() override {
        VirtualTimeTest::SetUp();
        HostDisplayModeSwitcher::clearSavedModesForTesting();
    }
    void TearDown() override {
        HostDisplayModeSwitcher::clearSavedModesForTesting();
        VirtualTimeTest::TearDown();
    }

    platform::SimulatedDisplaySystem& displays() {
        return platform::SimulatedMachine::current().component<platform::SimulatedDisplaySystem>();
    }

    platform::CGDisplayMode current(uint32_t id) { return platform::CGDisplayCopyDisplayMode(id).value(); }

    static platform::CGDisplayMode plain(int w, int h, double hz, int32_t id) {
        return platform::CGDisplayMode{w, h, w, h, hz, true, id, 3};
    }
    static platform::CGDisplayMode scaled(int w, int h, double hz, int32_t id) {
        return platform::CGDisplayMode{w, h, 2 * w, 2 * h, hz, true, id, 3};
    }

    size_t savedCount() {
        std::lock_guard<std::mutex> g(HostDisplayModeSwitcher::savedModeLock);
        return HostDisplayModeSwitcher::savedModes.size();
    }

    std::string allLog() const {
        std::string all;
        for (const auto& line : logLines()) all += line + "\n";
        return all;
    }

    static size_t occurrences(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
        return n;
    }
};
