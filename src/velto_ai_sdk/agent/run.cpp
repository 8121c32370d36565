// One question put to an agent, with its tokens and cost counted and
// reported after a successful run.
#include "velto_ai_sdk/agent/agent.h"

namespace velto::agent {

namespace {

using namespace pybind11::literals;

py::object run_agent_body(const frame::Arguments& call) {
    py::handle agent = call[0];
    py::handle velto_api_key = call[1];
    py::handle query = call[2];

    py::list chat_history;
    py::object tokens = py::none();
    py::object total_cost = py::none();
    py::object result = py::none();

    // The agent's plan sets the scope of its tool calls; whatever the run
    // leaves, the caller's comes back (agent_scope.py).
    py::object scope = py::module_::import("velto_ai_sdk.agent_scope").attr("current");
    py::object outer_scope = scope.attr("get")();
    if (!agent.is_none()) try {
        frame::with(call.call_global("get_openai_callback"), [&](py::handle usage) {
            bool answered = frame::guarded(call, "An error occurred when running the agent: ", [&] {
                py::dict input;
                input["input"] = query;
                input["chat_history"] = chat_history;
                result = agent.attr("invoke")(input);
                chat_history.append(call.call_global("HumanMessage", "content"_a = query));
                chat_history.append(call.call_global("AIMessage", "content"_a = result["output"]));
                tokens = usage.attr("total_tokens");
                total_cost = usage.attr("total_cost");
            });
            if (!answered) {
                py::dict fallback;
                fallback["output"] = "An error occurred";
                result = fallback;
            }
        });
        scope.attr("set")(outer_scope);
    } catch (...) {
        scope.attr("set")(outer_scope);
        throw;
    }

    if (!tokens.is_none() && !total_cost.is_none()) {
        call.call_global("send_user_question", velto_api_key, query, tokens, total_cost);
    }
    if (frame::is_true(result) && frame::contains(result, py::str("output"))) {
        return result["output"];
    }
    return py::str("Error: No output generated from the agent.");
}

}  // namespace

const frame::FunctionDef run_agent =
    frame::function<run_agent_body>("run_agent", {"agent", "velto_api_key", "query"});

}  // namespace velto::agent
