#pragma once
// Giving back to the system what the process has freed. glibc keeps freed
// memory in the arenas of the threads that allocated it and returns only
// the top of each heap on its own: a burst of allocations (a closed
// encoder's pictures, a flood of packets from a peer) leaves its pages
// resident long after the objects have gone.

namespace platform::FreedMemory {

// A pass over every arena that returns their free pages, half a second
// from now on a utility queue (never on the caller's): long enough for a
// closing encoder's threads to have ended, and for the closes of one
// rebuild, or of a burst of them, to share one pass. Any thread.
void returnSoon();

// Passes run so far; tests only.
int returnsForTesting();

}  // namespace platform::FreedMemory
