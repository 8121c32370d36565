"""velto-ai: the agent from the command line.

    velto-ai init [DIR]              set up the private code environment
    velto-ai install PACKAGE...      install packages into it
    velto-ai ask --engine E QUESTION answer a question about a database
    velto-ai usage                   totals of the local usage ledger
    velto-ai check                   the databases, the model and the code environment
    velto-ai demo                    a question about a sample shop, end to end

Errors go to standard error, with a non-zero exit status: 1 when the work
failed, 2 when it could not start (bad arguments, nothing configured).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

from velto_ai_sdk.sqltool import ENGINES

PROGRAM = "velto-ai"
DEFAULT_PACKAGES = ["matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"]
IMPORT_CHECK = "import matplotlib, sklearn, numpy, statsmodels, pandas, scipy"
MODEL_CHECK_TIMEOUT = 5.0
FAILED_ANSWERS = ("An error occurred", "Error: No output generated from the agent.")
COLD_HELP = ("run each of the agent's scripts in a fresh interpreter instead of forking it from the warm "
             "worker (as VELTO_CODE_WARM=0 does)")
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".svg", ".gif", ".webp", ".pdf")


class CommandError(Exception):
    """Ends the command with its message on standard error."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def default_environment() -> Path:
    configured = os.environ.get("VELTO_ENV_DIR")
    if configured:
        return Path(configured).expanduser()
    from velto_ai_sdk.api import data_directory

    return data_directory() / "env"


def warm_code_runs(options: argparse.Namespace) -> None:
    """The agent's scripts run forked from the warm worker, which has the
    analysis packages imported, unless the user said otherwise (--cold, or
    VELTO_CODE_WARM set to anything)."""
    from velto_ai_sdk import settings

    if options.cold:
        os.environ["VELTO_CODE_WARM"] = "0"
    elif settings.text("VELTO_CODE_WARM") is None:
        os.environ["VELTO_CODE_WARM"] = "1"


def ready_environment(path: Path) -> None:
    """Points the code runner at an environment that `init` made."""
    from velto_ai_sdk import codetool

    if not path.exists():
        raise CommandError("no code environment at %s: run `%s init` first" % (path, PROGRAM), 2)
    codetool.initialize_environment(str(path))


# init ---------------------------------------------------------------------------


def command_init(options: argparse.Namespace) -> int:
    from velto_ai_sdk import codetool

    path = Path(options.directory).expanduser() if options.directory else options.env
    if not path.exists():
        print("Creating the code environment in %s (pip's progress follows) ..." % path, flush=True)
    try:
        codetool.initialize_environment(str(path))
        problem = packages_problem(path)
    except Exception as error:
        raise CommandError("could not set up the code environment in %s: %s" % (path, error))
    if problem:
        raise CommandError(problem)
    print("Code environment ready: %s" % path)
    return 0


def packages_problem(path: Path) -> Optional[str]:
    """What keeps the packages of the environment the code runner uses from
    importing, or None. The packages report their own failures only as a
    printed line; importing them is the proof."""
    from velto_ai_sdk import codetool

    check = codetool.execute_code(IMPORT_CHECK)
    if check.startswith("An error occurred--: "):
        missing = check.strip().splitlines()[-1] if check.strip() else "unknown error"
        return ("the code environment in %s lacks its packages (%s); run `%s install %s`"
                % (path, missing, PROGRAM, " ".join(DEFAULT_PACKAGES)))
    return None


# install --------------------------------------------------------------------------


def command_install(options: argparse.Namespace) -> int:
    from velto_ai_sdk import codetool

    ready_environment(options.env)
    try:
        codetool.install_dependencies(list(options.packages))
    except Exception as error:
        raise CommandError(str(error))
    print("Installed: %s" % ", ".join(options.packages))
    return 0


# ask ------------------------------------------------------------------------------


def image_files(directory: Path) -> Dict[str, float]:
    if not directory.is_dir():
        return {}
    return {str(path): path.stat().st_mtime for path in directory.rglob("*")
            if path.is_file() and path.suffix.lower() in IMAGE_SUFFIXES}


