#pragma once
// Drives the send-destination picker while it runs modally: a script queued
// on the main queue before the picker opens runs inside its modal loop,
// finds the controls in the modal window and presses them as the user
// would.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitModal.h"
#include "Platform/AppKit/AppKitOutlineView.h"
#include "Platform/AppKit/AppKitTableView.h"
#include "Platform/AppKit/AppKitTextField.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/VirtualRuntime.h"

struct PickerControls {
    std::shared_ptr<platform::Window> window;
    std::shared_ptr<platform::TableView> table;
    std::shared_ptr<platform::OutlineView> outline;
    std::shared_ptr<platform::TextField> path;
    std::shared_ptr<platform::View> status, remember, send, cancel, load;

    static PickerControls ofModalWindow() {
        PickerControls c;
        c.window = platform::modalWindow();
        if (!c.window) return c;
        for (const auto& v : c.window->contentView->allViews()) {
            if (auto t = std::dynamic_pointer_cast<platform::TableView>(v)) c.table = t;
            if (auto o = std::dynamic_pointer_cast<platform::OutlineView>(v)) c.outline = o;
            if (auto f = std::dynamic_pointer_cast<platform::TextField>(v)) c.path = f;
            if (v->identifier == "status") c.status = v;
            if (v->kind == platform::View::Kind::checkbox) c.remember = v;
            if (v->kind == platform::View::Kind::button && v->text == "Send") c.send = v;
            if (v->kind == platform::View::Kind::button && v->text == "Cancel") c.cancel = v;
            if (v->kind == platform::View::Kind::button && v->text == "Load") c.load = v;
        }
        return c;
    }
    // The outline's rows as the user reads them (each row's cell text).
    std::vector<std::string> rows() const {
        std::vector<std::string> out;
        for (int r = 0; r < outline->numberOfRows(); ++r) {
            auto cell = outline->viewAt("folder", r);
            out.push_back(cell ? cell->text : "");
        }
        return out;
    }
    int row(const std::string& name) const {
        const auto all = rows();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i] == name) return static_cast<int>(i);
        return -1;
    }
    void typePath(const std::string& text) const { path->typeText(text); }
    void pressPreset(const std::string& presetPath) const {
        for (const auto& v : window->contentView->allViews())
            if (v->kind == platform::View::Kind::button && v->identifier == presetPath) return v->performClick();
        ADD_FAILURE() << "no preset " << presetPath;
    }
};

// Queues `script` to run inside the next modal session (behind whatever the
// main queue already holds).
inline void whenPickerOpens(std::function<void(PickerControls&)> script) {
    platform::DispatchQueue::main().async([script = std::move(script)] {
        auto controls = PickerControls::ofModalWindow();
        ASSERT_TRUE(controls.window) << "no modal window";
        script(controls);
    });
}

// Inside a modal script: runs the work that falls due now, nested, and
// waits in real time for other threads (sockets) until `predicate` holds;
// virtual time does not move.
inline bool settleInModal(platform::VirtualRuntime& runtime, const std::function<bool()>& predicate) {
    return runtime.runUntil([&] {
        platform::Runtime::current().runMainQueue(0, nullptr);
        return predicate();
    });
}
