#pragma once
// A server that is never started, driven directly on its queue in virtual
// time, on a fresh machine whose main display (1512 x 982 points) is hit one
// to one by a framebuffer of the same size.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Input/HostInputSourceKind.h"
#include "Platform/Accessibility.h"
#include "Platform/EventPosting.h"
#include "Platform/SimulatedMachine.h"
#include "Support/TestSupport.h"

class InputTest : public VirtualTimeTest {
protected:
    static constexpr uint16_t kWidth = 1512, kHeight = 982;

    InputTest() { HostInputSourceKind::storeCachedCJKInputMethod(false); }

    static platform::SimulatedEventTap& tap() {
        return platform::SimulatedMachine::current().component<platform::SimulatedEventTap>();
    }
    static std::vector<platform::PostedEvent> events() { return tap().events(); }
    static void setTrusted(bool trusted) {
        platform::SimulatedMachine::current().setPermission(platform::Permission::accessibility, trusted);
    }

    template <class F>
    void onQueue(F&& f) {
        server->queue.sync(std::forward<F>(f));
    }
    void pointer(uint8_t mask, uint16_t x, uint16_t y) {
        onQueue([&] { server->applyPointerEvent({mask, x, y, kWidth, kHeight}, viewer); });
    }
    void key(uint32_t keysym, bool down) {
        onQueue([&] { server->applyKeyEvent({keysym, down}, viewer); });
    }
    void raw(uint16_t code, uint64_t flags, bool down) {
        onQueue([&] { server->applyRawKeyEvent({code, flags, down}, viewer); });
    }
    void systemKey(uint16_t type) {
        onQueue([&] { server->applySystemDefinedKeyEvent({type}, viewer); });
    }

    std::shared_ptr<V230HostAudioAuxServer> server = std::make_shared<V230HostAudioAuxServer>();
    platform::UUID viewer = platform::UUID::random();
};