def new_images(before: Dict[str, float], after: Dict[str, float], answer: Any) -> List[str]:
    """Images the run wrote into the media directory, and any other existing
    image file the answer names."""
    paths = [path for path, mtime in sorted(after.items()) if before.get(path) != mtime]
    named = answer.get("image_url") if isinstance(answer, dict) else None
    for path in named if isinstance(named, list) else [named]:
        if isinstance(path, str) and path not in paths and os.path.isfile(path):
            paths.append(path)
    return paths


def parse_answer(text: str) -> Optional[Dict[str, Any]]:
    try:
        answer = json.loads(text)
    except ValueError:
        return None
    return answer if isinstance(answer, dict) else None


def run_question(options: argparse.Namespace, media: Path, account_key: str) -> str:
    from velto_ai_sdk import agent

    trace = sys.stderr if options.verbose else open(os.devnull, "w")
    with contextlib.ExitStack() as stack:
        if trace is not sys.stderr:
            stack.callback(trace.close)
        stack.enter_context(contextlib.redirect_stdout(trace))
        try:
            executor = agent.create_agent(account_key, str(media), ENGINES[options.engine].prompt_name,
                                          options.instructions)
        except Exception as error:
            raise CommandError("could not create the agent: %s" % error, 2)
        if executor is None:
            raise CommandError("could not create the agent (run with --verbose to see why)", 2)
        # The agent reports a failed run as a printed line; keep it for the message.
        lines: List[str] = []
        stack.enter_context(contextlib.redirect_stdout(_Tee(trace, lines)))
        result = agent.run_agent(executor, account_key, options.question)
    if result in FAILED_ANSWERS:
        reason = next((line for line in lines if line.startswith("An error occurred when running the agent: ")), "")
        raise CommandError("the agent could not answer%s" % (": " + reason.split(": ", 1)[1] if reason else ""))
    return result


class _Tee:
    """Writes through to `stream`, and keeps the complete lines."""

    def __init__(self, stream: Any, lines: List[str]) -> None:
        self.stream, self.lines, self.pending = stream, lines, ""

    def write(self, text: str) -> int:
        self.stream.write(text)
        self.pending += text
        *complete, self.pending = self.pending.split("\n")
        self.lines.extend(complete)
        return len(text)

    def flush(self) -> None:
        self.stream.flush()


def command_ask(options: argparse.Namespace) -> int:
    engine = ENGINES[options.engine]
    if not os.environ.get(engine.variable):
        raise CommandError("no %s database is configured: set %s to its SQLAlchemy URL, for example %s"
                           % (engine.label, engine.variable, engine.example_url), 2)
    warm_code_runs(options)
    ready_environment(options.env)
    media = Path(options.media).expanduser().resolve()
    try:
        media.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CommandError("cannot use %s for images: %s" % (media, error), 2)
    account_key = account_key_of(options)
    before = image_files(media)
    started = time.time()
    result = run_question(options, media, account_key)
    answer = parse_answer(result)
    images = new_images(before, image_files(media), answer)
    if options.json:
        print(json.dumps({"answer": answer if answer is not None else result, "images": images,
                          "seconds": round(time.time() - started, 1)}, indent=2))
        return 0
    print(answer["answer"] if answer and "answer" in answer else result)
    for path in images:
        print("Image: %s" % path)
    return 0


# usage ----------------------------------------------------------------------------


def command_usage(options: argparse.Namespace) -> int:
    from velto_ai_sdk import api

    try:
        summary = api.usage_summary()
    except Exception as error:
        raise CommandError("could not read the usage ledger: %s" % error)
    if options.json:
        print(json.dumps(summary, indent=2))
        return 0
    print("Questions:      %d" % summary["questions"])
    print("Tokens:         %d" % summary["tokens"])
    print("Cost:           $%.6f" % summary["cost"])
    print("Unsent reports: %d" % summary["unsent"])
    print("Ledger:         %s" % summary["ledger"])
    return 0


def account_key_of(options: argparse.Namespace) -> str:
    return options.key or os.environ.get("VELTO_API_KEY") or "local"


