#include "Platform/Runtime/DescriptorLimit.h"

#include <sys/resource.h>

#include <algorithm>
#include <limits>

namespace platform::DescriptorLimit {

size_t raiseToHardLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 1024;
    if (files.rlim_cur != files.rlim_max) {
        rlimit raised = files;
        raised.rlim_cur = files.rlim_max;
        // Refused (an unlimited hard limit passes the kernel's nr_open),
        // the soft limit stays as it was and is what the total comes from.
        ::setrlimit(RLIMIT_NOFILE, &raised);
        ::getrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur == RLIM_INFINITY) return std::numeric_limits<int>::max();
    return static_cast<size_t>(files.rlim_cur);
}

size_t hostTotalFor(size_t limit, size_t reserve) {
    return limit > 2 * reserve ? limit - reserve : limit / 2;
}

}  // namespace platform::DescriptorLimit
