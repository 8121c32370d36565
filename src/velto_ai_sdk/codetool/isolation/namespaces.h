// The namespace layer of a code run's sandbox: the run joins a user
// namespace and a network namespace of its supervisor's, and gets a mount
// namespace of its own in which /dev/shm is a new, empty tmpfs.
//   - The network namespace has only a loopback device that is down: no
//     address, loopback included, is reachable, and the host's abstract
//     Unix sockets (which belong to a network namespace) are not there.
//   - The user namespace maps the user to itself, so files keep their
//     owners; what it adds is that the run's privileges (root's included)
//     count only inside it.
//   - The private /dev/shm holds the run's POSIX semaphores and shared
//     memory (multiprocessing's locks), apart from every other process's.
// The namespaces are made once per supervisor by a helper process that
// leaves at once (making a network namespace for every run would cost a
// millisecond and more, and tearing it down more, on the kernel's side);
// the runs of one supervisor come one after the other and leave nothing
// running, so they may share them.
#pragma once

#include <string>

#include <sys/types.h>

namespace velto::isolation::namespaces {

// The user and network namespaces a run joins.
struct Shared {
    int user_fd = -1;
    int net_fd = -1;
};

// Makes them. Returns 0 or the errno that keeps the kernel from it (EPERM,
// ENOSPC: none allowed to this user; EINVAL: a kernel without them).
int make(Shared& shared);

// Closes what make() opened.
void release(Shared& shared);

// In the run's process (with one thread): joins the user namespace, and
// the network namespace unless `net_fd` is -1, and mounts a private tmpfs
// on /dev/shm. Returns 0 or an errno. Async-signal-safe.
int enter(int user_fd, int net_fd);

// A hold on the mount namespace of the run's process `pid` (a descriptor,
// or -1 when it has none of its own any more): the last process of the
// run to leave would otherwise unmount its /dev/shm on its way out, which
// waits for an RCU grace period, and its supervisor would report the run's
// end that much later. Closing the descriptor after the report unmounts it.
int hold_mounts(pid_t pid);

}  // namespace velto::isolation::namespaces
