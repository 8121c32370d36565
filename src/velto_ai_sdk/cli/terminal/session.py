"""A conversation in the terminal: a question per line, follow-ups, and a
few commands.

On a terminal the line is read with readline (editing, and the questions of
earlier sessions with the arrow keys, kept in a file only the user can
read); the answer is drawn with rich while a progress line shows what the
analyst is doing. From a pipe or a file, each line is a question (or a
command), each answer follows it, and nothing is drawn in colour or in
place.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Iterator, Optional

from rich.console import Console
from rich.text import Text

from ...chat.answer import Answer
from ...chat.checks import SetupError
from ...chat.conversation import Conversation
from ...chat.shown import visible
from ...sqltool import ENGINES
from . import render
from .progress import EventRelay, ask_with_progress

PROMPT = "> "
HISTORY_LINES = 1000

HELP = """\
Ask a question about the database; follow-up questions build on the answers so far.
  /sql     the SQL behind the last answer
  /code    the Python behind the last answer
  /reset   start afresh: forget the questions so far
  /help    this list
  /quit    leave (Ctrl-D does too)
Ctrl-C stops a question that is running."""


class Chat:
    def __init__(self, conversation: Conversation, relay: EventRelay, out: Console, err: Console,
                 interactive: bool) -> None:
        self.conversation = conversation
        self.relay = relay
        self.out = out
        self.err = err
        self.interactive = interactive
        self.last: Optional[Answer] = None
        self.failures = 0

    def run(self, lines: Iterator[str]) -> int:
        """Answers every line until /quit or the end; the exit status: 1 when
        a question read from a pipe had no answer."""
        if self.interactive:
            self.out.print(Text("Ask about your %s database. /help lists the commands." % ENGINES[
                self.conversation.engine].label, style="dim"))
        for line in lines:
            line = line.strip()
            if not line:
                continue
            if not self.interactive:
                self.out.print(Text(PROMPT + visible(line), style="bold"))
            if line.startswith("/"):
                if not self.command(line):
                    break
            else:
                self.question(line)
        return 1 if self.failures and not self.interactive else 0

    def command(self, line: str) -> bool:
        """Does what the command says; False for /quit."""
        name = line.split()[0].lower()
        if name in ("/quit", "/exit"):
            return False
        if name == "/help":
            self.out.print(Text(HELP))
        elif name == "/reset":
            self.conversation.reset()
            self.last = None
            self.out.print(Text("Forgotten: the next question starts afresh.", style="dim"))
        elif name in ("/sql", "/code"):
            if self.last is None:
                self.out.print(Text("No answer yet.", style="dim"))
            else:
                self.out.print(render.statements(self.last) if name == "/sql" else render.scripts(self.last))
        else:
            self.out.print(Text("Unknown command %s; /help lists them." % visible(name), style="yellow"))
        return True

    def question(self, text: str) -> None:
        try:
            found = self.ask(text)
        except KeyboardInterrupt:
            self.out.print(Text("Stopped; that question has no answer.", style="yellow"))
            return
        except (ValueError, SetupError) as error:  # refused before any work: say why, go on
            self.out.print(Text(visible(str(error)), style="red"))
            self.failures += 1
            return
        self.last = found
        self.failures += found.error is not None
        self.out.print(render.answer(found))
        if self.interactive:
            self.out.print()

    def ask(self, text: str) -> Answer:
        return ask_with_progress(self.conversation, self.relay, self.err, text)


def terminal_lines(history_file: Optional[Path]) -> Iterator[str]:
    """Lines typed at the prompt, with readline's editing and history."""
    try:
        import readline
    except ImportError:  # not everywhere: input() still reads a line
        readline = None  # type: ignore[assignment]
    if readline is not None and history_file is not None:
        _load_history(readline, history_file)
    try:
        while True:
            try:
                yield input(PROMPT)
            except KeyboardInterrupt:
                print()  # a fresh prompt, as a shell gives
            except EOFError:
                print()
                return
    finally:
        if readline is not None and history_file is not None:
            _save_history(readline, history_file)


def _load_history(readline: Any, path: Path) -> None:
    readline.set_history_length(HISTORY_LINES)
    try:
        readline.read_history_file(str(path))
    except OSError:
        pass  # none yet, or unreadable: a session without earlier lines


def _save_history(readline: Any, path: Path) -> None:
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        # the questions may be confidential: the file is the user's alone
        os.close(os.open(str(path), os.O_WRONLY | os.O_CREAT, 0o600))
        readline.write_history_file(str(path))
    except OSError:
        pass
