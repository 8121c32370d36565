// The agent: a LangChain tool-calling agent over an OpenAI chat model, with
// tools for three database engines and for running generated Python.
#pragma once

#include "velto_ai_sdk/frame/body.h"

namespace velto::agent {

namespace py = pybind11;

// chat_model.cpp
extern const frame::FunctionDef create_chat_openai_instance;

// pipeline.cpp
extern const frame::FunctionDef create_agent;
extern const frame::FunctionDef plan;

// run.cpp
extern const frame::FunctionDef run_agent;

// tools.cpp: the argument schemas and the seven tools, in the order the
// model is shown them.
py::list make_tools(const frame::Arguments& call);

// prompt.cpp: the chat prompt template whose system message tells the model
// its role, its tools, where charts go, the answer's form and the host's
// instructions.
py::object make_prompt_template(const frame::Arguments& call, py::handle engine, py::handle media_path,
                                py::handle instructions, py::handle memory_key);

}  // namespace velto::agent
