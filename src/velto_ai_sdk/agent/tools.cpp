// The tools the model acts through: a schema reader and a query runner for
// each of MySQL, PostgreSQL and MS SQL, and the code tool. Every agent gets
// all seven; the model picks by name and description.
#include "velto_ai_sdk/agent/agent.h"

namespace velto::agent {

namespace {

using namespace pybind11::literals;

// A pydantic model with one required text field, made fresh for each agent
// as `class <name>(BaseModel)` inside create_agent would be.
py::object make_schema(const frame::Arguments& call, const char* name, const char* qualname, const char* field,
                       const char* description) {
    py::tuple bases = py::make_tuple(call.global("BaseModel"));
    py::dict annotations;
    annotations[field] = "str";
    py::dict body;
    body["__annotations__"] = annotations;
    body[field] = call.call_global("Field", "description"_a = description);
    return frame::new_class(call.globals(), name, qualname, bases, body);
}

py::object make_tool(const frame::Arguments& call, const char* function, const char* name, const char* description,
                     py::handle args_schema = py::handle()) {
    py::object from_function = call.global("StructuredTool").attr("from_function");
    if (!args_schema) {
        return from_function("func"_a = call.global(function), "name"_a = name, "description"_a = description);
    }
    return from_function("func"_a = call.global(function), "name"_a = name, "description"_a = description,
                         "args_schema"_a = args_schema);
}

}  // namespace

py::list make_tools(const frame::Arguments& call) {
    py::object sql_query_input = make_schema(call, "SQLQueryInput", "create_agent.<locals>.SQLQueryInput", "sql_query",
                                             "SQL query string to be executed");
    py::object python_code_input = make_schema(call, "PythonCodeInput", "create_agent.<locals>.PythonCodeInput",
                                               "code", "Python code to be executed");

    // The schema readers take no arguments: their parameters come from the
    // signatures of the functions they wrap.
    py::object get_mysql_database_schema_tool =
        make_tool(call, "get_mysql_database_schema", "GetDatabaseSchema",
                  "Used to get mySQL database schema. Use this tool to get MySQL db schema ");
    py::object get_pgdb_schema_tool = make_tool(
        call, "get_pgdb_schema", "GetPostgresDatabaseSchema",
        "Used to get postgres database schema. Use this tool when you want to know/get postgres database schema ");
    py::object get_mssql_database_schema_tool =
        make_tool(call, "get_mssql_db_schema", "GetMsSQLDatabaseSchema",
                  "Used to get MsSQL database schema. Use this tool to get MsSQL db schema ");
    py::object execute_mysql_query_tool =
        make_tool(call, "execute_mysql_query", "ExecuteSQLQuery",
                  "Takes in a correct mySQL query and executes it to give results.", sql_query_input);
    py::object execute_postgresdb_query_tool =
        make_tool(call, "execute_pgdb_query", "ExecutePostgresSQLQuery",
                  "Takes in a correct PostgreSQL query and executes it to give results.", sql_query_input);
    py::object execute_mssqldb_query_tool =
        make_tool(call, "execute_mssql_query", "ExecuteMsSQLQuery",
                  "Takes in a correct MsSQL query and executes it to give results.", sql_query_input);
    py::object execute_python_code_tool =
        make_tool(call, "execute_code", "ExecutePythonCode",
                  "Takes in  correct python code and executes it to give results.", python_code_input);

    py::list tools;
    tools.append(get_mysql_database_schema_tool);
    tools.append(get_pgdb_schema_tool);
    tools.append(get_mssql_database_schema_tool);
    tools.append(execute_mysql_query_tool);
    tools.append(execute_python_code_tool);
    tools.append(execute_mssqldb_query_tool);
    tools.append(execute_postgresdb_query_tool);
    return tools;
}

}  // namespace velto::agent
