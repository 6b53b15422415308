// A process that runs under user-mode emulation (qemu-user, as in multi-architecture
// container builds) reads the host kernel's /proc: the syscall file then shows the host's
// numbers and the emulator's own arguments, which can be mistaken for a call of this
// build's (the host's number for one call may be this build's number for another). The
// one call whose every figure is known in advance is the read of the file itself.
#include "concurro/proc_view.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace orvex::concurro {
namespace {

bool judge() noexcept {
    char path[64];
    // /proc/thread-self needs Linux 3.17; this names the calling thread on older kernels too.
    snprintf(path, sizeof path, "/proc/self/task/%ld/syscall", (long)syscall(SYS_gettid));
    SyscallLine line;
    if (read_syscall_line(path, line) <= 0) return false;
    // "NR ARG1 ARG2 ARG3 ...": the read above, with its descriptor, buffer and size.
    char expected[96];
    int length = snprintf(expected, sizeof expected, "%ld 0x%lx 0x%lx 0x%lx ", (long)SYS_read,
                          (unsigned long)line.fd, (unsigned long)(uintptr_t)line.text,
                          (unsigned long)(sizeof line.text - 1));
    return length > 0 && length < (int)sizeof expected && strncmp(line.text, expected, length) == 0;
}

}  // namespace

ssize_t read_syscall_line(const char* path, SyscallLine& line) noexcept {
    line.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (line.fd < 0) return -1;
    ssize_t size;
    do {
        size = read(line.fd, line.text, sizeof line.text - 1);
    } while (size < 0 && errno == EINTR);
    close(line.fd);
    line.text[size > 0 ? size : 0] = '\0';
    return size;
}

bool proc_syscall_view_is_own() noexcept {
    // 0 not judged yet, 1 own, 2 not; threads that judge at once find the same.
    static std::atomic<int> verdict{0};
    int known = verdict.load(std::memory_order_relaxed);
    if (known == 0) {
        known = judge() ? 1 : 2;
        verdict.store(known, std::memory_order_relaxed);
    }
    return known == 1;
}

}  // namespace orvex::concurro
