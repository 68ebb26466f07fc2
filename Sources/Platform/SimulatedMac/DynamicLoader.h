#pragma once
// Finding functions that are not public at run time: a library is opened by
// path, its functions are looked up by symbol name, and it is closed again.
// Any of the three may fail; the failure's text is read with dlerror(), as
// the system's loader reports it.
//
// On the simulated machine the libraries are the window server's private
// framework (SimulatedSpaces), the Dock executable (SimulatedDockExecutable)
// and the images every process has loaded (the empty path). Tests decide
// which libraries and symbols are present.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The binding modes the Host asks for, with the loader's values.
inline constexpr int kRTLDLazy = 1;
inline constexpr int kRTLDNow = 2;

// An opened library; an empty path stands for every image already loaded.
struct DynamicLibraryHandle {
    std::string path;
};

// Opens a library; none when it cannot be opened (dlerror() then says why).
std::optional<DynamicLibraryHandle> dlopen(const std::string& path, int mode);
// The same with lazy binding.
std::optional<DynamicLibraryHandle> dlopenLazy(const std::string& path);
DynamicLibraryHandle allLoadedImages();
// The function under a symbol name as a std::function of its signature;
// empty when absent (dlerror() then says why).
std::any dlsymFunction(const DynamicLibraryHandle& library, const std::string& symbol);
// Gives an opened library back; 0 on success.
int dlclose(const DynamicLibraryHandle& library);
// The text of the calling thread's last loader failure, cleared by reading;
// none when nothing failed since the last read.
std::optional<std::string> dlerror();

// Changes whenever the loaded images may have changed (here: when a new
// simulated machine is installed). Functions looked up under an older
// generation are stale; within one generation a lookup gives the same answer.
uint64_t dynamicLoaderGeneration();

template <class F>
std::optional<F> lookupFunction(const DynamicLibraryHandle& library, const std::string& symbol) {
    std::any found = dlsymFunction(library, symbol);
    if (const F* f = std::any_cast<F>(&found)) return *f;
    return std::nullopt;
}

// The loader of the simulated machine: its generation and the libraries
// opened and not yet closed.
class SimulatedDynamicLoader {
public:
    SimulatedDynamicLoader();
    uint64_t generation() const { return generation_; }
    // How many opens of the library are not closed yet.
    int openCount(const std::string& path) const;
    void noteOpen(const std::string& path, int delta);

private:
    mutable std::mutex lock_;
    std::map<std::string, int> open_;
    const uint64_t generation_;
};

// --- The Dock executable ---------------------------------------------------------

inline constexpr const char* kDockExecutablePath = "/System/Library/CoreServices/Dock.app/Contents/MacOS/Dock";
// The Dock's private notification function: a notification name and an
// argument in, a status out.
using CoreDockSendNotificationFunction = std::function<int32_t(const std::string& notification, int32_t argument)>;

// The simulated Dock executable. It is present with its notification
// function until a test says otherwise; the function records each call and
// answers with the status tests set (0 until then).
class SimulatedDockExecutable {
public:
    struct Call {
        std::string notification;
        int32_t argument = 0;
        bool operator==(const Call&) const = default;
    };

    void setPresent(bool present);
    void setNotificationFunctionPresent(bool present);
    void setNotificationStatus(int32_t status);
    bool present() const;
    bool notificationFunctionPresent() const;
    std::vector<Call> calls() const;

    int32_t sendNotification(const std::string& notification, int32_t argument);

private:
    mutable std::mutex lock_;
    bool present_ = true;
    bool functionPresent_ = true;
    int32_t status_ = 0;
    std::vector<Call> calls_;
};

}  // namespace platform
