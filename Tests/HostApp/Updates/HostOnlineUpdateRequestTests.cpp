#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <regex>
#include <set>

#include "HostApp/Updates/HostOnlineUpdateRequest.h"
#include "Platform/FileIO.h"
#include "Platform/PropertyList.h"
#include "Support/TestSupport.h"

using platform::FileIO;
using platform::PlistValue;
using platform::PropertyList;
using Request = HostOnlineUpdateRequest::Request;
using RequestError = HostOnlineUpdateRequest::RequestError;
using State = HostOnlineUpdateRequest::Status::State;
namespace fs = std::filesystem;

namespace {

std::string contentsOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string asText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Plays the installed updater: its job plist and a writable spool.
class UpdateSpool : public VirtualTimeTest {
protected:
    UpdateSpool() {
        writeFile(HostOnlineUpdateRequest::requestServicePlistURL(), "<plist/>");
        fs::create_directories(spool);
        previousUmask = ::umask(0);
    }
    ~UpdateSpool() override {
        ::umask(previousUmask);
        FileIO::setMayWriteForTesting(std::nullopt);
    }

    // Every entry of the spool, temporaries (dot names) included.
    std::set<std::string> entries() const {
        std::set<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(spool, ec), end; !ec && it != end; it.increment(ec))
            names.insert(it->path().filename().string());
        return names;
    }
    static mode_t modeOf(const fs::path& file) {
        struct stat st {};
        ::stat(file.c_str(), &st);
        return st.st_mode & 07777;
    }

    const fs::path spool = HostOnlineUpdateRequest::requestDirectoryURL();
    mode_t previousUmask = 0;
};

TEST_F(UpdateSpool, CheckRequestIsAPrivateXmlListOfFiveKeys) {
    auto request = HostOnlineUpdateRequest::requestImmediateCheck("1.6.0", "42");
    ASSERT_TRUE(request.ok());
    EXPECT_TRUE(std::regex_match(request->identifier, std::regex("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}")));
    EXPECT_EQ(request->targetVersion, "1.6.0");
    EXPECT_EQ(request->targetBuild, "42");
    const fs::path file = spool / ("request-" + request->identifier);
    EXPECT_EQ(entries(), std::set<std::string>{file.filename().string()});
    EXPECT_EQ(modeOf(file), 0600u);

    const std::string text = contentsOf(file);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\"", 0), 0u);
    auto root = PropertyList::read(std::vector<uint8_t>(text.begin(), text.end()));
    ASSERT_TRUE(root.ok());
    EXPECT_EQ(*root, PlistValue(PlistValue::Dictionary{{"schema", PlistValue(1)},
                                                       {"operation", "check"},
                                                       {"requestID", request->identifier},
                                                       {"targetVersion", "1.6.0"},
                                                       {"targetBuild", "42"}}));
}

TEST_F(UpdateSpool, EveryRequestGetsItsOwnFileAndRecoveryHasThreeKeys) {
    auto first = HostOnlineUpdateRequest::requestImmediateCheck("1.6.0", "42");
    auto second = HostOnlineUpdateRequest::requestImmediateCheck("1.6.0", "42");
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_NE(first->identifier, second->identifier);
    HostOnlineUpdateRequest::requestScreenSharingRecovery();

    auto names = entries();
    ASSERT_EQ(names.size(), 3u);
    names.erase("request-" + first->identifier);
    names.erase("request-" + second->identifier);
    ASSERT_EQ(names.size(), 1u);
    const fs::path recovery = spool / *names.begin();
    EXPECT_EQ(modeOf(recovery), 0600u);
    auto root = PropertyList::read(FileIO::readAll(recovery).value());
    ASSERT_TRUE(root.ok());
    EXPECT_EQ(*root, PlistValue(PlistValue::Dictionary{{"schema", PlistValue(1)},
                                                       {"operation", "screensharing-recover"},
                                                       {"requestID", names.begin()->substr(8)}}));
}

TEST_F(UpdateSpool, CancelWritesOneFileAndNeverReplacesIt) {
    const Request request{"0a1b2c3d-0000-4000-8000-00000000abcd", "1.6.0", "42"};
    const fs::path file = spool / ("cancel-" + request.identifier);
    ASSERT_TRUE(HostOnlineUpdateRequest::cancel(request).ok());
    EXPECT_EQ(contentsOf(file), "cancel\n" + request.identifier + "\n");
    EXPECT_EQ(modeOf(file), 0600u);

    writeFile(file, "kept");
    EXPECT_TRUE(HostOnlineUpdateRequest::cancel(request).ok());
    EXPECT_EQ(contentsOf(file), "kept");
    EXPECT_EQ(entries(), std::set<std::string>{file.filename().string()});
}