# check ----------------------------------------------------------------------------


def command_check(options: argparse.Namespace) -> int:
    """Prints what each part the agent uses says about itself; exit status 0
    only when every one of them is fine."""
    from velto_ai_sdk.sqltool.check import check_engine

    problems = 0
    reports = [check_engine(engine) for engine in ENGINES.values()]
    for report in reports:
        heading = "%s (%s)" % (report.dialect.label, report.dialect.variable)
        if not report.configured:
            print_part(heading, "not configured", [])
            continue
        problems += not report.ok
        print_part(heading, "ok" if report.ok else "PROBLEM", report.lines)
    if not any(report.configured for report in reports):
        problems += 1
        print_part("Databases", "PROBLEM", [("", "none configured: set %s" % " or ".join(
            engine.variable for engine in ENGINES.values()))])
    from velto_ai_sdk import sandbox_check

    for heading, lines in (("Model", model_findings(account_key_of(options))),
                           ("Code environment", environment_findings(options.env)),
                           ("Code sandbox", sandbox_check.findings(options.env))):
        fine = all(ok for ok, _, _ in lines)
        problems += not fine
        print_part(heading, "ok" if fine else "PROBLEM", [(what, finding) for _, what, finding in lines])
    print("All checks passed." if not problems else "%d part%s need%s attention." % (
        problems, "" if problems == 1 else "s", "s" if problems == 1 else ""))
    return 0 if not problems else 1


def print_part(heading: str, verdict: str, lines: Sequence[Tuple[str, str]]) -> None:
    print("%s: %s" % (heading, verdict))
    width = max((len(what) for what, _ in lines), default=0)
    for what, finding in lines:
        print("  %s %s" % ((what + ":").ljust(width + 1), finding) if what else "  " + finding)


def model_findings(account_key: str) -> List[Tuple[bool, str, str]]:
    """The model's settings (local mode or the account service) and whether
    its server answers a cheap request (the list of models)."""
    import requests

    from velto_ai_sdk import api

    handler = api.VeltoAPIHandler(account_key)
    try:
        settings = handler.get_openai_data()
    except Exception as error:
        return [(False, "settings", "%s mode: %s" % (handler.mode, error))]
    model = settings.get("model_name") or api.DEFAULT_MODEL_NAME
    findings = [(True, "settings", "%s mode, model %s" % (handler.mode, model))]
    base = (os.environ.get("OPENAI_BASE_URL") or os.environ.get("OPENAI_API_BASE")
            or "https://api.openai.com/v1").rstrip("/")
    try:
        response = requests.get(base + "/models", headers={"Authorization": "Bearer %s" % settings.get("api_key")},
                                timeout=MODEL_CHECK_TIMEOUT)
    except requests.RequestException as error:
        return findings + [(False, "server", "%s did not answer: %s" % (base, type(error).__name__))]
    if response.status_code in (401, 403):
        return findings + [(False, "server", "%s refused the key (HTTP %d)" % (base, response.status_code))]
    if response.status_code != 200:
        return findings + [(False, "server", "%s answered HTTP %d to GET /models" % (base, response.status_code))]
    try:
        listed = model in [entry.get("id") for entry in response.json().get("data", [])]
    except (ValueError, AttributeError):
        listed = False
    return findings + [(True, "server", "%s answered%s" % (
        base, "; the model is listed" if listed else ", but does not list the model %s" % model))]


def environment_findings(path: Path) -> List[Tuple[bool, str, str]]:
    from velto_ai_sdk import codetool

    if not path.exists():
        return [(False, str(path), "not there: run `%s init`" % PROGRAM)]
    try:
        codetool.initialize_environment(str(path))
        problem = packages_problem(path)
    except Exception as error:
        return [(False, str(path), "not usable: %s" % error)]
    if problem:
        return [(False, str(path), problem)]
    return [(True, str(path), "present; %s import" % ", ".join(DEFAULT_PACKAGES))]


# demo -----------------------------------------------------------------------------


