// Watching over a running script from its parent, a child subreaper: the
// orphans of the run (a daemon that double-forked, a grandchild in a session
// of its own) are re-parented to it, so when the script ends, or the host
// asks for the stop or goes away, every process of the run can be found and
// killed, and none outlives the run.
#pragma once

#include <sys/types.h>

namespace velto::isolation {

// Makes the calling process the subreaper of its descendants and holds back
// the signals that supervise() waits for. Call before the script's process
// is made. Returns 0 or an errno.
int become_subreaper();

struct Ending {
    bool stopped;       // the host asked for the stop, went away, or the supervisor was told to terminate
    bool host_gone;     // the control socket reached its end, or the supervisor was told to terminate
    int wait_status;    // the script's
    bool spared_ended;  // the spared child ended meanwhile, and has been reaped
};

// Waits until the script ends, or a byte (the stop) or the end of file comes
// through `control_fd`, then kills and reaps every descendant but `spared`
// (a child of the supervisor's own that outlives the runs, or -1).
Ending supervise(pid_t script, int control_fd, pid_t spared = -1);

// Field `index` of /proc/<pid>/stat, counted from 1 after the name (the
// state is 1, the parent 2), as a number; -1 when it cannot be read.
long long stat_field(const char* pid, int index);

// Reads what came through the control socket: the stop (true), or its end.
bool host_stayed(int control_fd);

// Kills and reaps every child but `spared`, and what they leave, until
// none is left. Returns whether `spared` ended meanwhile (and was reaped).
bool end_children(pid_t spared);

}  // namespace velto::isolation
