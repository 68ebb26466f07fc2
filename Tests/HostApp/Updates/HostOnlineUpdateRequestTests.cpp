#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <regex>
#include <set>

#include "HostApp/Updates/HostOnlineUpdateRequest.h"
#include "Platform/Files/FileIO.h"
#include "Platform/Foundation/PropertyList.h"
#include "Support/TestSupport.h"

using platform::FileIO;
using platform::PlistValue;
using platform::PropertyList;
using Request = HostOnlineUpdateRequest::Request;
using RequestError = HostOnlineUpdateRequest::RequestError;
using Dictionary = PlistValue::Dictionary;
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

std::string xml(const PlistValue& v) {
    auto bytes = PropertyList::writeXML(v);
    return std::string(bytes.begin(), bytes.end());
}

// Plays the installed updater: its job plist and a writable spool.
class UpdateSpool : public VirtualTimeTest {
protected:
    UpdateSpool() { installUpdater(); }
    ~UpdateSpool() override {
        ::umask(previousUmask);
        FileIO::setMayWriteForTesting(std::nullopt);
    }
    void installUpdater() {
        FileIO::setMayWriteForTesting(std::nullopt);
        fs::remove(spool);
        fs::create_directories(spool);
        writeFile(HostOnlineUpdateRequest::requestServicePlistURL(), "<plist/>");
    }
    // Every entry of the spool, temporaries (dot names) included.
    std::set<std::string> entries() const {
        std::set<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(spool, ec), end; !ec && it != end; it.increment(ec))
            names.insert(it->path().filename().string());
        return names;
    }
    // The file's mode, and its property list when it is an XML one.
    static std::pair<mode_t, std::optional<PlistValue>> read(const fs::path& file) {
        struct stat st {};
        ::stat(file.c_str(), &st);
        const std::string text = contentsOf(file);
        auto root = PropertyList::read(std::vector<uint8_t>(text.begin(), text.end()));
        bool isXml = text.rfind("<?xml version=\"1.0\"", 0) == 0;
        return {st.st_mode & 07777, isXml && root ? std::optional(*root) : std::nullopt};
    }

    const fs::path spool = HostOnlineUpdateRequest::requestDirectoryURL();
    const mode_t previousUmask = ::umask(0);
};

TEST_F(UpdateSpool, RequestsArePrivateXmlFilesOfTheirOwn) {
    auto first = HostOnlineUpdateRequest::requestImmediateCheck("1.6.0", "42");
    auto second = HostOnlineUpdateRequest::requestImmediateCheck("1.6.0", "42");
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_TRUE(std::regex_match(first->identifier, std::regex("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}")));
    EXPECT_NE(first->identifier, second->identifier);
    EXPECT_EQ(*first, (Request{first->identifier, "1.6.0", "42"}));
    EXPECT_EQ(read(spool / ("request-" + first->identifier)),
              std::pair(0600u, std::optional(PlistValue(Dictionary{{"schema", PlistValue(1)},
                                                                   {"operation", "check"},
                                                                   {"requestID", first->identifier},
                                                                   {"targetVersion", "1.6.0"},
                                                                   {"targetBuild", "42"}}))));

    HostOnlineUpdateRequest::requestScreenSharingRecovery();
    auto names = entries();
    names.erase("request-" + first->identifier);
    names.erase("request-" + second->identifier);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(read(spool / *names.begin()),
              std::pair(0600u, std::optional(PlistValue(Dictionary{{"schema", PlistValue(1)},
                                                                   {"operation", "screensharing-recover"},
                                                                   {"requestID", names.begin()->substr(8)}}))));
}

TEST_F(UpdateSpool, CancelWritesOneFileAndNeverReplacesIt) {
    const Request request{"0a1b2c3d-0000-4000-8000-00000000abcd", "1.6.0", "42"};
    const fs::path file = spool / ("cancel-" + request.identifier);
    ASSERT_TRUE(HostOnlineUpdateRequest::cancel(request).ok());
    EXPECT_EQ(contentsOf(file), "cancel\n" + request.identifier + "\n");
    EXPECT_EQ(read(file).first, 0600u);
    writeFile(file, "kept");
    EXPECT_TRUE(HostOnlineUpdateRequest::cancel(request).ok());
    EXPECT_EQ(contentsOf(file), "kept");
    EXPECT_EQ(entries(), std::set<std::string>{file.filename().string()});
}

