#include "Platform/AppKit/AppKitStatusBar.h"

#include <algorithm>

#include "Platform/Runtime/Log.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

Font menuBarFont(double size) { return Font::system(size > 0 ? size : 14); }

std::shared_ptr<Image> Image::systemSymbol(const std::string& name, std::string accessibilityDescription) {
    if (!SimulatedMachine::current().component<SimulatedSystemSymbols>().has(name)) return nullptr;
    auto image = std::make_shared<Image>();
    image->symbolName = name;
    image->accessibilityDescription = std::move(accessibilityDescription);
    image->size = {16, 16};
    return image;
}

StatusBar& StatusBar::system() { return SimulatedMachine::current().component<StatusBar>(); }

std::shared_ptr<StatusItem> StatusBar::statusItem(double length) {
    auto item = std::make_shared<StatusItem>(length);
    std::lock_guard<std::mutex> g(lock_);
    items_.push_back(item);
    return item;
}

void StatusBar::removeStatusItem(const std::shared_ptr<StatusItem>& item) {
    std::lock_guard<std::mutex> g(lock_);
    items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
}

std::vector<std::shared_ptr<StatusItem>> StatusBar::items() const {
    std::lock_guard<std::mutex> g(lock_);
    return items_;
}

bool SimulatedSystemSymbols::has(const std::string& name) const {
    std::lock_guard<std::mutex> g(lock_);
    return names_.count(name) > 0;
}

void SimulatedSystemSymbols::remove(const std::string& name) {
    Log::line("simulated machine: system symbol \"" + name + "\" removed");
    std::lock_guard<std::mutex> g(lock_);
    names_.erase(name);
}

}  // namespace platform
