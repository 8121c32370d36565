"""The package's layout: what callers import still imports from where it always
has, and the parts import one another only downward, with no circle.

A part is a folder or a file at the top of the package. The layers below are
ARCHITECTURE.md's, lowest first: a part may import the other parts of its own
layer and the layers beneath, never a layer above, and no imports go round
in a circle. The C++ modules count with what their sources import and include.
"""

import ast
import re
import subprocess
import sys
from pathlib import Path
from typing import Dict, Iterator, List, Set, Tuple

PACKAGE = "velto_ai_sdk"
SOURCE = Path(__file__).resolve().parents[1] / "src" / PACKAGE

LAYERS = [
    {"", "frame", "settings", "agent_scope"},  # the root, the C++ frame, the settings rule, an agent's scope
    {"codetool", "warm_worker", "sqltool", "scripted_model"},  # the tools, and the model's stand-in
    {"master", "agent", "api"},
    {"chat"},  # conversations
    {"cli", "serve"},  # the command line and the web app
]
LAYER = {part: number for number, parts in enumerate(LAYERS) for part in parts}
CPP_PARTS = {"frame", "codetool", "master", "agent"}  # folders of C++ sources
CPP_MODULES = {PACKAGE + "." + part for part in CPP_PARTS - {"frame"}}


# -- what callers import -----------------------------------------------------------


OLD_PATHS = {
    "velto_ai_sdk.api": [
        "VeltoAPIHandler", "send_user_question", "flush_usage", "usage_summary",
        "VeltoAPIError", "VeltoAuthenticationError", "VeltoServiceUnavailableError", "VeltoConfigError",
        "SENT", "RECORDED", "QUEUED", "LOST", "data_directory",
    ],
    "velto_ai_sdk.scripted_model": [
        "ScriptedChatServer", "ScriptedReply", "ReceivedRequest", "text_reply", "tool_call_reply",
        "error_reply", "reply_from_dict", "load_script", "main",
        "DEFAULT_MODEL", "SYSTEM_FINGERPRINT", "ScriptItem", "ToolCallItem",
    ],
    "velto_ai_sdk.sqltool": [
        "get_mysql_database_schema", "get_pgdb_schema", "get_mssql_db_schema",
        "execute_mysql_query", "execute_pgdb_query", "execute_mssql_query",
        "dispose_engines", "ENGINES",
    ],
    "velto_ai_sdk.sqltool.check": ["check_engine"],
    "velto_ai_sdk.settings": ["SettingError", "text", "flag", "integer", "number", "names"],
}


def test_public_names_import_from_their_old_paths():
    import importlib

    missing = [module + "." + name for module, names in OLD_PATHS.items()
               for name in names if not hasattr(importlib.import_module(module), name)]
    assert missing == []

    from velto_ai_sdk import api, settings
    # The errors keep their family: callers catch VeltoAPIError, and a bad
    # setting is a SettingError wherever it is read.
    for error in (api.VeltoAuthenticationError, api.VeltoServiceUnavailableError, api.VeltoConfigError):
        assert issubclass(error, api.VeltoAPIError)
    assert issubclass(api.VeltoConfigError, settings.SettingError)


def test_scripted_model_command_runs_as_a_module():
    done = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-m", "velto_ai_sdk.scripted_model", "--help"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("usage: python -m velto_ai_sdk.scripted_model")
    assert done.stderr == ""


# -- who imports whom -----------------------------------------------------------------


