#include "HostApp/Updates/HostOnlineUpdateRequest.h"

#include <array>
#include <utility>

#include "Platform/Files/Folders.h"
#include "Platform/Foundation/UnicodeText.h"
#include "Platform/Foundation/Uuid.h"

using platform::FileIO;
using platform::NoReplaceOutcome;
using platform::PlistValue;
namespace fs = std::filesystem;

namespace {

using State = HostOnlineUpdateRequest::Status::State;

constexpr std::array<std::pair<State, std::string_view>, 11> kStates{{
    {State::queued, "queued"},
    {State::checking, "checking"},
    {State::downloading, "downloading"},
    {State::verifying, "verifying"},
    {State::installing, "installing"},
    {State::restarting, "restarting"},
    {State::completed, "completed"},
    {State::noUpdate, "no-update"},
    {State::deferred, "deferred"},
    {State::cancelled, "cancelled"},
    {State::failed, "failed"},
}};

std::string stringValue(const PlistValue& root, const char* key) {
    const PlistValue* value = root[key];
    return value ? value->asString().value_or("") : "";
}

}  // namespace

std::optional<State> HostOnlineUpdateRequest::Status::stateFromRawValue(std::string_view raw) {
    for (const auto& [state, text] : kStates)
        if (text == raw) return state;
    return std::nullopt;
}

std::string_view HostOnlineUpdateRequest::Status::rawValue(State state) {
    return kStates[static_cast<size_t>(state)].second;
}

fs::path HostOnlineUpdateRequest::requestDirectoryURL() {
    return platform::Folders::machineApplicationSupport() / "update-requests";
}

fs::path HostOnlineUpdateRequest::statusURL() {
    return platform::Folders::machineApplicationSupport() / "update-status.plist";
}

fs::path HostOnlineUpdateRequest::requestServicePlistURL() {
    return platform::Folders::machineLaunchDaemons() / "com.qarvex.norvessal.host.updater.request.plist";
}

bool HostOnlineUpdateRequest::isAvailable() {
    std::error_code ec;
    if (!fs::exists(requestServicePlistURL(), ec)) return false;
    const fs::path spool = requestDirectoryURL();
    if (!fs::is_directory(spool, ec)) return false;
    return FileIO::mayWrite(spool);
}

platform::Result<NoReplaceOutcome, HostOnlineUpdateRequest::RequestError> HostOnlineUpdateRequest::writeSpoolFile(
    const std::string& name, const std::vector<uint8_t>& bytes) {
    // The updater runs as root and reads whatever appears under a spool
    // name: it must never see a half-written file or one another user may
    // read, and an existing file is never replaced.
    auto written = FileIO::writeAtomically(requestDirectoryURL() / name, bytes,
                                           fs::perms::owner_read | fs::perms::owner_write, FileIO::noReplace);
    if (!written) return RequestError::failed;
    return *written;
}

platform::Result<std::string, HostOnlineUpdateRequest::RequestError> HostOnlineUpdateRequest::writeRequest(
    const std::string& operation, PlistValue::Dictionary extraKeys) {
    if (!isAvailable()) return RequestError::unavailable;
    std::string identifier = platform::UnicodeText::lowercased(platform::UUID::random().uuidString());
    PlistValue::Dictionary keys = std::move(extraKeys);
    keys.emplace("schema", PlistValue(1));
    keys.emplace("operation", PlistValue(operation));
    keys.emplace("requestID", PlistValue(identifier));
    auto written = writeSpoolFile("request-" + identifier, platform::PropertyList::writeXML(PlistValue(keys)));
    // A fresh identifier that is already taken means something else writes
    // into the spool: no request was made.
    if (!written || *written != NoReplaceOutcome::done) return RequestError::failed;
    return identifier;
}

platform::Result<HostOnlineUpdateRequest::Request, HostOnlineUpdateRequest::RequestError>
HostOnlineUpdateRequest::requestImmediateCheck(const std::string& targetVersion, const std::string& targetBuild) {
    auto identifier = writeRequest("check", {{"targetVersion", targetVersion}, {"targetBuild", targetBuild}});
    if (!identifier) return identifier.error();
    return Request{*identifier, targetVersion, targetBuild};
}

platform::Result<platform::Unit, HostOnlineUpdateRequest::RequestError>
HostOnlineUpdateRequest::requestScreenSharingRecovery() {
    auto identifier = writeRequest("screensharing-recover", {});
    if (!identifier) return identifier.error();
    return platform::Unit{};
}

std::string_view HostOnlineUpdateRequest::describe(RequestError error) {
    switch (error) {
        case RequestError::unavailable:
            return "the updater is not installed or its spool is not writable";
        case RequestError::failed:
            return "the request could not be written to the updater's spool";
    }
    return "";
}

platform::Result<platform::Unit, HostOnlineUpdateRequest::RequestError> HostOnlineUpdateRequest::cancel(
    const Request& request) {
    if (!isAvailable()) return RequestError::unavailable;
    const std::string text = "cancel\n" + request.identifier + "\n";
    // A cancel file already there (written by an earlier call) has said
    // everything; the no-replace write keeps it as it is.
    auto written = writeSpoolFile("cancel-" + request.identifier, std::vector<uint8_t>(text.begin(), text.end()));
    if (!written) return written.error();
    return platform::Unit{};
}

std::optional<HostOnlineUpdateRequest::Status> HostOnlineUpdateRequest::status(const Request& request) {
    // readAll opens without blocking and reads regular files only, so a
    // FIFO or device placed at the path cannot stall the caller's thread.
    auto bytes = FileIO::readAll(statusURL(), kMaxStatusFileBytes);
    if (!bytes) return std::nullopt;
    auto root = platform::PropertyList::read(*bytes);
    if (!root || !root->isDictionary()) return std::nullopt;
    const PlistValue* requestID = (*root)["requestID"];
    if (!requestID || requestID->asString() != request.identifier) return std::nullopt;
    const PlistValue* stateValue = (*root)["state"];
    auto stateText = stateValue ? stateValue->asString() : std::nullopt;
    auto state = stateText ? Status::stateFromRawValue(*stateText) : std::nullopt;
    if (!state) return std::nullopt;
    return Status{request.identifier,
                  *state,
                  stringValue(*root, "targetVersion"),
                  stringValue(*root, "targetBuild"),
                  stringValue(*root, "installedVersion"),
                  stringValue(*root, "installedBuild"),
                  stringValue(*root, "failureReason")};
}
