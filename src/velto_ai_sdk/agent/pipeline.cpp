// The agent pipeline: tools, chat model and prompt composed into a runnable
// chain, driven by CustomRunnableAgent inside an AgentExecutor.
#include "velto_ai_sdk/agent/agent.h"

namespace velto::agent {

namespace {

using namespace pybind11::literals;

// The chain's first step maps the inputs that plan passes on to the three
// variables of the prompt.
py::object input_of(const frame::Arguments& call) { return call[0]["input"]; }

py::object agent_scratchpad_of(const frame::Arguments& call) {
    return call.call_global("format_to_openai_tool_messages", call[0]["intermediate_steps"]);
}

// Each call gets a new empty list: the history must never be shared.
py::object chat_history_of(const frame::Arguments& call) { return call[0].attr("get")(call.closure(), py::list()); }

const frame::FunctionDef input_function =
    frame::function<input_of>("<lambda>", {"x"}).with_qualname("create_agent.<locals>.<lambda>");
const frame::FunctionDef agent_scratchpad_function =
    frame::function<agent_scratchpad_of>("<lambda>", {"x"}).with_qualname("create_agent.<locals>.<lambda>");
const frame::FunctionDef chat_history_function =
    frame::function<chat_history_of>("<lambda>", {"x"}).with_qualname("create_agent.<locals>.<lambda>");

// `keeper`: a function that only the chain holds, which the agent's scope
// lives as long as (agent_scope.py).
py::object compose_chain(const frame::Arguments& call, py::handle memory_key, py::handle prompt_template,
                         py::handle llm_with_tools, py::object& keeper) {
    py::dict inputs;
    keeper = frame::new_function(input_function, call.globals());
    inputs["input"] = keeper;
    inputs["agent_scratchpad"] = frame::new_function(agent_scratchpad_function, call.globals());
    inputs["chat_history"] = frame::new_function(chat_history_function, call.globals(), memory_key);
    py::object agent = inputs | prompt_template;
    agent = agent | llm_with_tools;
    return agent | call.call_global("OpenAIToolsAgentOutputParser");
}

py::object create_agent_body(const frame::Arguments& call) {
    py::handle velto_api_key = call[0];
    py::handle media_path = call[1];
    py::handle engine = call[2];
    py::handle instructions = call[3];

    py::list tools = make_tools(call);
    py::object llm = call.call_global("create_chat_openai_instance", velto_api_key);
    py::str memory_key("chat_history");
    py::object prompt_template = make_prompt_template(call, engine, media_path, instructions, memory_key);
    py::object llm_with_tools = llm.attr("bind_tools")(tools);

    py::object agent_executor = py::none();
    frame::guarded(call, "An error occurred while creating the agent: ", [&] {
        py::object keeper;
        py::object agent = compose_chain(call, memory_key, prompt_template, llm_with_tools, keeper);
        // Its query tools' result files and its scripts' reach are its own.
        py::module_::import("velto_ai_sdk.agent_scope").attr("bind")(agent, keeper, media_path);
        py::object runnable_agent = call.call_global("CustomRunnableAgent", "runnable"_a = agent);
        agent_executor = call.call_global("AgentExecutor", "agent"_a = runnable_agent, "tools"_a = tools,
                                          "verbose"_a = true, "handle_parsing_errors"_a = true,
                                          "stream_runnable"_a = false);
        call.print("Agent is Ready!");
    });
    return agent_executor;
}

// One step of the agent: the chain run once, without streaming, with the
// step's callbacks.
py::object plan_body(const frame::Arguments& call) {
    py::handle self = call[0];
    py::dict inputs;
    for (auto item : call.extra_keywords()) {
        inputs[item.first] = item.second;
    }
    inputs["intermediate_steps"] = call[1];
    py::dict config;
    config["callbacks"] = call[2];
    py::object runnable = self.attr("runnable");
    // The tool calls an answer asks for run in the agent's scope, and only
    // they: it is lifted while the model thinks, so that a run that ends in
    // the model's failure leaves the caller's scope as it was.
    py::module_ scopes = py::module_::import("velto_ai_sdk.agent_scope");
    py::object scope = scopes.attr("of")(runnable);
    if (!scope.is_none()) {
        scopes.attr("after_plan")(scope, true);
    }
    py::object answer = runnable.attr("invoke")(inputs, "config"_a = config);
    if (!scope.is_none()) {
        scopes.attr("after_plan")(scope, py::hasattr(answer, "return_values"));
    }
    return answer;
}

}  // namespace

const frame::FunctionDef create_agent =
    frame::function<create_agent_body>("create_agent", {"velto_api_key", "media_path", "engine", "instructions"});

const frame::FunctionDef plan = frame::function<plan_body>("plan", {"self", "intermediate_steps", "callbacks"})
                                    .with_qualname("CustomRunnableAgent.plan")
                                    .with_extra_keywords("kwargs");

}  // namespace velto::agent
