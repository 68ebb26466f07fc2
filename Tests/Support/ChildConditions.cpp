#include "Support/ChildConditions.h"

#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>

#ifndef __NR_faccessat2
#define __NR_faccessat2 439
#endif

namespace testsupport {
namespace {

bool installFaccessat2Refusal() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_faccessat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

bool runInChild(const ChildConditions& conditions, const std::function<bool()>& work) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::alarm(60);
        if (conditions.unprivileged && ::geteuid() == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedGid) != 0 || ::setuid(kUnprivilegedUid) != 0)
                ::_exit(2);
        }
        if (conditions.refuseFaccessat2 && !installFaccessat2Refusal()) ::_exit(3);
        ::_exit(work() ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void giveToUnprivileged(const char* tree) {
    if (::geteuid() != 0) return;
    namespace fs = std::filesystem;
    ::lchown(tree, kUnprivilegedUid, kUnprivilegedGid);
    std::error_code error;
    for (fs::recursive_directory_iterator it(tree, error), end; !error && it != end; it.increment(error))
        ::lchown(it->path().c_str(), kUnprivilegedUid, kUnprivilegedGid);
}

}  // namespace testsupport
