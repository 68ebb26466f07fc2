#pragma once
// The process's limit on open descriptors, and the Host-wide total its
// peers may hold of it. A service manager starts the Host with a soft
// limit of 1,024 and a far higher hard one; every peer's sockets, staging
// folders and files come out of the soft one, and a process that reaches
// it can accept no login and open no file of its own.

#include <cstddef>

namespace platform::DescriptorLimit {

// Once, at the process's start, before it starts a thread: the soft limit
// is raised to the hard one (the most an unprivileged process may take).
// Returns the soft limit in force afterwards.
size_t raiseToHardLimit();

// The total all peers may hold of `limit`: what stays above it is
// `reserve`, for connections that have not logged in and the Host's own
// files. A limit too small for the reserve keeps half of it back instead.
size_t hostTotalFor(size_t limit, size_t reserve);

}  // namespace platform::DescriptorLimit
