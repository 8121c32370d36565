"""Whose call this is: the agent whose tool runs, if any.

Each agent that ``create_agent`` makes has a scope of its own: its query
tools write their result files into a subdirectory of the process's results
directory that is the agent's alone, and its code tool's scripts may read
only that subdirectory and write only the agent's media directory. The tools
call the same functions with the same arguments as ever, so the scope
travels beside the call, in a context variable: ``CustomRunnableAgent.plan``
sets it for the tool calls that follow its answer (LangChain runs a tool in
a copy of the caller's context), and ``run_agent`` puts it back as it was
when the run ends, however it ends.

Outside an agent (a host that calls ``execute_code`` or a query function
itself) there is no scope: results go to the process's results directory,
and a script may read all of it.

This module imports nothing of the package, and the code runner, which
imports no module of the package, reads it only when it is loaded.
"""

from __future__ import annotations

import contextvars
import os
import secrets
import weakref
from typing import Any, Dict, List, Optional, Tuple

__all__ = ["AgentScope", "current", "bind", "of", "after_plan", "results_directory", "code_run_paths"]


class AgentScope:
    """An agent's own places: the name of its results subdirectory (128
    random bits, never derived from anything the model sees) and the media
    directory the host gave it."""

    __slots__ = ("name", "media_path")

    def __init__(self, media_path: Any) -> None:
        self.name = "agent-" + secrets.token_hex(16)
        self.media_path = media_path


current: contextvars.ContextVar[Optional[AgentScope]] = contextvars.ContextVar("velto_ai_sdk.agent_scope",
                                                                                default=None)
# What `current` held before an agent's plan set it, to go back to when the
# agent has finished.
_outer: contextvars.ContextVar[Optional[AgentScope]] = contextvars.ContextVar("velto_ai_sdk.agent_scope.outer",
                                                                               default=None)

# The agents' chains (by id) and their scopes. An entry goes when a function
# that only the chain holds is released, that is with the chain.
_scopes: Dict[int, AgentScope] = {}

# The process's results directory, as the connectors last used it.
_results_root: Optional[str] = None


def bind(chain: Any, keeper: Any, media_path: Any) -> AgentScope:
    """Gives the agent whose chain this is a new scope, kept while `keeper`
    (weakly referenced; held by the chain alone) lives."""
    scope = AgentScope(media_path)
    key = id(chain)
    _scopes[key] = scope
    weakref.finalize(keeper, _scopes.pop, key, None)
    return scope


def of(chain: Any) -> Optional[AgentScope]:
    return _scopes.get(id(chain))


def after_plan(scope: AgentScope, finished: bool) -> None:
    """Called by the agent's plan: before the model is asked, and after its
    answer. The scope holds for the tool calls that an answer asks for;
    while the model thinks, and when the agent has finished, what held
    before."""
    if finished:
        if current.get() is scope:
            current.set(_outer.get())
        return
    if current.get() is not scope:
        _outer.set(current.get())
        current.set(scope)


def set_results_root(path: str) -> None:
    global _results_root
    _results_root = path


def results_directory(root: str) -> str:
    """Where a query's result file goes: the calling agent's subdirectory of
    `root` (made, mode 0700, when missing), or `root` itself outside an
    agent."""
    set_results_root(root)
    scope = current.get()
    if scope is None:
        return root
    directory = os.path.join(root, scope.name)
    try:
        os.mkdir(directory, 0o700)
    except FileExistsError:
        pass
    return directory


def code_run_paths() -> Tuple[List[str], List[str]]:
    """What a script of the calling agent may read and write beyond what
    every script may: its results subdirectory (or outside an agent the
    process's results directory), its media directory (made when missing)."""
    reads: List[str] = []
    writes: List[str] = []
    scope = current.get()
    root = _results_root
    if root is not None:
        directory = root if scope is None else os.path.join(root, scope.name)
        if os.path.isdir(directory):
            reads.append(directory)
    if scope is not None and isinstance(scope.media_path, (str, bytes, os.PathLike)) and os.fspath(scope.media_path):
        media = os.path.abspath(os.fsdecode(scope.media_path))
        os.makedirs(media, exist_ok=True)
        writes.append(media)
    return reads, writes
