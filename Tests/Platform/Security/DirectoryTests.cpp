// The PAM directory is driven through private configuration folders written
// here, so the real conversation and verdict mapping run without touching
// the machine's accounts. The in-memory directory is what server tests use.

#include "Platform/Security/Directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace platform {
namespace {

namespace fs = std::filesystem;

// The folder holding the PAM modules the tests use, if they are installed.
std::optional<fs::path> moduleDir() {
    for (const char* dir : {"/lib/x86_64-linux-gnu/security", "/usr/lib/x86_64-linux-gnu/security",
                            "/lib/aarch64-linux-gnu/security", "/usr/lib/aarch64-linux-gnu/security",
                            "/lib64/security", "/usr/lib64/security", "/lib/security", "/usr/lib/security"}) {
        if (fs::exists(fs::path(dir) / "pam_permit.so") && fs::exists(fs::path(dir) / "pam_deny.so")) return dir;
    }
    return std::nullopt;
}

class PamDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto dir = moduleDir();
        if (!dir) GTEST_SKIP() << "pam_permit.so / pam_deny.so not installed (Debian: libpam-modules)";
        modules_ = *dir;
        std::string pattern = (fs::temp_directory_path() / "pam-conf-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        if (!root_.empty()) fs::remove_all(root_, ec);
    }

    // A configuration folder `name` holding the given service files.
    std::string confDir(const std::string& name, const std::vector<std::pair<std::string, std::string>>& services) {
        const fs::path dir = root_ / name;
        fs::create_directories(dir);
        for (const auto& [service, body] : services) std::ofstream(dir / service) << body;
        return dir.string();
    }

    std::string module(const std::string& name) const { return (modules_ / name).string(); }
    bool hasModule(const std::string& name) const { return fs::exists(modules_ / name); }

    // Both stacks answered by one module per stack.
    std::string stack(const std::string& authModule, const std::string& accountModule) const {
        return "auth required " + module(authModule) + "\naccount required " + module(accountModule) + "\n";
    }

    fs::path modules_;
    fs::path root_;
};

TEST_F(PamDirectoryTest, PermitServiceIsValidDenyServiceIsInvalid) {
    PamDirectory permit(confDir("permit", {{"norvessal-host", stack("pam_permit.so", "pam_permit.so")}}));
    PamDirectory deny(confDir("deny", {{"norvessal-host", stack("pam_deny.so", "pam_deny.so")}}));
    EXPECT_EQ(permit.verify("alice", "anything"), CredentialCheck::valid);
    EXPECT_EQ(deny.verify("alice", "anything"), CredentialCheck::invalid);

    // Authentication passing is not enough: the account stack must agree.
    PamDirectory refusedAccount(confDir("account", {{"norvessal-host", stack("pam_permit.so", "pam_deny.so")}}));
    EXPECT_EQ(refusedAccount.verify("alice", "anything"), CredentialCheck::invalid);
}

TEST_F(PamDirectoryTest, OwnServiceWinsAndOtherIsTheFallback) {
    const auto both = confDir("both", {{"norvessal-host", stack("pam_deny.so", "pam_deny.so")},
                                       {"other", stack("pam_permit.so", "pam_permit.so")}});
    PamDirectory own(both);
    EXPECT_EQ(own.serviceName(), "norvessal-host");
    EXPECT_EQ(own.verify("alice", "pw"), CredentialCheck::invalid);

    PamDirectory fallback(confDir("fallback", {{"other", stack("pam_permit.so", "pam_permit.so")}}));
    EXPECT_EQ(fallback.serviceName(), "other");
    EXPECT_EQ(fallback.verify("alice", "pw"), CredentialCheck::valid);
}

TEST_F(PamDirectoryTest, ConfigurationThatCannotBeUsedIsUnavailable) {
    PamDirectory missingModule(
        confDir("broken", {{"norvessal-host", "auth required " + (root_ / "pam_missing.so").string() +
                                                  "\naccount required " + module("pam_permit.so") + "\n"}}));
    EXPECT_EQ(missingModule.verify("alice", "pw"), CredentialCheck::unavailable);
    // A folder with neither service file makes pam_start itself fail; not
    // exercised here because libpam leaks on that path, which would fail
    // the sanitizer build.
}

TEST_F(PamDirectoryTest, NamesAndPasswordsPamCannotSeeWholeAreRefused) {
    // pam_permit would accept these; the C interface would check a
    // truncated string, so they must never reach it.
    PamDirectory permit(confDir("permit", {{"norvessal-host", stack("pam_permit.so", "pam_permit.so")}}));
    EXPECT_EQ(permit.verify(std::string("alice\0evil", 10), "pw"), CredentialCheck::invalid);
    EXPECT_EQ(permit.verify("alice", std::string("pw\0rest", 7)), CredentialCheck::invalid);
    EXPECT_EQ(permit.verify("", "pw"), CredentialCheck::invalid);
}

