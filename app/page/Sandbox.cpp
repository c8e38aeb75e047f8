#include "Sandbox.h"

#include <seccomp.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// AddressSanitizer reserves terabytes of address space for its shadow: a
// sanitizer build keeps no ceiling (the ordinary build's is what ships).
#if defined(__SANITIZE_ADDRESS__)
#define ZT_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZT_ADDRESS_SANITIZER 1
#endif
#endif

bool LimitMemory(std::size_t nBytes, std::string& strError)
{
#ifdef ZT_ADDRESS_SANITIZER
    (void)nBytes;
    (void)strError;
    return true;
#endif
    rlimit lim{nBytes, nBytes};
    if (setrlimit(RLIMIT_AS, &lim) != 0) {
        strError = std::string("cannot set the memory ceiling: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool DropRoot(const std::string& strUser, std::string& strError)
{
    if (geteuid() != 0) return true;
    const passwd* pw = getpwnam(strUser.c_str());
    if (!pw) pw = getpwnam("nobody");
    if (!pw) {
        strError = "started as root, and there is neither a user " + strUser + " nor nobody to become";
        return false;
    }
    if (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0 || setuid(0) == 0) {
        strError = std::string("cannot leave root: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool LockDown(std::string& strError)
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        strError = std::string("cannot set no_new_privs: ") + std::strerror(errno);
        return false;
    }
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (!ctx) {
        strError = "cannot make a seccomp filter";
        return false;
    }
    bool bOk = true;
    auto deny = [&](int nSyscall) {
        // A call the architecture does not have is no hole.
        int rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), nSyscall, 0);
        bOk = bOk && (rc == 0 || rc == -EDOM || rc == -EINVAL || rc == -EFAULT);
    };
    for (int n : {SCMP_SYS(open), SCMP_SYS(openat), SCMP_SYS(creat), SCMP_SYS(open_by_handle_at),
                  SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork),
                  SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(listen),
                  SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
                  SCMP_SYS(mknod), SCMP_SYS(mknodat), SCMP_SYS(unlink), SCMP_SYS(unlinkat), SCMP_SYS(rename),
                  SCMP_SYS(renameat), SCMP_SYS(renameat2), SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(rmdir),
                  SCMP_SYS(link), SCMP_SYS(linkat), SCMP_SYS(symlink), SCMP_SYS(symlinkat), SCMP_SYS(chmod),
                  SCMP_SYS(fchmod), SCMP_SYS(fchmodat), SCMP_SYS(chown), SCMP_SYS(fchown), SCMP_SYS(lchown),
                  SCMP_SYS(fchownat), SCMP_SYS(truncate), SCMP_SYS(mount), SCMP_SYS(umount2),
                  SCMP_SYS(pivot_root), SCMP_SYS(chroot), SCMP_SYS(setuid), SCMP_SYS(setgid),
                  SCMP_SYS(setreuid), SCMP_SYS(setregid), SCMP_SYS(setresuid), SCMP_SYS(setresgid),
                  SCMP_SYS(setgroups), SCMP_SYS(kexec_load), SCMP_SYS(init_module), SCMP_SYS(finit_module),
                  SCMP_SYS(delete_module), SCMP_SYS(bpf), SCMP_SYS(perf_event_open), SCMP_SYS(userfaultfd),
                  SCMP_SYS(unshare), SCMP_SYS(setns), SCMP_SYS(memfd_create)})
        deny(n);
    // openat2 and clone3 look as new to the C library: "not here" makes it
    // fall back to the calls checked above.
    for (int n : {SCMP_SYS(openat2), SCMP_SYS(clone3)})
        bOk = bOk && seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), n, 0) == 0;
    // Threads, yes; another process, no.
    bOk = bOk && seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                                  SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)) == 0;
    if (bOk) bOk = seccomp_load(ctx) == 0;
    seccomp_release(ctx);
    if (!bOk) strError = "cannot load the seccomp filter";
    return bOk;
}

int EndLockedDown(int nStatus)
{
#ifdef ZT_ADDRESS_SANITIZER
    std::fflush(nullptr);
    _exit(nStatus);
#endif
    return nStatus;
}
