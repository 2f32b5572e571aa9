#include "ChildProcess.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

int RunInChild(const std::function<int()>& body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(body());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int WithFileSizeLimit(unsigned long bytes, const std::function<int()>& body)
{
    return RunInChild([&]() {
        // The write is to fail with EFBIG, not to kill the child.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return kLimitUnsupported;
        limit.rlim_cur = bytes;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return kLimitUnsupported;
        return body();
    });
}

int WithReadOnlyDirectory(const std::string& dir, const std::function<int()>& body)
{
    return RunInChild([&]() {
        if (geteuid() != 0) {
            if (chmod(dir.c_str(), 0555) != 0) return kReadOnlyUnsupported;
            int result = body();
            chmod(dir.c_str(), 0755);
            return result;
        }
        if (unshare(CLONE_NEWNS) != 0) return kReadOnlyUnsupported;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kReadOnlyUnsupported;
        if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) return kReadOnlyUnsupported;
        if (mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            return kReadOnlyUnsupported;
        // The mount dies with the child's namespace.
        return body();
    });
}
