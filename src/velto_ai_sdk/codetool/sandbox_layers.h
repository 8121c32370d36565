// The sandbox's layers as the host tells of them: a layer this kernel (or
// a test) leaves out is named once per process on standard error, a run
// that VELTO_CODE_SANDBOX=strict refuses says which layer it missed, and
// velto-ai check lists them all (codetool._sandbox_layers).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "velto_ai_sdk/frame/function.h"

namespace velto::codetool {

namespace py = pybind11;

// Says, once per process for each layer, which layers the runs go without
// (layer reports, isolation/protocol.h).
void notice_missing_layers(const std::vector<int32_t>& reports);

// The text of a run refused for the missing layer `report`.
py::str refusal_text(int32_t report);

// _sandbox_layers(): [(name, purpose, present, why or None)] for each layer,
// tried on this kernel.
extern const frame::FunctionDef sandbox_layers;

}  // namespace velto::codetool
