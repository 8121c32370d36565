// velto_ai_sdk.agent: the module body. Everything the operations use is
// bound here as a module attribute and looked up at each use, so that a host
// may swap any of it.
#include "velto_ai_sdk/agent/agent.h"

namespace velto::agent {

namespace {

using namespace pybind11::literals;

// Whether `error` is python-dotenv's stack walk finding no caller file.
bool no_caller_file(py::error_already_set& error) {
    if (!error.matches(PyExc_AssertionError) && !error.matches(PyExc_AttributeError)) {
        return false;
    }
    py::handle traceback = error.trace();
    while (traceback && !py::getattr(traceback, "tb_next").is_none()) {
        traceback = py::getattr(traceback, "tb_next");
    }
    return traceback && py::str(traceback.attr("tb_frame").attr("f_code").attr("co_name")).equal(py::str("find_dotenv"));
}

// The .env file python-dotenv reads: the first one from the directory of
// the host's file up, or, for a host without a file, from the working
// directory up (as below).
py::object environment_file() {
    py::object find_dotenv = py::module_::import("dotenv").attr("find_dotenv");
    try {
        return find_dotenv();
    } catch (py::error_already_set& error) {
        if (!no_caller_file(error)) {
            throw;
        }
        return find_dotenv("usecwd"_a = true);
    }
}

// A .env file that is not UTF-8 fails python-dotenv with a UnicodeDecodeError
// that names no file. The same error, its reason naming the file, tells the
// host what to mend; the original is its cause.
[[noreturn]] void raise_naming_file(py::error_already_set& error) {
    py::object original = error.value();
    py::object reason = py::str("{} in {} (save it as UTF-8)").format(original.attr("reason"), environment_file());
    py::object mended = py::handle(PyExc_UnicodeDecodeError)(original.attr("encoding"), original.attr("object"),
                                                             original.attr("start"), original.attr("end"), reason);
    PyException_SetCause(mended.ptr(), original.release().ptr());
    frame::raise(PyExc_UnicodeDecodeError, mended);
}

// python-dotenv looks for the .env file from the directory of the file that
// called it, found by walking the stack; from here, that is the host's file
// that imported this module. A host without a file (python -c, a script
// piped in, an embedded interpreter) leaves the walk without an answer, and
// for such hosts python-dotenv's own rule is the working directory.
void load_environment_file(frame::Module& module) {
    try {
        try {
            module.global("load_dotenv")();
        } catch (py::error_already_set& error) {
            if (!no_caller_file(error)) {
                throw;
            }
            py::object find_dotenv = py::module_::import("dotenv").attr("find_dotenv");
            module.global("load_dotenv")(find_dotenv("usecwd"_a = true));
        }
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeDecodeError)) {
            throw;
        }
        raise_naming_file(error);
    }
}

void body(frame::Module& module) {
    module.import_names("langchain.pydantic_v1", {"BaseModel", "Field"});
    module.import_names("langchain.tools", {"StructuredTool"});
    module.import_names("langchain_core.tools", {"ToolException"});
    module.import_names("langchain.agents", {"AgentExecutor"});
    module.import_names("langchain_openai", {"ChatOpenAI"});
    module.import_names("langchain.prompts", {"ChatPromptTemplate", "MessagesPlaceholder"});
    module.import_names("langchain.agents.format_scratchpad.openai_tools", {"format_to_openai_tool_messages"});
    module.import_names("langchain.agents.output_parsers.openai_tools", {"OpenAIToolsAgentOutputParser"});
    module.import_names("langchain_core.messages", {"AIMessage", "HumanMessage"});
    module.import_module("os");
    module.import_module("requests");
    module.import_module("json");
    module.import_module("aiohttp");
    module.import_module("asyncio");
    module.import_names("langchain_openai", {"AzureOpenAI"});
    module.import_names("langchain_openai", {"AzureChatOpenAI"});
    module.import_names("langchain.agents.agent", {"RunnableAgent"});
    module.import_names("langchain_community.callbacks", {"get_openai_callback"});
    module.import_names("velto_ai_sdk.sqltool", {"execute_mysql_query", "get_mysql_database_schema", "get_pgdb_schema",
                                                 "execute_pgdb_query", "get_mssql_db_schema", "execute_mssql_query"});
    module.import_star("velto_ai_sdk.codetool");
    module.import_names("velto_ai_sdk.api", {"VeltoAPIHandler"});
    module.import_names("dotenv", {"load_dotenv"});
    load_environment_file(module);

    module.define_class("CustomRunnableAgent", py::make_tuple(module.global("RunnableAgent")), {&plan});
    module.define(create_chat_openai_instance);
    module.define(create_agent, py::make_tuple(py::none()));
    module.import_names("velto_ai_sdk.api", {"send_user_question"});
    module.define(run_agent);
}

frame::ModuleDefinition definition("agent", "velto_ai_sdk.agent", frame::run_body<body>, __FILE__, __LINE__);

}  // namespace

}  // namespace velto::agent

VELTO_MODULE_INIT PyInit_agent(void) { return velto::agent::definition.initialize(); }
