#pragma once
// Runs a piece of a test in a forked child under conditions a test process
// cannot take on and give back: a sandbox filter that refuses the access
// question itself, and (where the tests run as root) an ID no account has,
// so that folder modes bind as they do for a Host its user started.

#include <sys/types.h>

#include <functional>

namespace testsupport {

// An ID nobody on the machine has.
inline constexpr uid_t kUnprivilegedUid = 54321;
inline constexpr gid_t kUnprivilegedGid = 54322;

struct ChildConditions {
    // faccessat2 answered EPERM, as older container profiles answer it.
    bool refuseFaccessat2 = false;
    // The child becomes kUnprivilegedUid when the tests run as root.
    bool unprivileged = false;
};

// Whether `work`, run in a child under `conditions`, returned true; its
// failures are printed by the child. Bounded: a child that hangs is ended
// after 60 s and counts as failed. Fork only from a test whose runtime is
// virtual (no other thread holds a lock the child would need).
bool runInChild(const ChildConditions& conditions, const std::function<bool()>& work);

// Gives `tree` (with all below it) to kUnprivilegedUid where the tests run
// as root; nothing otherwise.
void giveToUnprivileged(const char* tree);

}  // namespace testsupport
