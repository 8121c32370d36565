#include "velto_ai_sdk/codetool/supervised_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "velto_ai_sdk/codetool/bounded_text.h"
#include "velto_ai_sdk/codetool/isolation/protocol.h"
#include "velto_ai_sdk/codetool/supervisor_process.h"

namespace velto::codetool {

namespace {

using Clock = std::chrono::steady_clock;
using isolation::Report;
using isolation::ReportKind;

constexpr size_t chunk_size = 64 * 1024;
// The wait looks at the interpreter's signal flags this often, so that an
// interrupt ends it even when the signal went to another thread.
constexpr int signal_check_ms = 100;
// After the supervisor's last report every process of the run is gone; a
// pipe still open after this long was handed to something outside the run.
constexpr auto drain_grace = std::chrono::seconds(1);
// How long the supervisor may take to end everything after the stop.
constexpr auto stop_grace = std::chrono::seconds(10);

// One run on a supervisor: the script's output pipes, the reports, the
// clock.
class Run {
public:
    explicit Run(Supervisor& supervisor) : supervisor_(supervisor) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    ~Run() { finish(); }

    // Hands over the run. Returns 0, or an errno when the supervisor is no
    // longer there to take it.
    int start(const RunRequest& request);

    // Until the output is read to its end and the supervisor's last report
    // is in.
    bool reading() const { return output_.is_open() || errors_.is_open() || (!final_report_ && !lost_); }

    struct Input {
        std::string output, errors;
    };
    // Waits at most until the next moment the clock has to be looked at,
    // and reads what has come. Makes no interpreter calls: the caller
    // releases the lock.
    Input wait_for_input(Clock::time_point deadline);

    // Sends the stop when the deadline has passed, lets go of pipes held
    // beyond the run, and kills a supervisor that does not end the run
    // after the stop.
    void mind_the_clock(Clock::time_point deadline);

    // Stops the run if it is still going and waits for its last report.
    // Never fails.
    void finish() noexcept;

    // Whether the supervisor is ready for another run.
    bool left_supervisor_ready() const;

    RunOutcome outcome() const;

private:
    void stop();
    bool stop_overdue(Clock::time_point now) const;
    int milliseconds_until_next_look(Clock::time_point deadline) const;
    void read_reports();
    void end_what_is_left();