def command_demo(options: argparse.Namespace) -> int:
    from velto_ai_sdk import demo

    warm_code_runs(options)
    try:
        return demo.run(Path(options.workdir), database_url=options.database_url)
    except demo.DemoError as error:
        raise CommandError(str(error))


# the parser -----------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog=PROGRAM, description="A conversational data analyst for your database.")
    main.add_argument("--env", type=Path, default=None,
                      help="the private code environment (default: $VELTO_ENV_DIR, else %s)" % "~/.local/share/velto_ai_sdk/env")
    commands = main.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    init = commands.add_parser("init", help="set up the private code environment",
                               description="Create the private Python environment that runs the agent's code, "
                                           "with pip and the data-analysis packages.")
    init.add_argument("directory", nargs="?", metavar="DIR", help="where to create it (default: --env)")
    init.set_defaults(run=command_init)

    install = commands.add_parser("install", help="install packages into the environment",
                                  description="Install packages into the private code environment with pip.")
    install.add_argument("packages", nargs="+", metavar="PACKAGE", help="a pip requirement, such as seaborn==0.13.2")
    install.set_defaults(run=command_install)

    ask = commands.add_parser("ask", help="answer a question about a database",
                              description="Put one question to the agent and print its answer, and the paths of "
                                          "any images it made. The database comes from VELTO_MYSQL_URL, "
                                          "VELTO_POSTGRES_URL or VELTO_MSSQL_URL.")
    ask.add_argument("--engine", required=True, choices=sorted(ENGINES), help="the database engine")
    ask.add_argument("--media", default=os.environ.get("VELTO_MEDIA_DIR", "velto_media"), metavar="DIR",
                     help="where charts are saved (default: $VELTO_MEDIA_DIR, else ./velto_media)")
    ask.add_argument("--instructions", metavar="TEXT", help="your own instructions to the agent")
    ask.add_argument("--json", action="store_true", help="print the answer and the images as JSON")
    ask.add_argument("--key", metavar="KEY", help="your account key (default: $VELTO_API_KEY)")
    ask.add_argument("--verbose", action="store_true", help="show the agent's steps on standard error")
    ask.add_argument("--cold", action="store_true", help=COLD_HELP)
    ask.add_argument("question", metavar="QUESTION")
    ask.set_defaults(run=command_ask)

    usage = commands.add_parser("usage", help="totals of the local usage ledger",
                                description="Questions, tokens and cost recorded in the local usage ledger "
                                            "($VELTO_USAGE_DB).")
    usage.add_argument("--json", action="store_true", help="print the totals as JSON")
    usage.set_defaults(run=command_usage)

    check = commands.add_parser("check", help="the databases, the model and the code environment",
                                description="For each configured database: whether it answers, its version, "
                                            "whether the account is privileged, and its read-only mechanism "
                                            "tried on the live server; the model's settings and whether its "
                                            "server answers; the code environment and its packages. Exit "
                                            "status 0 only when all of them are fine.")
    check.add_argument("--key", metavar="KEY", help="your account key (default: $VELTO_API_KEY)")
    check.set_defaults(run=command_check)

    demo = commands.add_parser("demo", help="a question about a sample shop, end to end",
                               description="Start PostgreSQL with a sample shop, ask how revenue developed and "
                                           "draw a chart. Without a configured model, a recorded session is "
                                           "replayed and the output says so.")
    demo.add_argument("--workdir", default=".velto", metavar="DIR",
                      help="where the demo keeps its code environment and charts (default: ./.velto)")
    demo.add_argument("--database-url", metavar="URL",
                      help="an administrator's SQLAlchemy URL of your own PostgreSQL, instead of starting one")
    demo.add_argument("--cold", action="store_true", help=COLD_HELP)
    demo.set_defaults(run=command_demo)
    return main


def main(argv: Optional[Sequence[str]] = None) -> int:
    options = parser().parse_args(argv)
    if options.env is None:
        options.env = default_environment()
    try:
        return options.run(options)
    except CommandError as error:
        print("%s: %s" % (PROGRAM, error), file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("%s: interrupted" % PROGRAM, file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
