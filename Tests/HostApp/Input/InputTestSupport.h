#pragma once
// A server that is never started, driven directly on its queue in virtual
// time, on a fresh machine whose main display (1512 x 982 points) is hit one
// to one by a framebuffer of the same size; stand-in scripts for the Mac's
// tools; posted events in a short notation for tables.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Input/HostInputSourceKind.h"
#include "Platform/SimulatedMac/Accessibility.h"
#include "Platform/SimulatedMac/EventPosting.h"
#include "Platform/Runtime/ProcessRunner.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"
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

    // A stand-in for a Mac tool: a script under the data root that appends
    // its arguments as one line to <name>.args, then runs `body` (the exit
    // status, a sleep). Mapped at `macPath` on the simulated machine.
    std::string standIn(const std::string& macPath, const std::string& name, const std::string& body) {
        const auto script = dataRoot->path() / (name + ".sh");
        std::ofstream(script) << "#!/bin/sh\necho \"$*\" >> '" << argsFile(name).string() << "'\n" << body << "\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        platform::SimulatedMachine::current().component<platform::SimulatedTools>().setTool(macPath, script);
        return script;
    }
    std::filesystem::path argsFile(const std::string& name) const { return dataRoot->path() / (name + ".args"); }
    // Each call's arguments, one line per call.
    std::vector<std::string> calls(const std::string& name) const {
        std::ifstream in(argsFile(name));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // "S16v" a system key down (^ up), "59v/40000" a key with its flags,
    // "ax124v" a key through Accessibility, "F80000" flags changed,
    // "M1@10,20" a mouse event of that type at a point.
    static std::string describe(const platform::PostedEvent& e) {
        using T = platform::CGEventType;
        std::ostringstream o;
        o << std::hex;
        switch (e.type) {
            case T::systemDefined:
                o << "S" << std::dec << (e.data1 >> 16) << ((e.data1 & 0xFF00) == 0x0A00 ? "v" : "^");
                break;
            case T::flagsChanged: o << "F" << e.flags; break;
            case T::keyDown:
            case T::keyUp:
                if (e.route == platform::PostedEventRoute::accessibility) o << "ax";
                o << std::dec << e.keyCode << (e.keyDown ? "v" : "^");
                if (e.flags && e.route != platform::PostedEventRoute::accessibility) o << "/" << std::hex << e.flags;
                break;
            default:
                o << std::dec << "M" << static_cast<int>(e.type) << "@" << e.location.x << "," << e.location.y;
        }
        return o.str();
    }
    static std::vector<std::string> described() {
        std::vector<std::string> out;
        for (const auto& e : events()) out.push_back(describe(e));
        return out;
    }

    std::shared_ptr<V230HostAudioAuxServer> server = std::make_shared<V230HostAudioAuxServer>();
    platform::UUID viewer = platform::UUID::random();
};
