// Whether /proc/<pid>/syscall shows this machine's own view of a process: its system call
// numbers and addresses as this build knows them.
#pragma once

#include <sys/types.h>

namespace orvex::concurro {

// One /proc syscall line, "NR ARG1 ARG2 ...", NUL-terminated, and the descriptor it was read
// through.
struct SyscallLine {
    char text[256];
    int fd;
};

// Reads the syscall file at path into line with a single read() of at most
// sizeof line.text - 1 bytes: the length, or -1 (0 for an empty file).
ssize_t read_syscall_line(const char* path, SyscallLine& line) noexcept;

// True when a thread reading its own /proc syscall file sees that very read, as this build
// numbers it, with its own descriptor and buffer. False under user-mode emulation (the file
// shows the host's calls of the emulator) and where the file is hidden or unreadable.
// Checked once per process.
bool proc_syscall_view_is_own() noexcept;

}  // namespace orvex::concurro
