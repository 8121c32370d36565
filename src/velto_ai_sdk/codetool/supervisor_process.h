// The supervisor processes of the code runs, seen from the host: started
// with the package's velto-code-supervisor program, each in cgroups of its
// own, kept while idle for the next run, and ended when they are no longer
// of use. See isolation/protocol.h for what they are told.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include <sys/types.h>
#include <unistd.h>

#include "velto_ai_sdk/codetool/isolation/cgroups.h"

namespace velto::codetool {

namespace py = pybind11;

// The warm worker's file (see isolation/warm_worker.h), installed beside
// this module as the supervisor is.
std::string warm_worker_path();

// Raises OSError for `error` (an errno), naming `filename` if there is one.
[[noreturn]] void raise_os_error(int error, const char* filename = nullptr);

class Descriptor {
public:
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A pipe of close-on-exec ends. Raises OSError.
void make_pipe(Descriptor& read_end, Descriptor& write_end);

// A supervisor process and the host's end of its socket. It serves one run
// at a time, and may serve many.
class Supervisor {
public:
    // Starts one in new cgroups. Raises OSError.
    Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;
    // Closes the socket, which ends the supervisor, reaps it and removes
    // what it left. Never fails.
    ~Supervisor();

    // Lets go of a supervisor that belongs to the process this one was
    // forked from: only the socket is closed here.
    void abandon() noexcept;

    int socket() const { return socket_.get(); }
    pid_t pid() const { return pid_; }
    pid_t owner() const { return owner_; }
    const isolation::RunCgroups& cgroups() const { return cgroups_; }
    // The socket reached its end: the supervisor is gone.
    void lost() { socket_.reset(); }
    // Whether its last run was warm: it keeps a warm worker then, which a
    // cold run would end.
    bool warm() const { return warm_; }
    void set_warm(bool warm) { warm_ = warm; }

private:
    pid_t owner_ = getpid();
    pid_t pid_ = -1;
    isolation::RunCgroups cgroups_;
    Descriptor socket_;
    bool warm_ = false;
};

// An idle supervisor of this process whose last run was `warm` (or not),
// or none: a warm run needs the worker that a cold one would end. With the interpreter lock held, as for
// give_back.
std::unique_ptr<Supervisor> idle_supervisor(bool warm);

// Keeps a supervisor that is ready for another run.
void give_back(std::unique_ptr<Supervisor> supervisor);

}  // namespace velto::codetool
