#pragma once
// An editable text field of the headless AppKit model: a label the user
// may type into, with the grey placeholder shown while it is empty.
// Records only; tests type with typeText. Main thread only.

#include <memory>
#include <string>

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

class TextField : public View {
public:
    static std::shared_ptr<TextField> make(std::string placeholder);
    std::string placeholderString;
    // The user replaces the field's text (select all, then type).
    void typeText(std::string text);

private:
    TextField() : View(Kind::label) {}
};

}  // namespace platform
