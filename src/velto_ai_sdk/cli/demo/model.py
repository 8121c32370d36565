"""The demo's chat model: the one configured, checked before any slow work,
or, with none, our scripted model server replaying the recorded session."""

from __future__ import annotations

import contextlib
import json
import os
from pathlib import Path
from typing import Any, Dict, Iterator

from velto_ai_sdk import settings

from .errors import DemoError

SESSION = Path(__file__).resolve().parent / "session.json"
REPLAY_NOTICE = (
    "No chat model is configured (no OPENAI_API_KEY, OPENAI_BASE_URL or VELTO_API_URL), so this answer is a "
    "REPLAY of a recorded session: the database queries and the chart are run for real, the model's words are not."
)
MODEL_VARIABLES = ("OPENAI_API_KEY", "OPENAI_BASE_URL", "OPENAI_API_BASE", "VELTO_API_URL")


def recorded_session() -> Dict[str, Any]:
    with open(SESSION, encoding="utf-8") as file:
        return json.load(file)


def model_configured() -> bool:
    return any(os.environ.get(name) for name in MODEL_VARIABLES)


def checked_model(account_key: str) -> None:
    """The configured model's settings, read as the agent will read them;
    DemoError (status 2) saying what to set when they cannot be."""
    from velto_ai_sdk import api

    try:
        api.VeltoAPIHandler(account_key).get_openai_data()
    except (api.VeltoAPIError, ValueError) as error:
        own_server = settings.text("OPENAI_BASE_URL") or settings.text("OPENAI_API_BASE")
        if own_server and not api.service_mode() and settings.text("OPENAI_API_KEY") is None:
            raise DemoError("OPENAI_BASE_URL names a model server, but OPENAI_API_KEY is not set: set it too (any "
                            "value, for a server that takes no key), or unset OPENAI_BASE_URL to see the recorded "
                            "session", 2) from None
        raise DemoError("the model's settings cannot be read: %s" % error, 2) from None


@contextlib.contextmanager
def replayed_model(media: Path) -> Iterator[None]:
    """Our scripted model server replaying the recorded session, with the
    environment pointing the agent at it for the time of the block; the
    questions asked in it are recorded in the usage ledger as replays."""
    from velto_ai_sdk import api
    from velto_ai_sdk.scripted_model import ScriptedChatServer, reply_from_dict

    session = recorded_session()
    recorded = json.dumps(session["replies"]).replace(session["media_placeholder"], str(media).replace("\\", "\\\\"))
    replies = [reply_from_dict(reply) for reply in json.loads(recorded)]
    variables = {"VELTO_MODEL_NAME": session["model"]}
    with ScriptedChatServer(replies, model=session["model"]) as server:
        variables.update(server.environ())
        with environment(variables), api.replayed_session():
            yield


@contextlib.contextmanager
def environment(variables: Dict[str, str]) -> Iterator[None]:
    saved = {name: os.environ.get(name) for name in variables}
    os.environ.update(variables)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