// The conversation hands the password to a module that asks for it, and PAM
// holds the user name it was started with.
TEST_F(PamDirectoryTest, ConversationAnswersThePasswordPrompt) {
    if (!hasModule("pam_exec.so")) GTEST_SKIP() << "pam_exec.so not installed";
    const fs::path script = root_ / "check-password";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\n"
               "pw=$(tr -d '\\000')\n"
               "[ \"$PAM_USER\" = \"alice\" ] && [ \"$pw\" = \"s3cret pass\" ]\n";
    }
    fs::permissions(script, fs::perms::owner_all);
    PamDirectory directory(confDir(
        "exec", {{"norvessal-host", "auth [success=1 default=ignore] " + module("pam_exec.so") +
                                        " quiet expose_authtok " + script.string() + "\n" +
                                        "auth requisite " + module("pam_deny.so") + "\n" +
                                        "auth required " + module("pam_permit.so") + "\n" +
                                        "account required " + module("pam_permit.so") + "\n"}}));
    EXPECT_EQ(directory.verify("alice", "s3cret pass"), CredentialCheck::valid);
    EXPECT_EQ(directory.verify("alice", "s3cret"), CredentialCheck::invalid);
    EXPECT_EQ(directory.verify("alice", ""), CredentialCheck::invalid);
    EXPECT_EQ(directory.verify("bob", "s3cret pass"), CredentialCheck::invalid);
}

// Every PAM answer lands on the documented verdict; pam_debug returns
// whatever code it is told to.
TEST_F(PamDirectoryTest, PamCodesMapToVerdicts) {
    if (!hasModule("pam_debug.so")) GTEST_SKIP() << "pam_debug.so not installed";
    struct Case {
        const char* auth;
        const char* account;
        CredentialCheck expected;
    };
    const Case cases[] = {
        {"success", "success", CredentialCheck::valid},
        {"auth_err", "success", CredentialCheck::invalid},
        {"user_unknown", "success", CredentialCheck::invalid},
        {"maxtries", "success", CredentialCheck::invalid},
        {"success", "perm_denied", CredentialCheck::invalid},
        {"success", "acct_expired", CredentialCheck::invalid},
        {"success", "new_authtok_reqd", CredentialCheck::invalid},
        {"authinfo_unavail", "success", CredentialCheck::unavailable},
        {"system_err", "success", CredentialCheck::unavailable},
        {"cred_insufficient", "success", CredentialCheck::unavailable},
        {"abort", "success", CredentialCheck::unavailable},
        {"success", "system_err", CredentialCheck::unavailable},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string body = "auth required " + module("pam_debug.so") + " auth=" + c.auth + "\n" +
                                 "account required " + module("pam_debug.so") + " acct=" + c.account + "\n";
        PamDirectory directory(confDir("debug" + std::to_string(index++), {{"norvessal-host", body}}));
        EXPECT_EQ(directory.verify("alice", "pw"), c.expected) << "auth=" << c.auth << " acct=" << c.account;
    }
}

TEST(InMemoryDirectory, ChecksNameAndPasswordExactly) {
    InMemoryDirectory directory;
    EXPECT_EQ(directory.verify("alice", ""), CredentialCheck::invalid);
    directory.setUser("alice", "pw1");
    directory.setUser("bob", "pw2");
    EXPECT_EQ(directory.verify("alice", "pw1"), CredentialCheck::valid);
    EXPECT_EQ(directory.verify("bob", "pw2"), CredentialCheck::valid);
    EXPECT_EQ(directory.verify("alice", "pw2"), CredentialCheck::invalid);
    EXPECT_EQ(directory.verify("Alice", "pw1"), CredentialCheck::invalid);
    EXPECT_EQ(directory.verify("carol", "pw1"), CredentialCheck::invalid);

    directory.setUser("alice", "changed");
    EXPECT_EQ(directory.verify("alice", "pw1"), CredentialCheck::invalid);
    EXPECT_EQ(directory.verify("alice", "changed"), CredentialCheck::valid);
}

TEST(InMemoryDirectory, UnavailableOverridesEveryAnswerUntilCleared) {
    InMemoryDirectory directory;
    directory.setUser("alice", "pw");
    directory.setUnavailable(true);
    EXPECT_EQ(directory.verify("alice", "pw"), CredentialCheck::unavailable);
    EXPECT_EQ(directory.verify("alice", "wrong"), CredentialCheck::unavailable);
    directory.setUnavailable(false);
    EXPECT_EQ(directory.verify("alice", "pw"), CredentialCheck::valid);
}

}  // namespace
}  // namespace platform
