#include "Support/TestSupport.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef NORVESSAL_SANITIZED_BUILD
// The sanitizer runtime's own count; declared here, as not every compiler
// ships the header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "HostApp/Display/HeadlessVirtualDisplay.h"
#include "HostApp/Input/HostMediaPlayerActivator.h"
#include "Platform/Files/Folders.h"
#include "Platform/Runtime/Log.h"
#include "Platform/Runtime/Runtime.h"
#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform::testing {

struct LogCapture::State {
    mutable std::mutex m;
    std::vector<std::string> lines;
};

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
    auto s = state_;
    Log::setSinkForTesting([s](const std::string& line) {
        std::lock_guard<std::mutex> g(s->m);
        s->lines.push_back(line);
        if (std::getenv("NORVESSAL_TEST_LOG")) std::fprintf(stderr, "%s\n", line.c_str());
    });
}
LogCapture::~LogCapture() { Log::setSinkForTesting(nullptr); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> g(state_->m);
    return state_->lines;
}
bool LogCapture::contains(const std::string& text) const { return count(text) > 0; }
size_t LogCapture::count(const std::string& text) const {
    std::lock_guard<std::mutex> g(state_->m);
    size_t n = 0;
    for (auto& l : state_->lines)
        if (l.find(text) != std::string::npos) n++;
    return n;
}
void LogCapture::clear() {
    std::lock_guard<std::mutex> g(state_->m);
    state_->lines.clear();
}

TemporaryDataRoot::TemporaryDataRoot() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("norvessal-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    Folders::setOverrideRoot(path_);
}
TemporaryDataRoot::~TemporaryDataRoot() {
    Folders::setOverrideRoot(std::nullopt);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

VirtualTimeTest::VirtualTimeTest() {
    log = std::make_unique<LogCapture>();
    dataRoot = std::make_unique<TemporaryDataRoot>();
    runtime = VirtualRuntime::install();
    SimulatedMachine::install(std::make_shared<SimulatedMachine>());
    // The process-wide virtual display and media activator keep the queues
    // of the runtime they were made on; every test gets its own.
    HeadlessVirtualDisplay::resetSharedForTesting();
    HostMediaPlayerActivator::resetSharedForTesting();
}

VirtualTimeTest::~VirtualTimeTest() {
    // Let work that is already due finish before the runtime goes away.
    runtime->runUntilIdle();
    Runtime::install(nullptr);
    SimulatedMachine::install(nullptr);
    runtime.reset();
    dataRoot.reset();
    log.reset();
}

size_t openDescriptors() {
    return static_cast<size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

DescriptorsUsedUp::DescriptorsUsedUp() {
    int highest = 2;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) return;
    ::rlimit lowered = saved_;
    // Room for the iterator's own descriptor, which is closed by now.
    lowered.rlim_cur = std::min<rlim_t>(static_cast<rlim_t>(highest) + 8, saved_.rlim_max);
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0) return;
    lowered_ = true;
    for (;;) {
        const int fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            reached_ = errno == EMFILE;
            break;
        }
        taken_.push_back(fd);
    }
}

void DescriptorsUsedUp::free() {
    for (int fd : taken_) ::close(fd);
    taken_.clear();
    if (lowered_) ::setrlimit(RLIMIT_NOFILE, &saved_);
    lowered_ = false;
}

size_t residentBytes() {
    // The second field of statm: resident pages.
    std::ifstream statm("/proc/self/statm");
    size_t total = 0, resident = 0;
    statm >> total >> resident;
    return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

size_t allocatedBytes() {
#ifdef NORVESSAL_SANITIZED_BUILD
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
    const auto info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    return residentBytes();
#endif
}

void returnFreedMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

}  // namespace platform::testing
