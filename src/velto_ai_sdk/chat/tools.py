"""The agent's tools by name: what kind of work each does, on which engine,
and which of its arguments is the statement or the script."""

from __future__ import annotations

from typing import Dict, NamedTuple, Optional


class Tool(NamedTuple):
    kind: str  # "schema", "sql" or "python"
    engine: Optional[str]  # the engine's name in velto_ai_sdk.sqltool.ENGINES
    argument: Optional[str]  # the argument holding the statement or the script


TOOLS: Dict[str, Tool] = {
    "GetDatabaseSchema": Tool("schema", "mysql", None),
    "GetPostgresDatabaseSchema": Tool("schema", "postgresql", None),
    "GetMsSQLDatabaseSchema": Tool("schema", "mssql", None),
    "ExecuteSQLQuery": Tool("sql", "mysql", "sql_query"),
    "ExecutePostgresSQLQuery": Tool("sql", "postgresql", "sql_query"),
    "ExecuteMsSQLQuery": Tool("sql", "mssql", "sql_query"),
    "ExecutePythonCode": Tool("python", None, "code"),
}
# LangChain's stand-in for a reply it could not parse, and anything unknown.
OTHER = Tool("other", None, None)

SCRIPT_FAILURE = "An error occurred--: "


def tool_named(name: str) -> Tool:
    return TOOLS.get(name, OTHER)


class Outcome(NamedTuple):
    summary: str  # a few words: "3 rows", "failed: ..."
    failure: Optional[str]  # why the call failed, in words, or None


def outcome(tool: Tool, output: str) -> Outcome:
    """What a tool's output says, from the forms the tools answer in."""
    if tool.kind in ("schema", "sql") and output.startswith("Error: "):
        reason = output[len("Error: "):].strip()
        doing = "reading the database schema" if tool.kind == "schema" else "the last SQL statement"
        return Outcome("failed: " + _short(reason), "%s failed: %s" % (doing, reason))
    if tool.kind == "sql":
        return Outcome(_rows_summary(output), None)
    if tool.kind == "python":
        if output.startswith(SCRIPT_FAILURE):
            reason = _last_line(output[len(SCRIPT_FAILURE):]) or "it ended with an error"
            return Outcome("failed: " + _short(reason), "the last Python script failed: " + reason)
        lines = output.count("\n") + (not output.endswith("\n") and output != "")
        return Outcome("%d line%s of output" % (lines, "" if lines == 1 else "s") if lines else "no output", None)
    if tool.kind == "schema":
        return Outcome("read", None)
    return Outcome(_short(output), None)


def _rows_summary(output: str) -> str:
    if output.startswith("OK: "):
        return "no rows"
    lines = output.split("\n")
    for line in reversed(lines[-2:]):
        if line.startswith("("):
            # "(3 rows)", "(200 of 5,000 rows shown)", "(200 rows shown; more rows exist, ...)"
            return line[1:].split(";")[0].split(", but")[0].rstrip(")")
    return "done"


def _last_line(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else ""


def _short(text: str, limit: int = 120) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"
