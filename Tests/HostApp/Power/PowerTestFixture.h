#pragma once
// The server on the small-monitor machine of the video pipeline tests, with
// shortcuts for the power notifications, the assertions the machine holds
// and the status texts a Viewer was sent.

#include <map>
#include <string>
#include <vector>

#include "HostApp/AuxServerE2E/VideoPipelineFixture.h"
#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "Platform/SimulatedMac/PowerManagement.h"

class PowerTest : public VideoPipelineTest {
protected:
    // As the application shell reports the four workspace notifications.
    void notify(const std::string& reason) {
        const bool sleeping = reason == "system will sleep" || reason == "screens did sleep";
        server->noteHostPowerState(reason, sleeping, reason == "system will sleep");
        runUntilIdle();
    }

    size_t logCount(const std::string& text) const { return log->count(text); }

    template <class F>
    auto onQueue(F f) {
        return server->queue.syncValue(f);
    }

    // The names of the held assertions, by assertion type.
    static std::map<std::string, std::string> heldAssertions() {
        std::map<std::string, std::string> held;
        for (const auto& [id, a] : platform::SimulatedMachine::current()
                                       .component<platform::SimulatedPowerManagement>()
                                       .heldAssertions())
            held[a.type] = a.name;
        return held;
    }

    static std::vector<std::string> statusTexts(const PipelineViewer& v) {
        std::vector<std::string> texts;
        for (const auto& p : v.ofType(AuxPacketType::hostStatus)) texts.push_back(p.text());
        return texts;
    }
    static bool wasTold(const PipelineViewer& v, const std::string& text) {
        v.client->settle();
        const auto texts = statusTexts(v);
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }

    // The Host's virtual display, live, as the headless preparation leaves it.
    uint32_t startVirtualDisplay(const HeadlessVirtualDisplay::Preset& preset = HeadlessVirtualDisplay::easyPreset()) {
        auto& display = HeadlessVirtualDisplay::shared();
        EXPECT_FALSE(display.startPresetDisplay(preset, "Norvessal Presets", 0));
        advance(2);
        return display.stateSnapshot().displayID;
    }
};
