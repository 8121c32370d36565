// The system-call layer of a code run's sandbox: a seccomp filter for what
// Landlock does not cover. Refused with EPERM (the script sees
// PermissionError):
//   - sockets of any family but Unix, and Unix datagram sockets (which can
//     send to any socket by its path), and connect() and bind() on what is
//     left: a script still makes socket pairs and pipes (multiprocessing,
//     asyncio), but reaches no socket outside the run, not even by path
//     (a database's Unix socket, the system bus);
//   - io_uring, which would run all of that (and more) unseen;
//   - reaching into other processes: ptrace, process_vm_readv/writev,
//     process_madvise, pidfd_getfd, kcmp;
//   - what no analysis script needs and a kernel exploit likes: new
//     namespaces, mounts, kernel keyrings, BPF, perf events, userfaultfd,
//     opening files by handle, modules, kexec, reboot, swap, clock
//     setting; faking terminal input (TIOCSTI, TIOCLINUX).
// clone3 answers ENOSYS, so that the C library falls back on clone, whose
// flags the filter can see. Any other architecture's system calls (32-bit
// ones on a 64-bit kernel, x32) end the process.
//
// With the network lifted (VELTO_CODE_NETWORK=1) Internet and netlink
// sockets, datagram Unix sockets, connect() and bind() are let through.
#pragma once

#include <linux/filter.h>

#include <vector>

namespace velto::isolation::seccomp {

// 0 when the kernel takes seccomp filters, else the errno that says why not.
int available();

std::vector<sock_filter> filter(bool network);

// In the run's process: installs the filter for it and everything it
// starts. Returns 0 or an errno. Async-signal-safe; no_new_privs must be
// set.
int install(const sock_filter* program, unsigned short length);

}  // namespace velto::isolation::seccomp
