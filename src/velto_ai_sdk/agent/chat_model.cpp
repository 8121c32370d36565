// The chat model, built from the settings that the account service holds
// for the user's account key. Nothing is cached: each agent asks anew.
#include "velto_ai_sdk/agent/agent.h"

namespace velto::agent {

namespace {

using namespace pybind11::literals;

py::object create_chat_openai_instance_body(const frame::Arguments& call) {
    py::object client = call.call_global("VeltoAPIHandler", "velto_api_key"_a = call[0]);
    py::object settings = client.attr("get_openai_data")();
    py::object model_name = settings.attr("get")("model_name");
    py::object temperature = settings.attr("get")("temperature", 1);
    py::object api_key = settings.attr("get")("api_key");
    py::object llm = call.call_global("ChatOpenAI", "openai_api_key"_a = api_key, "model"_a = model_name,
                                      "temperature"_a = temperature);
    call.print("LLM is Ready!");
    return llm;
}

}  // namespace

const frame::FunctionDef create_chat_openai_instance =
    frame::function<create_chat_openai_instance_body>("create_chat_openai_instance", {"velto_api_key"});

}  // namespace velto::agent
