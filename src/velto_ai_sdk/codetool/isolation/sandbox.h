// The sandbox of a code run: the layers of landlock.h, seccomp.h and
// namespaces.h, chosen by the host's settings (VELTO_CODE_SANDBOX: off,
// auto or strict; VELTO_CODE_NETWORK), prepared by the supervisor for each
// run and entered by the run's process before the script's first line:
// the cold run's process before it executes the interpreter, the warm
// run's process (forked from the warm worker) through the small library
// that sandbox_entry.cpp makes of this.
//
// Entering, in this order: the namespaces; every capability dropped (so
// that root, too, is only the owner of root's files) and no_new_privs set
// (nothing the run executes gains any); the Landlock ruleset, with the
// run's own /proc entries and its private /dev/shm added; the seccomp
// filter, last, as it refuses calls the steps before make.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <string>
#include <vector>

#include "velto_ai_sdk/codetool/isolation/landlock.h"

namespace velto::isolation::sandbox {

enum class Mode : uint32_t { off = 0, automatic = 1, strict = 2 };

// The layers, as bits; their order is their index.
enum Layer : uint32_t {
    landlock_files = 1u << 0,
    landlock_network = 1u << 1,  // TCP rules: Landlock ABI 4
    landlock_scopes = 1u << 2,   // signals and abstract sockets: Landlock ABI 6
    seccomp_filter = 1u << 3,
    namespaces_layer = 1u << 4,
};
constexpr int layer_count = 5;
constexpr uint32_t all_layers = (1u << layer_count) - 1;

// "landlock", "landlock-network", "landlock-scopes", "seccomp", "namespaces":
// the names VELTO_CODE_SANDBOX's messages and the tests use.
const char* layer_name(int index);
// What the layer does, for the messages and `velto-ai check`.
const char* layer_purpose(int index);

// What this kernel offers, tried for real (a Landlock ruleset made, a
// filter taken, the namespaces made). `errors[i]` is 0 for a layer that is
// there, else the errno that says why not.
struct Findings {
    int landlock_abi = 0;
    int errors[layer_count] = {};
    uint32_t present() const;
};
Findings probe();

// What a run's process is given to enter the sandbox: plain data (sent as
// bytes to the warm worker) and three descriptors.
constexpr int most_filter_instructions = 160;
struct KitData {
    uint32_t layers = 0;     // the Layer bits to enter
    uint32_t network = 0;    // lifted: the network namespace is not joined
    uint64_t handled = 0;    // the Landlock rights the ruleset handles
    uint32_t filter_length = 0;
    uint32_t reserved = 0;
    sock_filter filter[most_filter_instructions];
};
struct KitFds {
    int ruleset = -1;
    int user_ns = -1;
    int net_ns = -1;
};

// Enters the sandbox in the calling process (with one thread). Returns 0
// or the errno of the step that failed. Async-signal-safe.
int enter(const KitData& kit, const KitFds& fds);

// What one run asks for.
struct RunPolicy {
    Mode mode = Mode::off;
    bool network = false;             // VELTO_CODE_NETWORK=1
    uint32_t made_missing = 0;        // layers a test says to count as missing
    // HOME and TMPDIR: the run's own /dev/shm, or where there is none this
    // directory, made (mode 0700) for the run.
    std::string private_dir;
    std::string script;               // read only
    std::vector<std::string> reads;   // read (and run programs from) beneath
    std::vector<std::string> writes;  // anything beneath
};

// The supervisor's side: what it finds once, and a kit for each run.
class Preparer {
public:
    Preparer() = default;
    Preparer(const Preparer&) = delete;
    Preparer& operator=(const Preparer&) = delete;
    ~Preparer();

    struct Prepared {
        KitData data;
        KitFds fds;              // the ruleset is the caller's to close
        uint32_t missing = 0;    // layers the run goes without
        int errors[layer_count] = {};  // why, for each missing one (0: made missing)
        int refused = -1;        // strict: the index of a missing layer, and no kit
        int error = 0;           // the kit could not be made: errno
        std::string home;        // HOME and TMPDIR; empty without a sandbox
        bool made_private_dir = false;
    };
    Prepared prepare(const RunPolicy& policy);

    // Between runs: makes the next run's ruleset ahead, with the rules that
    // do not change from run to run (some 200 here, most for /etc: a
    // millisecond or two), as the last run had them.
    void prepare_ahead();

private:
    void find_once();
    int build_ruleset(const RunPolicy& policy, uint32_t layers, Prepared& prepared);
    // A ruleset with the rules every run has; -errno when the kernel refuses.
    int system_ruleset(const landlock::Plan& plan, bool shared_shm);

    struct Ahead {
        int fd = -1;
        landlock::Plan plan{};
        bool shared_shm = false;
        bool known = false;  // the last run's plan, to make the next ahead
    };
    Ahead ahead_;

    bool found_ = false;
    Findings findings_;
    int user_ns_ = -1, net_ns_ = -1;
    std::vector<std::pair<int, uint64_t>> system_rules_;  // descriptor, rights
    std::vector<sock_filter> closed_filter_, open_filter_;
};

}  // namespace velto::isolation::sandbox
