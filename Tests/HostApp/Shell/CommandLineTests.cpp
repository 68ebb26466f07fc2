#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "HostApp/Shell/CommandLine.h"
#include "Platform/Files/Folders.h"

namespace {

HostCommandLine parsed(const std::vector<std::string>& args) {
    auto result = HostCommandLine::parse(args);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error());
    return result.ok() ? *result : HostCommandLine{};
}

std::string refused(const std::vector<std::string>& args) {
    auto result = HostCommandLine::parse(args);
    return result.ok() ? "<accepted>" : result.error();
}

}  // namespace

TEST(HostCommandLineParse, DefaultsAndEveryOptionInBothSpellings) {
    auto none = parsed({});
    EXPECT_EQ(none.audioPort, 7346);
    EXPECT_EQ(none.videoPort, 7347);
    EXPECT_EQ(none.filePort, 7348);
    EXPECT_FALSE(none.initialInstall || none.unattendedUpgrade || none.showHelp || none.showVersion);

    auto all = parsed({"--audio-port=0", "--video-port", "9001", "--file-port=9002", "--data-root", "/tmp/x",
                       "--console-user=alice", "--velantrix-initial-install", "--velantrix-unattended-upgrade"});
    EXPECT_EQ(all.audioPort, 0);
    EXPECT_EQ(all.videoPort, 9001);
    EXPECT_EQ(all.filePort, 9002);
    EXPECT_EQ(all.dataRoot, "/tmp/x");
    EXPECT_EQ(all.consoleUser, "alice");
    EXPECT_TRUE(all.initialInstall);
    EXPECT_TRUE(all.unattendedUpgrade);
}

TEST(HostCommandLineParse, HelpAndVersionActWhereTheyStand) {
    // The first of them wins, and nothing after it is looked at.
    EXPECT_TRUE(parsed({"--help", "--version"}).showHelp);
    EXPECT_FALSE(parsed({"--help", "--version"}).showVersion);
    EXPECT_TRUE(parsed({"--version", "--help"}).showVersion);
    EXPECT_TRUE(parsed({"--help", "--no-such-option"}).showHelp);
    EXPECT_TRUE(parsed({"-hV"}).showHelp);
    EXPECT_TRUE(parsed({"-V"}).showVersion);
    // Operands are refused only after all options were read.
    EXPECT_TRUE(parsed({"stray", "--help"}).showHelp);
    // An error before them still counts.
    EXPECT_EQ(refused({"--no-such-option", "--help"}), "unrecognized option '--no-such-option'");
}

TEST(HostCommandLineParse, LongOptionsMayBeShortenedWhileUnambiguous) {
    EXPECT_TRUE(parsed({"--vers"}).showVersion);
    EXPECT_TRUE(parsed({"--he"}).showHelp);
    EXPECT_EQ(parsed({"--aud=5"}).audioPort, 5);
    EXPECT_TRUE(parsed({"--velantrix-i"}).initialInstall);
    EXPECT_EQ(refused({"--v"}),
              "option '--v' is ambiguous; possibilities: '--video-port' '--velantrix-initial-install' "
              "'--velantrix-unattended-upgrade' '--version'");
    EXPECT_EQ(refused({"--velantrix"}),
              "option '--velantrix' is ambiguous; possibilities: '--velantrix-initial-install' "
              "'--velantrix-unattended-upgrade'");
}

TEST(HostCommandLineParse, MistakesAreNamedTheWayGetoptNamesThem) {
    EXPECT_EQ(refused({"--bogus=1"}), "unrecognized option '--bogus=1'");
    EXPECT_EQ(refused({"-x"}), "invalid option -- 'x'");
    EXPECT_EQ(refused({"-hx"}), "<accepted>");
    EXPECT_EQ(refused({"--audio-port"}), "option '--audio-port' requires an argument");
    EXPECT_EQ(refused({"--aud"}), "option '--audio-port' requires an argument");
    EXPECT_EQ(refused({"--help=yes"}), "option '--help' doesn't allow an argument");
    EXPECT_EQ(refused({"--velantrix-initial-install=1"}),
              "option '--velantrix-initial-install' doesn't allow an argument");
    EXPECT_EQ(refused({"--audio-port=65536"}), "invalid port '65536' for --audio-port");
    EXPECT_EQ(refused({"--video-port=-1"}), "invalid port '-1' for --video-port");
    EXPECT_EQ(refused({"--file-port=7e3"}), "invalid port '7e3' for --file-port");
    EXPECT_EQ(refused({"--data-root="}), "option '--data-root' requires an argument");
    EXPECT_EQ(refused({"--console-user="}), "option '--console-user' requires an argument");
}

TEST(HostCommandLineParse, OperandsAreRefusedAndDoubleDashEndsOptions) {
    EXPECT_EQ(refused({"start"}), "extra operand 'start'");
    EXPECT_EQ(refused({"-"}), "extra operand '-'");
    EXPECT_EQ(refused({"--"}), "<accepted>");
    EXPECT_TRUE(parsed({"--velantrix-initial-install", "--"}).initialInstall);
    // After "--" even an option's spelling is an operand.
    EXPECT_EQ(refused({"--", "--help"}), "extra operand '--help'");
    EXPECT_EQ(refused({"--audio-port=1", "a", "b"}), "extra operand 'a'");
}

TEST(HostCommandLineParse, UsageListsEveryOption) {
    const std::string usage = HostCommandLine::usage();
    EXPECT_EQ(usage.rfind("Usage: norvessal-host [OPTION]...\n", 0), 0u);
    for (const char* option : {"--audio-port=PORT", "--video-port=PORT", "--file-port=PORT", "--data-root=DIR",
                               "--console-user=NAME", "--velantrix-initial-install", "--velantrix-unattended-upgrade",
                               "-h, --help", "-V, --version"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}

TEST(HostCommandLineEnvironment, DataRootBecomesAnAbsoluteOverrideRoot) {
    // Named by the flag or by the environment, resolved against the folder
    // the Host started in, whatever folder it works in later.
    const char* previous = std::getenv("NORVESSAL_DATA_ROOT");
    const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
    for (const bool byFlag : {true, false}) {
        SCOPED_TRACE(byFlag ? "the flag" : "the environment");
        auto options = parsed(byFlag ? std::vector<std::string>{"--data-root=relative/root"} : std::vector<std::string>{});
        if (!byFlag) ::setenv("NORVESSAL_DATA_ROOT", "relative/root", 1);
        options.applyEnvironment();
        const auto startedIn = std::filesystem::current_path();
        std::filesystem::current_path("/");
        auto root = platform::Folders::overrideRoot();
        std::filesystem::current_path(startedIn);
        platform::Folders::setOverrideRoot(std::nullopt);
        if (saved) ::setenv("NORVESSAL_DATA_ROOT", saved->c_str(), 1);
        else ::unsetenv("NORVESSAL_DATA_ROOT");
        ASSERT_TRUE(root.has_value());
        EXPECT_EQ(*root, startedIn / "relative/root");
    }
}
