// Silencing the Mac's output and giving it back: which element or channel
// is changed, how each device failure is met, and that two reasons to mute
// give the output back as it was in any order.

#include <gtest/gtest.h>

#include "AudioTestSupport.h"
#include "HostApp/Audio/HostOutputMuteController.h"
#include "Support/TestSupport.h"

using namespace audiotest;
using platform::SimulatedAudioHardware;
using Control = SimulatedAudioHardware::Control;
using Write = SimulatedAudioHardware::Write;
using Purpose = HostOutputMuteController::Purpose;

namespace {

constexpr uint32_t device = SimulatedAudioHardware::defaultDeviceID;
constexpr uint32_t mute = platform::kAudioDevicePropertyMute;
constexpr uint32_t volume = platform::kAudioDevicePropertyVolumeScalar;

Control valued(double v) {
    Control c;
    c.value = v;
    return c;
}
template <class Edit>
Control with(double v, Edit edit) {
    Control c = valued(v);
    edit(c);
    return c;
}

class OutputMute : public VirtualTimeTest {
protected:
    void shape(std::map<uint32_t, Control> mutes, std::map<uint32_t, Control> volumes) {
        audioHardware().setControls(device, mute, std::move(mutes));
        audioHardware().setControls(device, volume, std::move(volumes));
    }
    double value(uint32_t selector, uint32_t element) { return audioHardware().control(device, selector, element)->value; }
};

struct DeviceCase {
    const char* what;
    std::map<uint32_t, Control> mutes;
    std::map<uint32_t, Control> volumes;
    std::string sentence;
    bool succeeds;
    std::vector<Write> writes;         // while muting
    std::vector<Write> restoreWrites;  // while restoring
};

TEST_F(OutputMute, EachDeviceShapeIsMutedAsFarAsItAllowsAndRestoredExactly) {
    const DeviceCase cases[] = {
        {"the main element's mute, and only it", {{0, valued(0)}, {1, valued(0)}}, {{0, valued(0.75)}},
         "Host output muted", true, {{device, mute, 0, 1}}, {{device, mute, 0, 0}}},
        {"mute on channels 1 and 2 only", {{1, valued(0)}, {2, valued(0)}}, {}, "Host output muted", true,
         {{device, mute, 1, 1}, {device, mute, 2, 1}}, {{device, mute, 1, 0}, {device, mute, 2, 0}}},
        {"a mute that is not settable falls back to the volume",
         {{0, with(0, [](Control& c) { c.settable = false; })}}, {{0, valued(0.75)}}, "Host output volume muted", true,
         {{device, volume, 0, 0}}, {{device, volume, 0, 0.75}}},
        {"a failing settable query skips the element",
         {{0, with(0, [](Control& c) { c.settableError = -1; })}}, {{0, valued(0.75)}}, "Host output volume muted",
         true, {{device, volume, 0, 0}}, {{device, volume, 0, 0.75}}},
        {"a failing read ends the mute attempt", {{0, with(0, [](Control& c) { c.readError = -1; })}},
         {{0, valued(0.75)}}, "Host output volume muted", true, {{device, volume, 0, 0}}, {{device, volume, 0, 0.75}}},
        {"a refused write", {{0, with(0, [](Control& c) { c.writeError = -1; })}}, {{0, valued(0.75)}},
         "Host output volume muted", true, {{device, mute, 0, 1}, {device, volume, 0, 0}}, {{device, volume, 0, 0.75}}},
        {"a failing read-back counts as not applied",
         {{0, with(0, [](Control& c) { c.readError = -1, c.readsBeforeError = 1; })}}, {{0, valued(0.75)}},
         "Host output volume muted", true, {{device, mute, 0, 1}, {device, mute, 0, 0}, {device, volume, 0, 0}},
         {{device, volume, 0, 0.75}}},
        {"a volume the device does not take rolls every channel back",
         {}, {{1, valued(0.5)}, {2, with(0.625, [](Control& c) { c.takesWrites = false; })}},
         "Host output mute unavailable on the current output device", false,
         {{device, volume, 1, 0}, {device, volume, 2, 0}, {device, volume, 1, 0.5}, {device, volume, 2, 0.625}}, {}},
        {"nothing settable", {{0, with(0, [](Control& c) { c.settable = false; })}}, {},
         "Host output mute unavailable on the current output device", false, {}, {}},
    };
    for (const auto& c : cases) {
        platform::SimulatedMachine::install(std::make_shared<platform::SimulatedMachine>());
        shape(c.mutes, c.volumes);
        HostOutputMuteController controller(Purpose::exclusiveListening);
        EXPECT_EQ(controller.muteForExclusiveListening(), c.sentence) << c.what;
        EXPECT_EQ(controller.lastOperationSucceeded(), c.succeeds) << c.what;
        EXPECT_EQ(audioHardware().writes(), c.writes) << c.what;
        controller.restoreAfterExclusiveListening();
        EXPECT_TRUE(controller.lastOperationSucceeded()) << c.what;
        auto writes = audioHardware().writes();
        EXPECT_EQ(std::vector<Write>(writes.begin() + static_cast<std::ptrdiff_t>(c.writes.size()), writes.end()),
                  c.restoreWrites)
            << c.what;
        for (const auto& [element, control] : c.mutes) EXPECT_EQ(value(mute, element), control.value) << c.what;
        for (const auto& [element, control] : c.volumes) EXPECT_EQ(value(volume, element), control.value) << c.what;
    }
}

TEST_F(OutputMute, WithoutADefaultOutputDeviceNothingIsMuted) {
    for (auto noDevice : {std::function<void()>([] { audioHardware().setDefaultOutputDevice(0); }),
                          std::function<void()>([] { audioHardware().setDefaultOutputDeviceError(-1); })}) {
        noDevice();
        HostOutputMuteController controller(Purpose::exclusiveListening);
        EXPECT_EQ(controller.muteForExclusiveListening(), "Host output mute unavailable (no default output device)");
        EXPECT_FALSE(controller.lastOperationSucceeded());
        EXPECT_EQ(controller.restoreAfterExclusiveListening(), std::nullopt);
        EXPECT_TRUE(audioHardware().writes().empty());
    }
}

TEST_F(OutputMute, RestoreGoesToTheDeviceThatWasChangedAndReportsAFailedWrite) {
    HostOutputMuteController controller(Purpose::exclusiveListening);
    controller.muteForExclusiveListening();
    EXPECT_EQ(controller.muteForExclusiveListening(), "Host output remains muted for exclusive listening");
    audioHardware().setControls(80, mute, {{0, valued(0)}});
    audioHardware().setDefaultOutputDevice(80);
    EXPECT_EQ(controller.restoreAfterExclusiveListening(), "Host output restored");
    EXPECT_EQ(audioHardware().writes(), (std::vector<Write>{{device, mute, 0, 1}, {device, mute, 0, 0}}));

    audioHardware().setDefaultOutputDevice(device);
    controller.muteForExclusiveListening();
    audioHardware().setControls(device, mute, {{0, with(1, [](Control& c) { c.writeError = -1; })}});
    EXPECT_EQ(controller.restoreAfterExclusiveListening(), "Host output mute state could not be restored");
    EXPECT_FALSE(controller.lastOperationSucceeded());
    EXPECT_EQ(controller.restoreAfterExclusiveListening(), std::nullopt) << "the saved state is dropped anyway";
}

struct SharedCase {
    const char* what;
    std::vector<std::pair<Purpose, bool>> steps;  // mute (true) or restore (false)
    std::vector<std::optional<std::string>> sentences;
};

TEST_F(OutputMute, TwoReasonsToMuteGiveTheOutputBackAsItWas) {
    const Purpose exclusive = Purpose::exclusiveListening, viewer = Purpose::viewerRequest;
    const SharedCase cases[] = {
        {"the Viewer's mute ends first",
         {{viewer, true}, {exclusive, true}, {viewer, false}, {exclusive, false}},
         {"Host output muted", "Host output remains muted at a Viewer's request",
          "Host output remains muted for exclusive listening", "Host output restored"}},
        {"exclusive listening ends first",
         {{exclusive, true}, {viewer, true}, {exclusive, false}, {viewer, false}},
         {"Host output muted", "Host output remains muted for exclusive listening",
          "Host output remains muted at a Viewer's request", "Host output restored"}},
    };
    for (const auto& c : cases) {
        platform::SimulatedMachine::install(std::make_shared<platform::SimulatedMachine>());
        auto shared = std::make_shared<HostOutputMuteController::SharedOutputState>();
        HostOutputMuteController controllers[] = {HostOutputMuteController(exclusive, shared),
                                                   HostOutputMuteController(viewer, shared)};
        std::vector<std::optional<std::string>> sentences;
        for (auto [purpose, muting] : c.steps) {
            auto& controller = controllers[purpose == exclusive ? 0 : 1];
            sentences.push_back(muting ? std::optional(controller.muteForExclusiveListening())
                                       : controller.restoreAfterExclusiveListening());
            EXPECT_TRUE(controller.lastOperationSucceeded()) << c.what;
        }
        EXPECT_EQ(sentences, c.sentences) << c.what;
        EXPECT_EQ(audioHardware().writes(), (std::vector<Write>{{device, mute, 0, 1}, {device, mute, 0, 0}})) << c.what;
    }
}

}  // namespace
