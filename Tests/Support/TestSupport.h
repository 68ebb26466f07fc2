#pragma once

#include <sys/resource.h>
// Shared fixtures for the Host's tests: the virtual-time runtime, a fresh
// simulated machine, a private data root and a captured log.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Runtime/VirtualRuntime.h"

// Under a sanitizer the process's resident set also holds the sanitizer's
// shadow memory and freed-block quarantine, and bulk copies run several
// times slower: tests that measure either skip those checks in such builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NORVESSAL_SANITIZED_BUILD 1
#elif defined(__has_feature)
// clang says so through __has_feature instead.
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NORVESSAL_SANITIZED_BUILD 1
#endif
#endif

namespace platform::testing {

// Captures every log line for the life of the object.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    bool contains(const std::string& text) const;
    size_t count(const std::string& text) const;
    void clear();

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A temporary folder that every well-known folder of the Host is redirected
// into; removed afterwards.
class TemporaryDataRoot {
public:
    TemporaryDataRoot();
    ~TemporaryDataRoot();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Installs everything in its constructor, so that fixture members of
// derived tests (queues, servers) are already built on virtual time.
class VirtualTimeTest : public ::testing::Test {
protected:
    VirtualTimeTest();
    ~VirtualTimeTest() override;

    void advance(double seconds) { runtime->advance(seconds); }
    void runUntilIdle() { runtime->runUntilIdle(); }
    bool runUntil(const std::function<bool()>& p, double realTimeout = 10) { return runtime->runUntil(p, realTimeout); }
    std::vector<std::string> logLines() const { return log->lines(); }
    bool logContains(const std::string& text) const { return log->contains(text); }

    std::shared_ptr<VirtualRuntime> runtime;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<TemporaryDataRoot> dataRoot;
};

// How many descriptors this process has open, to show that something let
// go of what it opened.
size_t openDescriptors();

// Every descriptor the process may open is taken, for the life of the
// object or until free(): the soft limit is lowered to just above the
// highest descriptor open now and the room below it filled, so that the
// next open fails with EMFILE as in a process at its limit. Restores both.
class DescriptorsUsedUp {
public:
    DescriptorsUsedUp();
    ~DescriptorsUsedUp() { free(); }
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;
    void free();
    // Whether the next open would fail: the limit was reached.
    bool reached() const { return reached_; }

private:
    std::vector<int> taken_;
    ::rlimit saved_{};
    bool lowered_ = false;
    bool reached_ = false;
};

// The process's resident set in bytes, as the kernel counts it: what a
// memory claim is measured by.
size_t residentBytes();
// The bytes the allocator has handed out and not had back, by its own
// count (mapped blocks included; under a sanitizer, the sanitizer's
// allocator, whose shadow and quarantine it leaves out): what a claim about
// what a piece of work holds is measured by, in any build.
size_t allocatedBytes();
// Gives every heap's free pages back to the system (glibc's malloc_trim),
// so that a measurement that follows counts only what is held, or what the
// code under test freed and kept since; a no-op with another allocator.
void returnFreedMemory();

inline std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace platform::testing

// Short names for test files (which often say `using namespace platform;`,
// making a bare `testing::` ambiguous with GoogleTest's namespace).
using VirtualTimeTest = platform::testing::VirtualTimeTest;
using LogCapture = platform::testing::LogCapture;
using TemporaryDataRoot = platform::testing::TemporaryDataRoot;
using platform::testing::bytesOf;
using platform::testing::openDescriptors;
using platform::testing::allocatedBytes;
using platform::testing::residentBytes;
using platform::testing::returnFreedMemory;
