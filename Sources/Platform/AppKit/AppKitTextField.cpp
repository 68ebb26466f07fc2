#include "Platform/AppKit/AppKitTextField.h"

namespace platform {

std::shared_ptr<TextField> TextField::make(std::string placeholder) {
    auto field = std::shared_ptr<TextField>(new TextField());
    field->isEditable = true;
    field->isSelectable = true;
    field->placeholderString = std::move(placeholder);
    return field;
}

void TextField::typeText(std::string typed) {
    if (isEditable && isEnabled) text = std::move(typed);
}

}  // namespace platform
