#include "velto_ai_sdk/codetool/run_sandbox.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velto_ai_sdk/codetool/isolation/removal.h"
#include "velto_ai_sdk/codetool/isolation/sandbox.h"
#include "velto_ai_sdk/codetool/supervisor_process.h"
#include "velto_ai_sdk/frame/body.h"

namespace velto::codetool {

namespace {

using namespace pybind11::literals;

// Imports a font list of every font on the system; it takes seconds.
constexpr const char* font_cache_script = "import matplotlib.font_manager";
constexpr double font_cache_limit_seconds = 300;

std::string parent(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char directory[PATH_MAX];
    return getcwd(directory, sizeof directory) != nullptr ? std::string(directory) + "/" + path : path;
}

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// A virtual environment's directory, or "" when the interpreter is not in
// one.
std::string environment_of(const std::string& program) {
    std::string prefix = parent(parent(absolute(program)));
    return prefix != "/" && exists(prefix + "/pyvenv.cfg") ? prefix : "";
}

// The installation an interpreter comes from: what it reads at start (its
// standard library, its shared library). Never "/".
void add_installation(std::vector<std::string>& reads, const std::string& interpreter) {
    std::string prefix = parent(parent(interpreter));
    if (prefix != "/" && prefix != ".") {
        reads.push_back(prefix);
    }
}

void add_interpreter(std::vector<std::string>& reads, const std::string& program, const std::string& environment) {
    if (!environment.empty()) {
        reads.push_back(environment);
        // Its base interpreter, as pyvenv.cfg's "home" names its directory.
        std::ifstream configuration(environment + "/pyvenv.cfg");
        std::string line;
        while (std::getline(configuration, line)) {
            if (line.compare(0, 4, "home") == 0 && line.find('=') != std::string::npos) {
                std::string home = line.substr(line.find('=') + 1);
                home.erase(0, home.find_first_not_of(" \t"));
                home.erase(home.find_last_not_of(" \t\r") + 1);
                add_installation(reads, home + "/python");
            }
        }
    }
    char resolved[PATH_MAX];
    if (realpath(absolute(program).c_str(), resolved) != nullptr) {
        add_installation(reads, resolved);
    }
}

std::string text_of(py::handle path) { return py::bytes(py::module_::import("os").attr("fsencode")(path)); }

void add_all(std::vector<std::string>& into, py::handle paths) {
    for (py::handle path : paths) {
        into.push_back(text_of(path));
    }
}

// The agent's paths, when one of its tools runs the script.
void add_agent_paths(RunSandbox& sandbox) {
    py::object modules = py::module_::import("sys").attr("modules");
    py::object scope = modules.attr("get")("velto_ai_sdk.agent_scope");
    if (scope.is_none()) {
        return;
    }
    py::tuple paths = scope.attr("code_run_paths")();
    add_all(sandbox.reads, paths[0]);
    add_all(sandbox.writes, paths[1]);
}

// The directories packages are imported from: pip changes them when it
// installs, upgrades or removes one.
std::string package_stamp(const std::string& environment) {
    py::list directories = py::module_::import("glob").attr("glob")(environment + "/lib/python*/site-packages");
    std::string stamp;
    for (py::handle directory : directories) {
        struct stat info;
        if (stat(text_of(directory).c_str(), &info) == 0) {
            stamp += std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + " ";
        }
    }
    return stamp;
}

// matplotlib's font cache for the environment, made (outside any sandbox:
// only the environment's own packages run) when the packages changed since
// it was last made. A run reads it; none can write it.
std::string font_cache(const std::string& program, const std::string& environment,
                       const std::vector<std::string>& run_environment) {
    std::string cache = environment + "/.velto-cache/matplotlib";
    std::string stamp_path = cache + "/velto-packages";
    std::string stamp = package_stamp(environment);
    std::ifstream stamp_file(stamp_path);
    std::string made;
    std::getline(stamp_file, made);
    if (exists(cache) && made == stamp) {
        return cache;
    }
    py::module_ os = py::module_::import("os");
    os.attr("makedirs")(cache, "mode"_a = 0755, "exist_ok"_a = true);
    py::dict variables;
    for (const std::string& entry : run_environment) {
        size_t equals = entry.find('=');
        variables[py::bytes(entry.substr(0, equals))] = py::bytes(entry.substr(equals + 1));
    }
    variables[py::bytes("MPLCONFIGDIR")] = py::bytes(cache);
    py::module_ subprocess = py::module_::import("subprocess");
    try {
        subprocess.attr("run")(py::make_tuple(py::bytes(program), "-c", font_cache_script), "env"_a = variables,
                               "stdin"_a = subprocess.attr("DEVNULL"), "stdout"_a = subprocess.attr("DEVNULL"),
                               "stderr"_a = subprocess.attr("DEVNULL"), "cwd"_a = "/",
                               "timeout"_a = font_cache_limit_seconds);
    } catch (py::error_already_set& error) {
        // A cache left unmade costs the runs time, not their result.
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
    }
    std::ofstream(stamp_path) << stamp << "\n";
    return cache;
}

// Where the run's private directory is made when it has no /dev/shm of
// its own: a new name in the interpreter's temporary directory, which the
// supervisor makes (and removes, with the host gone too).
std::string private_directory(const frame::Arguments& call) {
    unsigned char random[12];
    if (getrandom(random, sizeof random, 0) != ssize_t(sizeof random)) {
        raise_os_error(errno);
    }
    std::string name = text_of(call.global("tempfile").attr("gettempdir")()) + "/velto-run-";
    for (unsigned char byte : random) {
        name += "0123456789abcdef"[byte >> 4];
        name += "0123456789abcdef"[byte & 15];
    }
    return name;
}

}  // namespace

std::vector<std::string> environment_additions(const std::string& program,
                                               const std::vector<std::string>& environment) {
    std::string venv = environment_of(program);
    for (const std::string& entry : environment) {
        if (entry.compare(0, 13, "MPLCONFIGDIR=") == 0) {
            return {};
        }
    }
    if (venv.empty()) {
        return {};
    }
    return {"MPLCONFIGDIR=" + font_cache(program, venv, environment)};
}

RunSandbox run_sandbox(const frame::Arguments& call, const std::string& program, const RunSettings& settings,
                       const std::vector<std::string>& environment) {
    RunSandbox sandbox;
    // With or without the sandbox, so that a warm worker serves both.
    sandbox.environment = environment_additions(program, environment);
    if (settings.sandbox == uint32_t(isolation::sandbox::Mode::off)) {
        return sandbox;
    }
    add_interpreter(sandbox.reads, program, environment_of(program));
    add_agent_paths(sandbox);
    add_all(sandbox.reads, settings.read_paths);
    add_all(sandbox.writes, settings.write_paths);
    sandbox.private_dir = private_directory(call);
    return sandbox;
}

void remove_private_dir(const RunSandbox& sandbox) noexcept {
    if (!sandbox.private_dir.empty()) {
        isolation::remove_tree(sandbox.private_dir.c_str());
    }
}

}  // namespace velto::codetool
