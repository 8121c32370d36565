#include "velto_ai_sdk/codetool/isolation/cgroups.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace velto::isolation {

namespace {

struct Hierarchy {
    std::string directory;  // the host's own cgroup in it
    bool unified = false;   // cgroup v2
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

// Mount points in mountinfo have spaces and the like as octal escapes.
std::string unescaped(const std::string& text) {
    std::string result;
    for (size_t index = 0; index < text.size(); ++index) {
        bool escape = text[index] == '\\' && index + 3 < text.size();
        for (size_t digit = 1; escape && digit <= 3; ++digit) {
            escape = text[index + digit] >= '0' && text[index + digit] <= '7';
        }
        if (escape) {
            result += char(std::stoi(text.substr(index + 1, 3), nullptr, 8));
            index += 3;
        } else {
            result += text[index];
        }
    }
    return result;
}

bool lists(const std::string& comma_separated, const std::string& name) {
    for (const std::string& item : split(comma_separated, ',')) {
        if (item == name) {
            return true;
        }
    }
    return false;
}

// The host's cgroup path in the v1 hierarchy of `controller` (or in v2 for
// an empty controller), from /proc/self/cgroup.
bool own_path(const std::string& controller, std::string& path) {
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    while (std::getline(file, line)) {
        size_t first = line.find(':');
        size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        std::string controllers = line.substr(first + 1, second - first - 1);
        bool matches = controller.empty() ? line.compare(0, first, "0") == 0 && controllers.empty()
                                          : lists(controllers, controller);
        if (matches) {
            path = line.substr(second + 1);
            return true;
        }
    }
    return false;
}

// Where the host's cgroup of `controller` lies in the file system: a v1
// hierarchy with that controller first, else the v2 one.
bool find_hierarchy(const std::string& controller, Hierarchy& found) {
    std::ifstream file("/proc/self/mountinfo");
    std::string line;
    while (std::getline(file, line)) {
        size_t dash = line.find(" - ");
        if (dash == std::string::npos) {
            continue;
        }
        std::vector<std::string> fields = split(line.substr(0, dash), ' ');
        std::vector<std::string> filesystem = split(line.substr(dash + 3), ' ');
        if (fields.size() < 5 || filesystem.size() < 3) {
            continue;
        }
        bool v1 = filesystem[0] == "cgroup" && lists(filesystem[2], controller);
        bool v2 = filesystem[0] == "cgroup2";
        std::string path;
        if (!(v1 || v2) || !own_path(v1 ? controller : "", path)) {
            continue;
        }
        // The mount shows the hierarchy from `root` down.
        std::string root = unescaped(fields[3]);
        if (root != "/") {
            if (path.compare(0, root.size(), root) != 0) {
                continue;
            }
            path = path.substr(root.size());
        }
        Hierarchy candidate{unescaped(fields[4]) + (path == "/" ? "" : path), v2};
        if (v1) {
            found = candidate;
            return true;
        }
        found = candidate;  // v2: used unless a v1 hierarchy turns up later
    }
    return !found.directory.empty();
}

int write_text(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int error = write(fd, text.data(), text.size()) == ssize_t(text.size()) ? 0 : errno;
    close(fd);
    return error;
}

bool exists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

std::string read_text(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void pause_briefly() {
    timespec pause{0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

std::string run_name() {
    static std::atomic<unsigned long> runs{0};
    return "velto-code-" + std::to_string(getpid()) + "-" + std::to_string(++runs);
}

// A new cgroup `name` under `hierarchy` in which `limit_file` can be
// written (a v2 cgroup has it only when the host's cgroup hands the
// controller down), or an empty string.
std::string make_cgroup(const Hierarchy& hierarchy, const std::string& name, const char* limit_file,
                        const std::string& existing) {
    std::string directory = hierarchy.directory + "/" + name;
    if (directory == existing) {
        return exists(directory + "/" + limit_file) ? directory : "";
    }
    if (mkdir(directory.c_str(), 0755) != 0) {
        return "";
    }
    if (!exists(directory + "/" + limit_file)) {
        rmdir(directory.c_str());
        return "";
    }
    return directory;
}

// v2 names the memory limit memory.max, v1 memory.limit_in_bytes.
const char* memory_limit_file(bool unified) { return unified ? "memory.max" : "memory.limit_in_bytes"; }

}  // namespace

RunCgroups make_run_cgroups() {
    // Where the host's cgroups are does not change while it runs, except
    // in a forked child that moves itself.
    static std::mutex guard;
    static pid_t looked_up_by = 0;
    static Hierarchy pids, memory;
    static bool has_pids = false, has_memory = false;
    std::lock_guard<std::mutex> lock(guard);
    if (looked_up_by != getpid()) {
        has_pids = find_hierarchy("pids", pids);
        has_memory = find_hierarchy("memory", memory);
        looked_up_by = getpid();
    }
    RunCgroups cgroups;
    std::string name = run_name();
    if (has_pids) {
        cgroups.pids = make_cgroup(pids, name, "pids.max", "");
    }
    if (has_memory) {
        cgroups.memory = make_cgroup(memory, name, memory_limit_file(memory.unified), cgroups.pids);
    }
    return cgroups;
}

int limit_run_cgroups(const RunCgroups& cgroups, long long max_tasks, long long memory_bytes) {
    if (!cgroups.pids.empty()) {
        std::string tasks = max_tasks < 0 ? "max" : std::to_string(max_tasks);
        if (int error = write_text(cgroups.pids + "/pids.max", tasks)) {
            return error;
        }
    }
    if (!cgroups.memory.empty()) {
        bool unified = exists(cgroups.memory + "/memory.max");
        std::string file = cgroups.memory + "/" + memory_limit_file(unified);
        if (int error = write_text(file, std::to_string(memory_bytes))) {
            return error;
        }
    }
    return 0;
}

std::vector<std::string> RunCgroups::directories() const {
    std::vector<std::string> found;
    for (const std::string& directory : {pids, memory}) {
        if (!directory.empty() && (found.empty() || found[0] != directory)) {
            found.push_back(directory);
        }
    }
    return found;
}

int join_cgroups(const RunCgroups& cgroups) {
    for (const std::string& directory : cgroups.directories()) {
        if (int error = write_text(directory + "/cgroup.procs", std::to_string(getpid()))) {
            return error;
        }
    }
    return 0;
}

void leave_cgroups(const RunCgroups& cgroups) {
    for (const std::string& directory : cgroups.directories()) {
        std::string parent = directory.substr(0, directory.rfind('/'));
        write_text(parent + "/cgroup.procs", std::to_string(getpid()));
    }
    remove_cgroups(cgroups);
}

void kill_members(const RunCgroups& cgroups) {
    for (const std::string& directory : cgroups.directories()) {
        for (int round = 0; round < 200; ++round) {
            std::stringstream members(read_text(directory + "/cgroup.procs"));
            long pid = 0;
            bool any = false;
            while (members >> pid) {
                kill(pid_t(pid), SIGKILL);
                any = true;
            }
            if (!any) {
                break;
            }
            pause_briefly();
        }
    }
}

// A cgroup whose last process has just been reaped can stay busy for a
// moment.
void remove_cgroups(const RunCgroups& cgroups) {
    for (const std::string& directory : cgroups.directories()) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (rmdir(directory.c_str()) == 0 || errno != EBUSY) {
                break;
            }
            pause_briefly();
        }
    }
}

long long out_of_memory_kills(const RunCgroups& cgroups) {
    if (cgroups.memory.empty()) {
        return 0;
    }
    // v2 counts in memory.events, v1 in memory.oom_control.
    for (const char* file : {"/memory.events", "/memory.oom_control"}) {
        std::stringstream text(read_text(cgroups.memory + file));
        std::string key;
        long long value = 0;
        while (text >> key >> value) {
            if (key == "oom_kill") {
                return value;
            }
        }
    }
    return 0;
}

}  // namespace velto::isolation
