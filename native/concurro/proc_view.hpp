// Whether /proc/<pid>/syscall shows this machine's own view of a process: its system call
// numbers and addresses as this build knows them.
#pragma once

namespace orvex::concurro {

// True when a thread reading its own /proc syscall file sees that very read, as this build
// numbers it, with its own descriptor and buffer. False under user-mode emulation (the file
// shows the host's calls of the emulator) and where the file is hidden or unreadable.
// Checked once per process.
bool proc_syscall_view_is_own() noexcept;

}  // namespace orvex::concurro
