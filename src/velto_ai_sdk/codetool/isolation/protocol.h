// What the host and a supervisor say to each other.
//
// A supervisor lives as long as its host wants it and runs one script at a
// time in its cgroups, which it joins once: a move into a cgroup makes the
// kernel wait for an RCU grace period (5 to 12 ms here after a pause, with
// every fork on the machine held meanwhile), while a process forked inside
// is there from the start. Its descriptors are 0, 1 and 2 on /dev/null, and
// 3, a stream socket to the host:
//   host to supervisor: a request (below), with the host's working
//     directory, the write ends of the script's output and error pipes and
//     the host's standard input (if open) as descriptors (only the
//     directory with a warm_up request, which only starts the warm
//     worker); during the run,
//     stop_byte to end it early (time limit, interrupt); end of file when
//     the host is gone or done with the supervisor;
//   supervisor to host: reports, fixed-size records.
// Its arguments: the pids and the memory cgroup directories it runs in
// ("-" for none).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velto::isolation {

constexpr int control_fd = 3;
constexpr const char* no_cgroup = "-";
constexpr char stop_byte = 's';

// How the script's process is made: executed from nothing (the program
// with the script), or forked from the warm worker (warm_worker.h), which
// the program runs with the worker's file; warm_up only starts the worker.
enum class RunMode : uint32_t { cold = 0, warm = 1, warm_up = 2 };

struct RequestHeader {
    int64_t memory_bytes;  // RLIMIT_DATA of each process, and the memory cgroup's limit
    int64_t max_tasks;     // tasks of the run at once
    uint32_t has_stdin;    // whether a standard input descriptor comes along
    RunMode mode;
    uint32_t strings;      // program, script, the worker's file (empty when cold), the run's private
                           // directory (empty without a sandbox), the paths to read, the paths to write,
                           // then the environment's entries
    uint32_t size;         // of the strings, each ended by a NUL
    uint32_t sandbox;      // sandbox::Mode
    uint32_t network;      // VELTO_CODE_NETWORK: the network layers lifted
    uint32_t made_missing; // sandbox layers a test says to count as missing
    uint32_t reads;        // how many paths to read
    uint32_t writes;       // how many paths to write
    uint32_t reserved;
};

// The requests the host makes are far smaller; a bigger one is refused.
constexpr uint32_t largest_request = 16u << 20;

// The descriptors that come with a request, in this order.
enum RequestFd { cwd_descriptor, output_descriptor, errors_descriptor, stdin_descriptor, request_fds };

struct Request {
    RequestHeader header;
    std::string text;
    std::vector<char*> argv;  // program, script
    const char* worker = "";  // the warm worker's file
    const char* private_dir = "";
    std::vector<std::string> reads, writes;
    std::vector<char*> envp;
    int fds[request_fds] = {-1, -1, -1, -1};
};

// Sends `message` with `fds` (at most most_descriptors_sent) along with its
// first part. Returns 0 or an errno.
constexpr size_t most_descriptors_sent = 8;
int send_with_descriptors(int socket, std::string message, const int* fds, size_t fd_count);

// Host side. `fds` as RequestFd orders them, stdin -1 when there is none.
// Returns 0 or an errno.
int send_request(int socket, RequestHeader header, const std::vector<std::string>& strings,
                 const int (&fds)[request_fds]);

// Supervisor side: false when the host closed the socket (or sent something
// that is not a request).
bool receive_request(int socket, Request& request);

// Closes the descriptors that came with the request.
void close_request_fds(Request& request);

enum class ReportKind : int32_t {
    started = 1,        // value: the script's process id
    setup_failed = 2,   // value: errno; preparing the script's process failed
    start_failed = 3,   // value: errno; the program could not be executed
    out_of_memory = 4,  // the memory cgroup killed a process of the run
    ended = 5,          // value: the script's wait status; every process of the run is gone
    stopped = 6,        // stopped on request; every process of the run is gone
    warm_unavailable = 7,  // value: WarmUnavailable; the run goes on started from nothing
    layer_missing = 8,     // value: a sandbox layer's index << 16 | why (an errno, 1000 + the Landlock ABI
                           // when it is too old, 0 when a test made it missing); the run goes on without it
    layer_refused = 9,     // value: as for layer_missing; VELTO_CODE_SANDBOX=strict refuses the run
};

// A layer_missing or layer_refused value.
constexpr int32_t layer_report(int index, int why) { return int32_t((index << 16) | (why & 0xffff)); }

// Why a warm run was started from nothing after all.
enum class WarmUnavailable : int32_t {
    not_started = 1,  // the worker's process could not be made
    ended = 2,        // the worker ended before it was ready, or while it was handed the run
    no_answer = 3,    // the worker did not answer in time
};

struct Report {
    ReportKind kind;
    int32_t value;
};

}  // namespace velto::isolation
