#include "velto_ai_sdk/codetool/sandbox_layers.h"

#include <cstring>
#include <string>

#include "velto_ai_sdk/codetool/isolation/sandbox.h"
#include "velto_ai_sdk/codetool/run_settings.h"
#include "velto_ai_sdk/frame/body.h"

namespace velto::codetool {

namespace {

namespace sandbox = isolation::sandbox;

// Why a layer is missing: an errno, 1000 plus a Landlock ABI that is too
// old, or 0 for a layer a test made missing.
std::string reason(int index, int why) {
    if (why == 0) {
        return std::string("made missing by ") + made_missing_variable;
    }
    if (why >= 1000) {
        return "this kernel's Landlock is ABI " + std::to_string(why - 1000) + "; this needs ABI " +
               (index == 1 ? "4" : "6");
    }
    std::string text = strerror(why);
    if (index <= 2 && why == EOPNOTSUPP) {
        text += ": Landlock is turned off (the kernel's lsm= boot setting)";
    } else if (index <= 2 && why == ENOSYS) {
        text += ": this kernel has no Landlock";
    } else if (index == 4 && (why == EPERM || why == ENOSPC || why == EACCES)) {
        text += ": this kernel lets this user make no user namespace";
    }
    return text;
}

int layer_of(int32_t report) { return report >> 16; }
int why_of(int32_t report) { return report & 0xffff; }

uint32_t noticed_layers = 0;

py::object sandbox_layers_body(const frame::Arguments&) {
    sandbox::Findings findings;
    {
        py::gil_scoped_release unlocked;
        findings = sandbox::probe();
    }
    py::list layers;
    for (int index = 0; index < sandbox::layer_count; ++index) {
        int why = findings.errors[index];
        py::object text = why == 0 ? py::object(py::none()) : py::object(py::str(reason(index, why)));
        layers.append(py::make_tuple(sandbox::layer_name(index), sandbox::layer_purpose(index), why == 0, text));
    }
    return layers;
}

}  // namespace

void notice_missing_layers(const std::vector<int32_t>& reports) {
    for (int32_t report : reports) {
        int index = layer_of(report);
        if (index < 0 || index >= sandbox::layer_count || (noticed_layers & (1u << index)) != 0) {
            continue;
        }
        noticed_layers |= 1u << index;
        PySys_WriteStderr("velto_ai_sdk: the code runner's sandbox goes without %s (%s): %s. Scripts run without "
                          "it; %s=strict refuses them instead.\n",
                          sandbox::layer_name(index), sandbox::layer_purpose(index),
                          reason(index, why_of(report)).c_str(), sandbox_variable);
    }
}

py::str refusal_text(int32_t report) {
    int index = layer_of(report);
    return py::str("The code runner's sandbox lacks {} ({}): {}. {}=strict refuses to run a script without it.\n")
        .format(sandbox::layer_name(index), sandbox::layer_purpose(index), reason(index, why_of(report)),
                sandbox_variable);
}

const frame::FunctionDef sandbox_layers = frame::function<sandbox_layers_body>("_sandbox_layers", {});

}  // namespace velto::codetool
