#include "velto_ai_sdk/codetool/isolation/sandbox.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <sys/stat.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "velto_ai_sdk/codetool/isolation/landlock.h"
#include "velto_ai_sdk/codetool/isolation/namespaces.h"
#include "velto_ai_sdk/codetool/isolation/seccomp.h"

namespace velto::isolation::sandbox {

namespace {

const char* const names[layer_count] = {"landlock", "landlock-network", "landlock-scopes", "seccomp", "namespaces"};
const char* const purposes[layer_count] = {
    "Landlock file rules: reads and writes only where allowed",
    "Landlock TCP rules: no TCP connection or listening socket (Landlock ABI 4)",
    "Landlock scopes: no signal to, and no abstract socket of, a process outside the run (Landlock ABI 6)",
    "seccomp filter: no UDP, raw or packet socket, no connection to a Unix socket, no io_uring, ptrace or "
    "process_vm_*",
    "user and network namespaces: no network device at all, a private /dev/shm",
};

// Landlock layers missing because the kernel's ABI is too old carry this
// plus the ABI as their error.
constexpr int old_abi = 1000;

// What every interpreter reads, beside its own installation.
const char* const system_directories[] = {"/usr", "/lib", "/lib32", "/lib64", "/libx32", "/bin", "/sbin",
                                          "/sys/devices/system/cpu"};
// System-wide facts the numerical libraries read (processors, memory, the
// CPU quota); the run's own /proc entries are added in its process.
const char* const system_files[] = {"/proc/cpuinfo",    "/proc/meminfo",          "/proc/stat",
                                    "/proc/loadavg",    "/proc/uptime",           "/proc/version",
                                    "/proc/filesystems", "/sys/fs/cgroup/cpu.max", "/sys/fs/cgroup/cpu/cpu.cfs_quota_us",
                                    "/sys/fs/cgroup/cpu/cpu.cfs_period_us"};
const char* const devices[] = {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"};

int drop_capabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capset, &header, none) == 0 ? 0 : errno;
}

// In the run's process: its own /proc entries, and the /dev/shm its mount
// namespace has.
int add_own_rules(int ruleset, uint64_t handled, bool own_shm) {
    int proc = open("/proc/self", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        return errno;
    }
    int error = landlock::add_rule(ruleset, proc, landlock::read_file | landlock::read_dir, handled);
    close(proc);
    if (error != 0 || !own_shm) {
        return error;
    }
    int shm = open("/dev/shm", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (shm < 0) {
        return errno == ENOENT ? 0 : errno;
    }
    error = landlock::add_rule(ruleset, shm, landlock::everything, handled);
    close(shm);
    return error;
}

int open_path(const char* path) { return open(path, O_PATH | O_CLOEXEC); }

}  // namespace

const char* layer_name(int index) { return index >= 0 && index < layer_count ? names[index] : "?"; }
const char* layer_purpose(int index) { return index >= 0 && index < layer_count ? purposes[index] : "?"; }

uint32_t Findings::present() const {
    uint32_t layers = 0;
    for (int index = 0; index < layer_count; ++index) {
        layers |= errors[index] == 0 ? 1u << index : 0;
    }
    return layers;
}

namespace {

Findings find(namespaces::Shared* keep) {
    Findings findings;
    int abi = landlock::abi();
    findings.landlock_abi = abi > 0 ? abi : 0;
    if (abi > 0) {
        // Tried for real: a ruleset the kernel accepts.
        landlock::Ruleset ruleset(landlock::Plan{abi, abi >= 4, abi >= 6, abi >= 6});
        abi = ruleset.fd() >= 0 ? abi : ruleset.fd();
    }
    int landlock_error = abi > 0 ? 0 : -abi;
    findings.errors[0] = landlock_error;
    findings.errors[1] = landlock_error != 0 ? landlock_error : abi < 4 ? old_abi + abi : 0;
    findings.errors[2] = landlock_error != 0 ? landlock_error : abi < 6 ? old_abi + abi : 0;
    findings.errors[3] = seccomp::available();
    namespaces::Shared shared;
    findings.errors[4] = namespaces::make(shared);
    if (keep != nullptr) {
        *keep = shared;
    } else {
        namespaces::release(shared);
    }
    return findings;
}

}  // namespace

Findings probe() { return find(nullptr); }

int enter(const KitData& kit, const KitFds& fds) {
    bool own_shm = (kit.layers & namespaces_layer) != 0;
    if (own_shm) {
        if (int error = namespaces::enter(fds.user_ns, kit.network != 0 ? -1 : fds.net_ns)) {
            return error;
        }
    }
    if (int error = drop_capabilities()) {
        return error;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return errno;
    }
    if ((kit.layers & landlock_files) != 0) {
        if (int error = add_own_rules(fds.ruleset, kit.handled, own_shm)) {
            return error;
        }
        if (int error = landlock::restrict_self(fds.ruleset)) {
            return error;
        }
    }
    if ((kit.layers & seccomp_filter) != 0 && kit.filter_length > 0) {
        if (kit.filter_length > unsigned(most_filter_instructions)) {
            return EINVAL;
        }
        if (int error = seccomp::install(kit.filter, (unsigned short)kit.filter_length)) {
            return error;
        }
    }
    return 0;
}

Preparer::~Preparer() {
    if (ahead_.fd >= 0) {
        close(ahead_.fd);
    }
    for (auto& rule : system_rules_) {
        close(rule.first);
    }
    namespaces::Shared shared{user_ns_, net_ns_};
    namespaces::release(shared);
}

void Preparer::find_once() {
    if (found_) {
        return;
    }
    found_ = true;
    namespaces::Shared shared;
    findings_ = find(&shared);
    user_ns_ = shared.user_fd;
    net_ns_ = shared.net_fd;
    if (findings_.errors[0] == 0) {
        // Each with the rights that suit it, worked out once.
        auto keep = [this](int fd, uint64_t access) {
            struct stat info;
            if (fd >= 0 && fstat(fd, &info) == 0) {
                system_rules_.emplace_back(fd, S_ISDIR(info.st_mode) ? access : landlock::for_files(access));
            } else if (fd >= 0) {
                close(fd);
            }
        };
        for (const char* path : system_directories) {
            keep(open_path(path), landlock::reading);
        }
        for (const char* path : system_files) {
            keep(open_path(path), landlock::read_file);
        }
        for (const char* path : devices) {
            keep(open_path(path), landlock::device);
        }
        std::vector<int> etc;
        landlock::collect_world_readable("/etc", etc);
        for (int fd : etc) {
            keep(fd, landlock::reading);
        }
    }
    if (findings_.errors[3] == 0) {
        closed_filter_ = seccomp::filter(false);
        open_filter_ = seccomp::filter(true);
    }
}

int Preparer::system_ruleset(const landlock::Plan& plan, bool shared_shm) {
    if (ahead_.fd >= 0 && ahead_.plan == plan && ahead_.shared_shm == shared_shm) {
        int fd = ahead_.fd;
        ahead_.fd = -1;
        return fd;
    }
    landlock::Ruleset ruleset(plan);
    if (ruleset.fd() < 0) {
        return ruleset.fd();
    }
    for (const auto& rule : system_rules_) {
        if (int error = ruleset.allow_as_is(rule.first, rule.second)) {
            return -error;
        }
    }
    // Without a /dev/shm of its own, the run shares the system's: its
    // semaphores live there.
    if (shared_shm) {
        if (int error = ruleset.allow(std::string("/dev/shm"), landlock::everything)) {
            return -error;
        }
    }
    return ruleset.release();
}

void Preparer::prepare_ahead() {
    if (ahead_.known && ahead_.fd < 0) {
        int fd = system_ruleset(ahead_.plan, ahead_.shared_shm);
        ahead_.fd = fd >= 0 ? fd : -1;
    }
}

int Preparer::build_ruleset(const RunPolicy& policy, uint32_t layers, Prepared& prepared) {
    landlock::Plan plan{findings_.landlock_abi, (layers & landlock_network) != 0 && !policy.network,
                        (layers & landlock_scopes) != 0, (layers & landlock_scopes) != 0 && !policy.network};
    bool shared_shm = (layers & namespaces_layer) == 0;
    int fd = system_ruleset(plan, shared_shm);
    if (fd < 0) {
        return -fd;
    }
    // The next one ahead is made for this run's plan; one made for another
    // plan (and not taken) goes.
    if (ahead_.fd >= 0) {
        close(ahead_.fd);
        ahead_.fd = -1;
    }
    ahead_.plan = plan;
    ahead_.shared_shm = shared_shm;
    ahead_.known = true;
    landlock::Ruleset ruleset(fd, findings_.landlock_abi);
    for (const std::string& path : policy.reads) {
        if (int error = ruleset.allow(path, landlock::reading)) {
            return error;
        }
    }
    for (const std::string& path : policy.writes) {
        if (int error = ruleset.allow(path, landlock::everything)) {
            return error;
        }
    }
    if (int error = ruleset.allow(policy.script, landlock::read_file)) {
        return error;
    }
    if (prepared.made_private_dir) {
        if (int error = ruleset.allow(prepared.home, landlock::everything)) {
            return error;
        }
    }
    prepared.data.handled = landlock::handled_rights(findings_.landlock_abi);
    prepared.fds.ruleset = ruleset.release();
    return 0;
}

Preparer::Prepared Preparer::prepare(const RunPolicy& policy) {
    Prepared prepared;
    if (policy.mode == Mode::off) {
        return prepared;
    }
    find_once();
    for (int index = 0; index < layer_count; ++index) {
        bool made_missing = (policy.made_missing & (1u << index)) != 0;
        if (findings_.errors[index] != 0 || made_missing) {
            prepared.missing |= 1u << index;
            prepared.errors[index] = made_missing ? 0 : findings_.errors[index];
        }
    }
    // The network layers lifted are not missing.
    if (policy.network) {
        prepared.missing &= ~landlock_network;
    }
    if (policy.mode == Mode::strict && prepared.missing != 0) {
        for (int index = 0; index < layer_count && prepared.refused < 0; ++index) {
            if ((prepared.missing & (1u << index)) != 0) {
                prepared.refused = index;
            }
        }
        return prepared;
    }
    uint32_t layers = all_layers & ~prepared.missing;
    if ((layers & landlock_files) == 0) {
        // The TCP rules and scopes come with a ruleset, or not at all.
        for (int index : {1, 2}) {
            if ((layers & (1u << index)) != 0 && !(index == 1 && policy.network)) {
                prepared.missing |= 1u << index;
                prepared.errors[index] = prepared.errors[0];
            }
        }
        layers &= ~(landlock_network | landlock_scopes);
    }
    prepared.data.layers = layers;
    prepared.data.network = policy.network ? 1 : 0;
    // A tmpfs of the run's own mount namespace costs nothing to make and
    // goes with the run; a directory on disk costs a millisecond or two.
    if ((layers & namespaces_layer) != 0) {
        prepared.home = "/dev/shm";
    } else {
        if (mkdir(policy.private_dir.c_str(), 0700) != 0) {
            prepared.error = errno;
            return prepared;
        }
        prepared.home = policy.private_dir;
        prepared.made_private_dir = true;
    }
    if ((layers & landlock_files) != 0) {
        if (int error = build_ruleset(policy, layers, prepared)) {
            prepared.error = error;
            return prepared;
        }
    }
    if ((layers & seccomp_filter) != 0) {
        const std::vector<sock_filter>& filter = policy.network ? open_filter_ : closed_filter_;
        if (filter.size() > size_t(most_filter_instructions)) {
            prepared.error = E2BIG;
            return prepared;
        }
        memcpy(prepared.data.filter, filter.data(), filter.size() * sizeof(sock_filter));
        prepared.data.filter_length = uint32_t(filter.size());
    }
    if ((layers & namespaces_layer) != 0) {
        prepared.fds.user_ns = user_ns_;
        prepared.fds.net_ns = net_ns_;
    }
    return prepared;
}

}  // namespace velto::isolation::sandbox
