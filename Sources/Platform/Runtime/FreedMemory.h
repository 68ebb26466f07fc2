#pragma once
// Giving back to the system what the process has freed. glibc keeps freed
// memory in the arenas of the threads that allocated it and returns only
// the top of each heap on its own: a burst of allocations (a closed
// encoder's pictures, a flood of packets from a peer) leaves its pages
// resident long after the objects have gone.

#include <cstddef>

namespace platform::FreedMemory {

// A pass over every arena that returns their free pages, half a second
// from now on a utility queue (never on the caller's): long enough for a
// closing encoder's threads to have ended, and for the closes of one
// rebuild, or of a burst of them, to share one pass. Any thread.
void returnSoon();

// Once, at the process's start, before it starts a thread: a buffer of
// kLargeBufferBytes or more (a packet of many MiB, read whole or cut off
// while it arrived) is a mapping of its own, given back to the system the
// moment it is freed instead of staying in a heap; and a heap keeps at most
// kKeptTopBytes free at its top. glibc would otherwise raise the first
// bound to the largest buffer freed so far (up to 32 MiB), after which
// every buffer below it stays resident once freed.
inline constexpr size_t kLargeBufferBytes = size_t{1} << 20;
inline constexpr size_t kKeptTopBytes = size_t{1} << 20;
void giveBackLargeBuffersAtOnce();

// Passes run so far; tests only.
int returnsForTesting();

}  // namespace platform::FreedMemory
