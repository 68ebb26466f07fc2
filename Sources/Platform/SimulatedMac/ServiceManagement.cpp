#include "Platform/SimulatedMac/ServiceManagement.h"

#include <unistd.h>

#include <sstream>
#include <vector>

#include "Platform/Files/FileIO.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/WorkLedger.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

// Far more than any desktop entry the Host or a user writes.
constexpr size_t kMaxEntryBytes = 1024 * 1024;

SimulatedLoginItem& loginItemControls() { return SimulatedMachine::current().component<SimulatedLoginItem>(); }

std::string trimmed(const std::string& text) {
    const size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos) return {};
    return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

fs::path runningExecutable() {
    std::error_code ec;
    fs::path path = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : path;
}

// The Exec key's value: the path as one quoted argument (quoting is always
// allowed; inside quotes " ` $ and \ take a backslash), then the string
// escaping of every desktop-entry value (\ doubled) and the field-code
// escaping (% doubled), so that no path can add arguments or field codes.
Result<std::string> execValue(const std::string& path) {
    if (path.empty()) return Result<std::string>::failure("the running executable's path is unknown");
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '\n' || c == '\r' || c == '\0')
            return Result<std::string>::failure("the executable's path cannot be written in a desktop entry");
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\') value += '\\';
        if (c == '%') value += '%';
        value += c;
    }
    return value;
}

}  // namespace

AppService& AppService::mainApp() {
    static AppService* service = new AppService();  // observers live for the process
    return *service;
}

fs::path AppService::entryPath() { return Folders::autostart() / "norvessal-host.desktop"; }

Result<std::string> AppService::desktopEntry(const fs::path& executable) {
    auto exec = execValue(executable.string());
    if (!exec) return Result<std::string>::failure(exec.error());
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Norvessal Host\n"
           "Exec=" +
           *exec +
           "\n"
           "X-GNOME-Autostart-enabled=true\n";
}

AppServiceStatus AppService::statusOfEntry(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    bool inMainGroup = false;
    AppServiceStatus status = AppServiceStatus::enabled;
    while (std::getline(in, line)) {
        line = trimmed(line);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const size_t equals = line.find('=');
        if (!inMainGroup || equals == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
            status = AppServiceStatus::requiresApproval;
    }
    return status;
}

AppServiceStatus AppService::status() {
    loginItemControls().countStatusRead();
    const fs::path path = entryPath();
    AppServiceStatus now;
    {
        // The Host's own look at its login item, whoever's work asks for
        // it: the entry is read and closed at once, in the reserve kept for
        // the Host.
        const WorkLedger::Charged hostsOwn(nullptr);
        std::error_code ec;
        const auto type = fs::status(path, ec).type();
        if (type == fs::file_type::not_found) {
            now = AppServiceStatus::notRegistered;
        } else if (auto text = FileIO::readAll(path, kMaxEntryBytes)) {
            // Read as any file of the Host's: never waiting on a pipe put in
            // the entry's place, nor through a link in a home not the Host's.
            now = statusOfEntry(std::string(text->begin(), text->end()));
        } else {
            now = AppServiceStatus::notFound;
        }
    }
    noteStatus(now);
    return now;
}

Status AppService::registerService() {
    auto& item = loginItemControls();
    item.countRegister();
    if (auto failure = item.registerFailure()) return Status::failure(*failure);
    auto entry = desktopEntry(runningExecutable());
    if (!entry) return Status::failure(entry.error());
    const std::vector<uint8_t> bytes(entry->begin(), entry->end());
    if (auto written = FileIO::writeAtomically(entryPath(), bytes); !written) return written;
    Log::line("login item: registered " + entryPath().string());
    noteStatus(AppServiceStatus::enabled);
    return success();
}

Status AppService::unregisterService() {
    auto& item = loginItemControls();
    item.countUnregister();
    if (auto failure = item.unregisterFailure()) return Status::failure(*failure);
    if (auto removed = FileIO::remove(entryPath()); !removed) return removed;
    Log::line("login item: unregistered " + entryPath().string());
    noteStatus(AppServiceStatus::notRegistered);
    return success();
}

uint64_t AppService::addStatusObserver(StatusObserver observer) {
    std::lock_guard<std::mutex> g(lock_);
    const uint64_t token = nextToken_++;
    observers_.emplace(token, std::make_shared<StatusObserver>(std::move(observer)));
    return token;
}

void AppService::removeStatusObserver(uint64_t token) {
    std::lock_guard<std::mutex> g(lock_);
    observers_.erase(token);
}

void AppService::noteStatus(AppServiceStatus now) {
    const auto before = loginItemControls().exchangeLastStatus(now);
    if (!before || *before == now) return;
    std::vector<std::shared_ptr<StatusObserver>> observers;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (const auto& [token, observer] : observers_) observers.push_back(observer);
    }
    for (const auto& observer : observers) (*observer)(now);
}

// --- Simulated machine ---------------------------------------------------------------

void SimulatedLoginItem::setRegisterFailure(std::optional<std::string> description) {
    std::lock_guard<std::mutex> g(lock_);
    registerFailure_ = std::move(description);
}

void SimulatedLoginItem::setUnregisterFailure(std::optional<std::string> description) {
    std::lock_guard<std::mutex> g(lock_);
    unregisterFailure_ = std::move(description);
}

std::optional<std::string> SimulatedLoginItem::registerFailure() const {
    std::lock_guard<std::mutex> g(lock_);
    return registerFailure_;
}

std::optional<std::string> SimulatedLoginItem::unregisterFailure() const {
    std::lock_guard<std::mutex> g(lock_);
    return unregisterFailure_;
}

int SimulatedLoginItem::statusReadCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return statusReads_;
}

int SimulatedLoginItem::registerCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return registers_;
}

int SimulatedLoginItem::unregisterCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return unregisters_;
}

void SimulatedLoginItem::countStatusRead() {
    std::lock_guard<std::mutex> g(lock_);
    statusReads_++;
}

void SimulatedLoginItem::countRegister() {
    std::lock_guard<std::mutex> g(lock_);
    registers_++;
}

void SimulatedLoginItem::countUnregister() {
    std::lock_guard<std::mutex> g(lock_);
    unregisters_++;
}

std::optional<AppServiceStatus> SimulatedLoginItem::exchangeLastStatus(AppServiceStatus status) {
    std::lock_guard<std::mutex> g(lock_);
    return std::exchange(lastStatus_, status);
}

}  // namespace platform