def python_modules() -> Dict[str, Path]:
    modules = {}
    for path in SOURCE.rglob("*.py"):
        parts = list(path.relative_to(SOURCE.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        modules[".".join(parts)] = path
    return modules


MODULES = python_modules()
KNOWN = set(MODULES) | CPP_MODULES


def is_package(module: str) -> bool:
    return MODULES.get(module, Path()).name == "__init__.py"


def target(module: str, node: ast.AST) -> Iterator[str]:
    """The package's modules an import statement in `module` loads."""
    if isinstance(node, ast.Import):
        for alias in node.names:
            if alias.name.split(".")[0] == PACKAGE:
                yield alias.name
        return
    assert isinstance(node, ast.ImportFrom)
    if node.level:
        base = module.split(".")
        if not is_package(module):
            base.pop()
        base = base[:len(base) - node.level + 1]
        source = ".".join(base + ([node.module] if node.module else []))
    else:
        source = node.module or ""
    if source.split(".")[0] != PACKAGE:
        return
    for alias in node.names:
        submodule = source + "." + alias.name
        yield submodule if submodule in KNOWN else source


def is_type_checking(test: ast.expr) -> bool:
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def lazy_face(tree: ast.Module) -> Iterator[ast.AST]:
    """The nodes of a module-level __getattr__: a package's face may offer a
    higher part's names, loaded only when a caller asks for one."""
    for statement in tree.body:
        if isinstance(statement, ast.FunctionDef) and statement.name == "__getattr__":
            yield from ast.walk(statement)


def imports(module: str) -> Iterator[Tuple[str, bool]]:
    """(imported module, whether only for type checking) for each import in the
    file. Only the package's own face may offer names lazily: what it imports
    for that, and only for type checking, is left out of the graph."""
    tree = ast.parse(MODULES[module].read_text(encoding="utf-8"))
    typing_only = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and is_type_checking(node.test):
            typing_only.update(id(child) for statement in node.body for child in ast.walk(statement))
    skipped = set()
    if module == PACKAGE:
        skipped = typing_only | {id(node) for node in lazy_face(tree)}
    for node in ast.walk(tree):
        if isinstance(node, (ast.Import, ast.ImportFrom)) and id(node) not in skipped:
            for name in target(module, node):
                yield name, id(node) in typing_only


CPP_IMPORT = re.compile(r'import_(?:names|star|module)\(\s*"(%s(?:\.\w+)*)"' % PACKAGE)
CPP_INCLUDE = re.compile(r'#include\s+"%s/(\w+)/' % PACKAGE)


def cpp_imports(part: str) -> Tuple[Set[str], Set[str]]:
    """The package's modules a C++ part imports at run time, and the parts whose headers it includes."""
    modules, parts = set(), set()
    for path in (SOURCE / part).rglob("*"):
        if path.suffix in (".cpp", ".h"):
            text = path.read_text(encoding="utf-8")
            modules.update(CPP_IMPORT.findall(text))
            parts.update(CPP_INCLUDE.findall(text))
    return modules, parts - {part}


def part_of(module: str) -> str:
    parts = module.split(".")
    return parts[1] if len(parts) > 1 else ""


def graph() -> Tuple[Dict[str, Set[str]], Dict[str, Set[str]]]:
    """Run-time imports between modules, and every dependency between parts
    (run-time, type-only and C++ headers)."""
    runtime: Dict[str, Set[str]] = {module: set() for module in KNOWN}
    parts: Dict[str, Set[str]] = {}
    for module in MODULES:
        for name, typing_only in imports(module):
            if not typing_only:
                runtime[module].add(name)
            parts.setdefault(part_of(module), set()).add(part_of(name))
    for part in CPP_PARTS:
        modules, headers = cpp_imports(part)
        if part != "frame":
            runtime[PACKAGE + "." + part] |= modules
        parts.setdefault(part, set()).update({part_of(name) for name in modules} | headers)
    for source, targets in parts.items():
        targets.discard(source)
    return runtime, parts


def circles(edges: Dict[str, Set[str]]) -> List[List[str]]:
    """The strongly connected groups of more than one node (Tarjan's algorithm),
    and the nodes that import themselves."""
    index: Dict[str, int] = {}
    low: Dict[str, int] = {}
    stack: List[str] = []
    found = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        for following in sorted(edges.get(node, ())):
            if following not in index:
                visit(following)
                low[node] = min(low[node], low[following])
            elif following in stack:
                low[node] = min(low[node], index[following])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                group.append(member)
                if member == node:
                    break
            if len(group) > 1 or node in edges.get(node, ()):
                found.append(sorted(group))

    for node in sorted(edges):
        if node not in index:
            visit(node)
    return found


def test_every_part_has_a_layer():
    entries = {path.stem for path in SOURCE.iterdir()
               if path.suffix == ".py" or (path.is_dir() and path.name != "__pycache__")}
    assert sorted(entries - set(LAYER) - {"__init__"}) == []


def test_the_checker_sees_the_imports_we_know():
    # A scanner that found nothing would pass every test below.
    runtime, parts = graph()
    assert {"velto_ai_sdk.sqltool", "velto_ai_sdk.codetool", "velto_ai_sdk.api"} <= runtime["velto_ai_sdk.agent"]
    assert "velto_ai_sdk.codetool" in runtime["velto_ai_sdk.master"]
    assert parts["codetool"] == {"frame"}
    assert "velto_ai_sdk.api.errors" in runtime["velto_ai_sdk.api.ledger"]
    assert "velto_ai_sdk.settings" in runtime["velto_ai_sdk.sqltool.pool"]
    assert "velto_ai_sdk.sqltool.session" in runtime["velto_ai_sdk.sqltool.check"]
    assert "velto_ai_sdk.cli.demo" in runtime["velto_ai_sdk.cli"]  # an import inside a function


def test_no_part_imports_upward():
    _, parts = graph()
    upward = sorted("%s -> %s" % (source, name) for source, targets in parts.items()
                    for name in targets if LAYER[name] > LAYER[source])
    assert upward == []


def test_no_import_circle():
    # Annotations may name a sibling's class (a dialect's methods take the
    # session that drives them): an import only for type checking runs never
    # and is left out of the modules' graph, but not of the parts'.
    runtime, parts = graph()
    assert circles(runtime) == []
    assert circles(parts) == []


def test_the_connectors_shared_file_is_a_leaf():
    assert [name for name, _ in imports("velto_ai_sdk.sqltool.shared")] == []
    assert [name for name, _ in imports("velto_ai_sdk.settings")] == []
