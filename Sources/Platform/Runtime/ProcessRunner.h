#pragma once
// Running a command-line tool of the system to its end, as Foundation's
// Process does, with one difference the Host relies on: every run has a
// time limit of real time. A tool still running then gets SIGTERM, and
// SIGKILL one second later, and is reaped either way; nothing is left
// behind. The tool runs in a process group of its own, so whatever it
// started goes with it.
//
// The tools are the Mac's ("/usr/bin/open", "/usr/bin/osascript", ...).
// Linux has programs under some of those paths that do something else
// entirely (Debian's /usr/bin/open), so a path is never run as it stands:
// it is looked up in the simulated machine's tool table (SimulatedTools),
// which names the program standing in for it. The table is empty until a
// test fills it, so by default every launch fails as it would for a
// missing file.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Result.h"

namespace platform {

// How a launched tool ended.
struct ProcessTermination {
    enum class Reason { exit, uncaughtSignal, timedOut };
    Reason reason = Reason::exit;
    // The exit status, or the signal that ended the tool; 0 when timed out.
    int status = 0;
    // The tool's process (and process group) identifier, gone by now.
    int32_t processIdentifier = 0;

    bool succeeded() const { return reason == Reason::exit && status == 0; }
};

// How a tool ended and what it wrote to its standard output.
struct ProcessOutput {
    ProcessTermination termination;
    // At most maxCapturedOutputBytes; the rest is read and dropped.
    std::string standardOutput;
};

struct ProcessRunner {
    // A run's time limit unless the caller gives another.
    static constexpr double defaultTimeLimitSeconds = 10;
    // Between SIGTERM and SIGKILL.
    static constexpr double killGraceSeconds = 1;

    // Launches the tool with the arguments and waits, blocking the caller,
    // until it ends or the limit passes. A failure means it never started;
    // the text reads like the system's ("The file “open” doesn’t exist.").
    static Result<ProcessTermination> run(const std::string& executablePath, const std::vector<std::string>& arguments,
                                          double timeLimitSeconds = defaultTimeLimitSeconds);
    // The same with standard output read into the result (standard error
    // goes to the null device). Output is read while the tool runs, so a
    // chatty tool never stalls on a full pipe.
    static constexpr size_t maxCapturedOutputBytes = size_t{1} << 20;
    static Result<ProcessOutput> runCapturingOutput(const std::string& executablePath,
                                                    const std::vector<std::string>& arguments,
                                                    double timeLimitSeconds = defaultTimeLimitSeconds);

    // A program started and left to itself (ProcessRunnerDetached.cpp): no
    // shell, no time limit, in a session of its own, so that it outlives
    // the caller and nothing sent to the caller's group reaches it. It
    // inherits only standard input, output and error. With
    // `waitForProcess` it starts only once that process has ended, and not
    // at all when it is still running after `waitLimitSeconds`.
    struct DetachedLaunch {
        // The program's path, then its arguments, passed exactly as given.
        std::vector<std::string> argv;
        std::optional<int32_t> waitForProcess;
        double waitLimitSeconds = 10;
        bool operator==(const DetachedLaunch&) const = default;
    };
    // The detached process's identifier (it keeps it when the program
    // starts); a failure when it could not be made. The simulated machine
    // may record the launch instead (SimulatedProcessLaunches).
    static Result<int32_t> launchDetached(const DetachedLaunch& launch);
};

// Detached launches on the simulated machine: run for real unless a test
// asks for them to be recorded only (the Host's tests, whose relaunch
// would start the test program again).
class SimulatedProcessLaunches {
public:
    void setRecordsInsteadOfLaunching(bool records);
    bool recordsInsteadOfLaunching() const;
    void record(const ProcessRunner::DetachedLaunch& launch);
    std::vector<ProcessRunner::DetachedLaunch> detachedLaunches() const;

private:
    mutable std::mutex lock_;
    bool records_ = false;
    std::vector<ProcessRunner::DetachedLaunch> launches_;
};

// The simulated machine's tools: a macOS tool path and the program that
// stands for it here.
class SimulatedTools {
public:
    void setTool(const std::string& path, const std::string& standIn);
    void removeTool(const std::string& path);
    std::optional<std::string> standIn(const std::string& path) const;

private:
    mutable std::mutex lock_;
    std::map<std::string, std::string> tools_;
};

}  // namespace platform
