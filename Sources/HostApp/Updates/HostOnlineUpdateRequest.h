#pragma once
// The Host's side of the privileged updater: the updater runs as a separate
// machine-wide service, and the Host only drops request and cancel files
// into the spool folder the updater provides and reads back the one status
// property list the updater writes. The Host has no updater of its own; the
// contract is the file formats below.
//
// Every operation is a plain blocking file-system call, safe on any thread;
// nothing is kept between calls.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Files/FileIO.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/Result.h"

class HostOnlineUpdateRequest {
public:
    HostOnlineUpdateRequest() = delete;

    // A check request the updater accepted into its spool.
    struct Request {
        std::string identifier;  // lowercase UUID, 36 characters
        std::string targetVersion;
        std::string targetBuild;
        bool operator==(const Request&) const = default;
    };

    // One reading of the updater's status file.
    struct Status {
        enum class State { queued, checking, downloading, verifying, installing, restarting,
                           completed, noUpdate, deferred, cancelled, failed };
        // Exact, case-sensitive match of the raw strings ("no-update").
        static std::optional<State> stateFromRawValue(std::string_view raw);
        static std::string_view rawValue(State state);

        std::string requestIdentifier;
        State state = State::queued;
        // Empty when the key is missing or holds no string.
        std::string targetVersion;
        std::string targetBuild;
        std::string installedVersion;
        std::string installedBuild;
        std::string failureReason;
        bool operator==(const Status&) const = default;
    };

    enum class RequestError {
        unavailable,  // the updater is not installed or its spool cannot be used
        failed,       // a file could not be serialised or created
    };

    // The three places of the exchange.
    static std::filesystem::path requestDirectoryURL();
    static std::filesystem::path statusURL();
    static std::filesystem::path requestServicePlistURL();

    // The updater reads a status file of a few hundred bytes; anything
    // larger is not one, and is not read into memory.
    static constexpr size_t kMaxStatusFileBytes = 1024 * 1024;

    // Asks the updater to check for, download and install this version and
    // build.
    static platform::Result<Request, RequestError> requestImmediateCheck(const std::string& targetVersion,
                                                                         const std::string& targetBuild);
    // Asks the updater to restart the screen-sharing service; says whether
    // the request was filed. Never logs, so callers write their own lines.
    static platform::Result<platform::Unit, RequestError> requestScreenSharingRecovery();
    // What a RequestError means, for a log line.
    static std::string_view describe(RequestError error);
    // Asks the updater to cancel the request; asking again is no error.
    static platform::Result<platform::Unit, RequestError> cancel(const Request& request);
    // The updater's status for this request; nothing when the file is
    // missing, unreadable, malformed or about another request.
    static std::optional<Status> status(const Request& request);

private:
    static bool isAvailable();
    // Writes a new spool file whole under a temporary name, mode 0600, and
    // gives it its name only when nothing holds that name yet.
    static platform::Result<platform::NoReplaceOutcome, RequestError> writeSpoolFile(const std::string& name,
                                                                                  const std::vector<uint8_t>& bytes);
    // Writes a request file for a fresh identifier with the operation's
    // keys added to the common ones; answers the identifier.
    static platform::Result<std::string, RequestError> writeRequest(const std::string& operation,
                                                                    platform::PlistValue::Dictionary extraKeys);
};