    Supervisor& supervisor_;
    Descriptor output_, errors_;
    std::string report_bytes_;
    pid_t script_ = -1;
    bool started_ = false;  // the request went through
    bool finished_ = false;
    bool final_report_ = false;
    bool lost_ = false;
    bool stop_sent_ = false;
    bool timed_out_ = false;
    RunOutcome::End end_ = RunOutcome::End::supervisor_lost;
    int status_ = 0;
    bool out_of_memory_ = false;
    isolation::WarmUnavailable warm_unavailable_ = isolation::WarmUnavailable(0);
    std::vector<int32_t> layers_missing_;
    Clock::time_point stopped_at_ = Clock::time_point::max();
    Clock::time_point drained_by_ = Clock::time_point::max();
};

int Run::start(const RunRequest& request) {
    const RunSettings& settings = request.settings;
    const RunSandbox& sandbox = request.sandbox;
    std::vector<std::string> strings = {request.program, request.script, request.worker, sandbox.private_dir};
    strings.insert(strings.end(), sandbox.reads.begin(), sandbox.reads.end());
    strings.insert(strings.end(), sandbox.writes.begin(), sandbox.writes.end());
    strings.insert(strings.end(), request.environment.begin(), request.environment.end());
    strings.insert(strings.end(), sandbox.environment.begin(), sandbox.environment.end());
    size_t size = 0;
    for (const std::string& text : strings) {
        size += text.size() + 1;
    }
    if (size > isolation::largest_request) {
        raise_os_error(E2BIG);
    }
    Descriptor cwd, output_write, errors_write;
    cwd.reset(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!cwd.is_open()) {
        raise_os_error(errno);
    }
    bool warm_up = request.mode == isolation::RunMode::warm_up;
    if (!warm_up) {
        make_pipe(output_, output_write);
        make_pipe(errors_, errors_write);
    }
    bool has_stdin = !warm_up && fcntl(0, F_GETFD) != -1;
    isolation::RequestHeader header{settings.memory_megabytes << 20,
                                    settings.max_tasks,
                                    has_stdin,
                                    request.mode,
                                    uint32_t(strings.size()),
                                    uint32_t(size),
                                    warm_up ? 0u : settings.sandbox,
                                    settings.network ? 1u : 0u,
                                    settings.made_missing,
                                    uint32_t(sandbox.reads.size()),
                                    uint32_t(sandbox.writes.size()),
                                    0};
    int fds[isolation::request_fds] = {cwd.get(), output_write.get(), errors_write.get(), has_stdin ? 0 : -1};
    int error = isolation::send_request(supervisor_.socket(), header, strings, fds);
    started_ = error == 0;
    return error;
}

bool Run::stop_overdue(Clock::time_point now) const {
    return stopped_at_ != Clock::time_point::max() && now >= stopped_at_ + stop_grace;
}

int Run::milliseconds_until_next_look(Clock::time_point deadline) const {
    Clock::time_point next = std::min(timed_out_ ? Clock::time_point::max() : deadline, drained_by_);
    if (stopped_at_ != Clock::time_point::max()) {
        next = std::min(next, stopped_at_ + stop_grace);
    }
    if (next == Clock::time_point::max()) {
        return signal_check_ms;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
    return int(std::max<long long>(0, std::min<long long>(signal_check_ms, left)));
}

Run::Input Run::wait_for_input(Clock::time_point deadline) {
    Input input;
    int reports = final_report_ || lost_ ? -1 : supervisor_.socket();
    pollfd watched[3] = {{output_.get(), POLLIN, 0}, {errors_.get(), POLLIN, 0}, {reports, POLLIN, 0}};
    if (poll(watched, 3, milliseconds_until_next_look(deadline)) <= 0) {
        return input;
    }
    Descriptor* streams[2] = {&output_, &errors_};
    std::string* texts[2] = {&input.output, &input.errors};
    for (int index = 0; index < 2; ++index) {
        if (watched[index].revents == 0) {
            continue;
        }
        texts[index]->resize(chunk_size);
        ssize_t size = read(streams[index]->get(), &(*texts[index])[0], chunk_size);
        texts[index]->resize(size > 0 ? size_t(size) : 0);
        if (size == 0 || (size < 0 && errno != EINTR && errno != EAGAIN)) {
            streams[index]->reset();
        }
    }
    if (watched[2].revents != 0) {
        read_reports();
    }
    return input;
}

// Reads what the socket has: the supervisor sends nothing more after the
// run's last report until the next request. Records may come split.
void Run::read_reports() {
    char buffer[sizeof(Report) * 8];
    ssize_t size = recv(supervisor_.socket(), buffer, sizeof buffer, 0);
    if (size < 0 && errno == EINTR) {
        return;
    }
    if (size <= 0) {
        lost_ = true;
        supervisor_.lost();
        drained_by_ = Clock::now() + drain_grace;
        end_what_is_left();
        return;
    }
    report_bytes_.append(buffer, size_t(size));
    while (!final_report_ && report_bytes_.size() >= sizeof(Report)) {
        Report report;
        memcpy(&report, report_bytes_.data(), sizeof report);
        report_bytes_.erase(0, sizeof report);
        switch (report.kind) {
            case ReportKind::started:
                script_ = pid_t(report.value);
                break;
            case ReportKind::out_of_memory:
                out_of_memory_ = true;
                break;
            case ReportKind::warm_unavailable:
                warm_unavailable_ = isolation::WarmUnavailable(report.value);
                break;
            case ReportKind::layer_missing:
                layers_missing_.push_back(report.value);
                break;
            case ReportKind::layer_refused:
            case ReportKind::setup_failed:
            case ReportKind::start_failed:
            case ReportKind::ended:
            case ReportKind::stopped:
                final_report_ = true;
                drained_by_ = Clock::now() + drain_grace;
                status_ = report.value;
                end_ = report.kind == ReportKind::setup_failed    ? RunOutcome::End::setup_failed
                       : report.kind == ReportKind::start_failed  ? RunOutcome::End::start_failed
                       : report.kind == ReportKind::ended         ? RunOutcome::End::exited
                       : report.kind == ReportKind::layer_refused ? RunOutcome::End::refused
                                                                  : RunOutcome::End::timed_out;
                break;
        }
    }
}

void Run::stop() {
    if (!stop_sent_ && !final_report_ && !lost_) {
        stop_sent_ = true;
        stopped_at_ = Clock::now();
        ssize_t ignored = ::send(supervisor_.socket(), &isolation::stop_byte, 1, MSG_NOSIGNAL);
        (void)ignored;
    }
}

void Run::mind_the_clock(Clock::time_point deadline) {
    Clock::time_point now = Clock::now();
    if (now >= deadline && !timed_out_ && !final_report_) {
        timed_out_ = true;
        stop();
    }
    if (now >= drained_by_) {
        output_.reset();
        errors_.reset();
    }
    if (stop_overdue(now) && !final_report_ && !lost_) {
        kill(supervisor_.pid(), SIGKILL);
    }
}

void Run::finish() noexcept {
    if (!started_ || finished_) {
        return;
    }
    finished_ = true;
    stop();
    output_.reset();
    errors_.reset();
    py::gil_scoped_release unlocked;
    while (!final_report_ && !lost_) {
        pollfd watched{supervisor_.socket(), POLLIN, 0};
        if (poll(&watched, 1, signal_check_ms) > 0) {
            read_reports();
        }
        if (stop_overdue(Clock::now()) && !final_report_ && !lost_) {
            kill(supervisor_.pid(), SIGKILL);
        }
    }
}

// The supervisor did not see the run to its end (the script may have killed
// it): what the host can still reach of the run goes now.
void Run::end_what_is_left() {
    if (script_ > 0) {
        kill(-script_, SIGKILL);
    }
    isolation::kill_members(supervisor_.cgroups());
}

// A stop that crossed the script's end stays unread in the socket; that
// supervisor is not used again.
bool Run::left_supervisor_ready() const {
    return final_report_ && !lost_ && (!stop_sent_ || end_ == RunOutcome::End::timed_out) &&
           end_ != RunOutcome::End::setup_failed;
}

RunOutcome Run::outcome() const {
    RunOutcome outcome;
    outcome.end = final_report_ ? end_ : timed_out_ ? RunOutcome::End::timed_out : RunOutcome::End::supervisor_lost;
    outcome.status = status_;
    outcome.out_of_memory = out_of_memory_;
    outcome.warm_unavailable = warm_unavailable_;
    outcome.layers_missing = layers_missing_;
    return outcome;
}

Clock::time_point deadline_after(double seconds) {
    auto limit = std::chrono::duration<double>(seconds);
    if (seconds <= 0 || limit >= Clock::time_point::max() - Clock::now()) {
        return Clock::time_point::max();
    }
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(limit);
}

// The run on `supervisor`, or none when the supervisor turned out to be
// gone before it took the request.
std::unique_ptr<Run> start_run(Supervisor& supervisor, const RunRequest& request) {
    auto run = std::make_unique<Run>(supervisor);
    return run->start(request) == 0 ? std::move(run) : nullptr;
}

RunOutcome run_on(std::unique_ptr<Supervisor> given_supervisor, std::unique_ptr<Run> given_run,
                  const RunRequest& request) {
    // The run ends before its supervisor, whichever way this is left.
    std::unique_ptr<Supervisor> supervisor = std::move(given_supervisor);
    std::unique_ptr<Run> run = std::move(given_run);
    long long limit = request.settings.max_output_chars;
    BoundedText output(limit, request.encoding), errors(limit, request.encoding);
    Clock::time_point deadline = deadline_after(request.settings.timeout_seconds);
    while (run->reading()) {
        Run::Input input;
        {
            py::gil_scoped_release unlocked;
            input = run->wait_for_input(deadline);
        }
        if (!input.output.empty()) {
            output.feed(input.output.data(), input.output.size());
        }
        if (!input.errors.empty()) {
            errors.feed(input.errors.data(), input.errors.size());
        }
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
        run->mind_the_clock(deadline);
    }
    run->finish();
    RunOutcome outcome = run->outcome();
    if (run->left_supervisor_ready()) {
        run.reset();
        supervisor->set_warm(request.mode != isolation::RunMode::cold);
        give_back(std::move(supervisor));
    }
    outcome.output = output.finish();
    outcome.errors = errors.finish();
    return outcome;
}

}  // namespace

// An idle supervisor may have gone away, or may fail to set its cgroups'
// limits (memory that an earlier run left in tmpfs counts against the
// memory cgroup, and a lower limit is refused): a new one takes the run
// then.
RunOutcome run_supervised(const RunRequest& request) {
    bool warm = request.mode != isolation::RunMode::cold;
    if (std::unique_ptr<Supervisor> idle = idle_supervisor(warm)) {
        if (std::unique_ptr<Run> run = start_run(*idle, request)) {
            RunOutcome outcome = run_on(std::move(idle), std::move(run), request);
            if (outcome.end != RunOutcome::End::setup_failed) {
                return outcome;
            }
        }
    }
    auto supervisor = std::make_unique<Supervisor>();
    std::unique_ptr<Run> run = start_run(*supervisor, request);
    if (!run) {
        raise_os_error(EPIPE);
    }
    return run_on(std::move(supervisor), std::move(run), request);
}

void warm_up(const RunRequest& request) { run_supervised(request); }

}  // namespace velto::codetool