TEST_F(UpdateSpool, FailuresAreReportedExceptByRecoveryWhichStaysSilent) {
    struct Row {
        const char* situation;
        std::function<void(const fs::path& spool)> arrange;
        RequestError error;
    };
    const Row rows[] = {
        {"job plist missing", [](const fs::path&) { fs::remove(HostOnlineUpdateRequest::requestServicePlistURL()); },
         RequestError::unavailable},
        {"spool missing", [](const fs::path& s) { fs::remove(s); }, RequestError::unavailable},
        {"spool a regular file", [](const fs::path& s) { fs::remove(s); writeFile(s, "x"); }, RequestError::unavailable},
        {"spool not writable", [](const fs::path&) { FileIO::setMayWriteForTesting(false); }, RequestError::unavailable},
        // A folder no one can create files in, even the superuser.
        {"file creation fails",
         [](const fs::path& s) {
             fs::remove(s);
             fs::create_directory_symlink("/proc/self", s);
             FileIO::setMayWriteForTesting(true);
         },
         RequestError::failed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.situation);
        row.arrange(spool);
        const auto before = entries();
        auto check = HostOnlineUpdateRequest::requestImmediateCheck("1.6.0", "42");
        ASSERT_FALSE(check.ok());
        EXPECT_EQ(check.error(), row.error);
        auto cancelled = HostOnlineUpdateRequest::cancel(Request{"id", "1", "2"});
        ASSERT_FALSE(cancelled.ok());
        EXPECT_EQ(cancelled.error(), row.error);
        HostOnlineUpdateRequest::requestScreenSharingRecovery();
        EXPECT_EQ(entries(), before);
        EXPECT_TRUE(logLines().empty());

        // Back to a working updater for the next row.
        FileIO::setMayWriteForTesting(std::nullopt);
        fs::remove(spool);
        fs::create_directories(spool);
        writeFile(HostOnlineUpdateRequest::requestServicePlistURL(), "<plist/>");
    }
}

class UpdateStatus : public UpdateSpool {
protected:
    const Request request{"0a1b2c3d-0000-4000-8000-00000000abcd", "1.6.0", "42"};
    PlistValue statusFor(const std::string& requestID, PlistValue state) const {
        return PlistValue(PlistValue::Dictionary{{"requestID", requestID},
                                                 {"state", std::move(state)},
                                                 {"targetVersion", "1.6.0"},
                                                 {"targetBuild", "42"},
                                                 {"installedVersion", "1.6.0"},
                                                 {"installedBuild", "42"},
                                                 {"failureReason", "package-download-failed"}});
    }
};

TEST_F(UpdateStatus, ReadsTheUpdatersFileForThisRequestOnly) {
    const HostOnlineUpdateRequest::Status full{request.identifier, State::noUpdate, "1.6.0", "42", "1.6.0", "42",
                                               "package-download-failed"};
    HostOnlineUpdateRequest::Status numericBuild = full;
    numericBuild.installedBuild = "";
    const std::string xml = asText(PropertyList::writeXML(statusFor(request.identifier, "no-update")));
    struct Row {
        const char* name;
        std::optional<std::string> file;
        std::optional<HostOnlineUpdateRequest::Status> expected;
    };
    const Row rows[] = {
        {"XML", xml, full},
        {"binary", asText(PropertyList::writeBinary(statusFor(request.identifier, "no-update"))), full},
        {"number for a string", asText(PropertyList::writeXML(
                                    statusFor(request.identifier, "no-update").set("installedBuild", PlistValue(42)))),
         numericBuild},
        {"another request", asText(PropertyList::writeXML(statusFor("0A1B2C3D-0000-4000-8000-00000000ABCD", "no-update"))),
         std::nullopt},
        {"state in another case", asText(PropertyList::writeXML(statusFor(request.identifier, "No-Update"))), std::nullopt},
        {"unknown state", asText(PropertyList::writeXML(statusFor(request.identifier, "paused"))), std::nullopt},
        {"state not a string", asText(PropertyList::writeXML(statusFor(request.identifier, PlistValue(3)))), std::nullopt},
        {"root an array", asText(PropertyList::writeXML(PlistValue(PlistValue::Array{"a"}))), std::nullopt},
        {"missing", std::nullopt, std::nullopt},
        {"empty", "", std::nullopt},
        {"truncated", xml.substr(0, xml.size() / 2), std::nullopt},
        {"larger than any status", asText(PropertyList::writeXML(statusFor(request.identifier, "no-update")
                                                                     .set("padding", std::string(1100000, 'x')))),
         std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(HostOnlineUpdateRequest::statusURL());
        if (row.file) writeFile(HostOnlineUpdateRequest::statusURL(), *row.file);
        EXPECT_EQ(HostOnlineUpdateRequest::status(request), row.expected);
    }
}

TEST_F(UpdateStatus, AFifoAtThePathAnswersNothingAtOnce) {
    ASSERT_EQ(::mkfifo(HostOnlineUpdateRequest::statusURL().c_str(), 0600), 0);
    EXPECT_EQ(HostOnlineUpdateRequest::status(request), std::nullopt);
}

TEST(UpdateStatusState, RawStringsMatchExactly) {
    for (State state : {State::queued, State::checking, State::downloading, State::verifying, State::installing,
                        State::restarting, State::completed, State::noUpdate, State::deferred, State::cancelled,
                        State::failed})
        EXPECT_EQ(HostOnlineUpdateRequest::Status::stateFromRawValue(HostOnlineUpdateRequest::Status::rawValue(state)),
                  state);
    EXPECT_EQ(HostOnlineUpdateRequest::Status::rawValue(State::noUpdate), "no-update");
    for (const char* raw : {"noUpdate", "Queued", "queued ", ""})
        EXPECT_EQ(HostOnlineUpdateRequest::Status::stateFromRawValue(raw), std::nullopt) << raw;
}

}  // namespace