TEST_F(UpdateSpool, FailuresAreReportedExceptByRecoveryWhichStaysSilent) {
    const std::pair<const char*, std::function<void(const fs::path&)>> unavailable[] = {
        {"job plist missing", [](const fs::path&) { fs::remove(HostOnlineUpdateRequest::requestServicePlistURL()); }},
        {"spool missing", [](const fs::path& s) { fs::remove(s); }},
        {"spool a regular file", [](const fs::path& s) { fs::remove(s); writeFile(s, "x"); }},
        {"spool not writable", [](const fs::path&) { FileIO::setMayWriteForTesting(false); }},
    };
    auto expectFailure = [&](RequestError error) {
        const auto before = entries();
        auto check = HostOnlineUpdateRequest::requestImmediateCheck("1.6.0", "42");
        auto cancelled = HostOnlineUpdateRequest::cancel(Request{"id", "1", "2"});
        ASSERT_FALSE(check.ok() || cancelled.ok());
        EXPECT_EQ(check.error(), error);
        EXPECT_EQ(cancelled.error(), error);
        HostOnlineUpdateRequest::requestScreenSharingRecovery();
        EXPECT_EQ(entries(), before);
        EXPECT_TRUE(logLines().empty());
    };
    for (const auto& [situation, arrange] : unavailable) {
        SCOPED_TRACE(situation);
        arrange(spool);
        expectFailure(RequestError::unavailable);
        installUpdater();
    }
    // A folder no one can create files in, even the superuser.
    fs::remove(spool);
    fs::create_directory_symlink("/proc/self", spool);
    FileIO::setMayWriteForTesting(true);
    expectFailure(RequestError::failed);
}

TEST_F(UpdateSpool, StatusIsTheUpdatersFileForThisRequestOnly) {
    const Request request{"0a1b2c3d-0000-4000-8000-00000000abcd", "1.6.0", "42"};
    auto statusFile = [&](const std::string& requestID, PlistValue state) {
        return PlistValue(Dictionary{{"requestID", requestID}, {"state", std::move(state)}, {"targetVersion", "1.6.0"},
                                     {"targetBuild", "42"}, {"installedVersion", "1.6.0"}, {"installedBuild", "42"},
                                     {"failureReason", "package-download-failed"}});
    };
    using State = HostOnlineUpdateRequest::Status::State;
    const HostOnlineUpdateRequest::Status full{request.identifier, State::noUpdate, "1.6.0", "42", "1.6.0", "42",
                                               "package-download-failed"};
    auto numericBuild = full;
    numericBuild.installedBuild = "";
    const std::string valid = xml(statusFile(request.identifier, "no-update"));
    const auto binary = PropertyList::writeBinary(statusFile(request.identifier, "no-update"));
    const std::pair<std::optional<std::string>, std::optional<HostOnlineUpdateRequest::Status>> rows[] = {
        {valid, full},
        {std::string(binary.begin(), binary.end()), full},
        {xml(statusFile(request.identifier, "no-update").set("installedBuild", PlistValue(42))), numericBuild},
        {xml(statusFile("0A1B2C3D-0000-4000-8000-00000000ABCD", "no-update")), std::nullopt},
        {xml(statusFile(request.identifier, "No-Update")), std::nullopt},
        {xml(statusFile(request.identifier, "noUpdate")), std::nullopt},
        {xml(statusFile(request.identifier, PlistValue(3))), std::nullopt},
        {xml(PlistValue(PlistValue::Array{"a"})), std::nullopt},
        {std::nullopt, std::nullopt},
        {"", std::nullopt},
        {valid.substr(0, valid.size() / 2), std::nullopt},
        {xml(statusFile(request.identifier, "no-update").set("padding", std::string(1100000, 'x'))), std::nullopt},
    };
    for (const auto& [file, expected] : rows) {
        SCOPED_TRACE(file.value_or("(missing)").substr(0, 300));
        fs::remove(HostOnlineUpdateRequest::statusURL());
        if (file) writeFile(HostOnlineUpdateRequest::statusURL(), *file);
        EXPECT_EQ(HostOnlineUpdateRequest::status(request), expected);
    }
    fs::remove(HostOnlineUpdateRequest::statusURL());
    ASSERT_EQ(::mkfifo(HostOnlineUpdateRequest::statusURL().c_str(), 0600), 0);
    EXPECT_EQ(HostOnlineUpdateRequest::status(request), std::nullopt);  // at once, not blocked on the FIFO
}

}  // namespace
