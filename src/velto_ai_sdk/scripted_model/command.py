"""The command: serves a recorded session file until interrupted."""

from __future__ import annotations

import sys
import time
from typing import Optional, Sequence

from .server import ScriptedChatServer


def main(argv: Optional[Sequence[str]] = None) -> int:
    import argparse  # only the command line needs it

    parser = argparse.ArgumentParser(
        prog="python -m velto_ai_sdk.scripted_model",
        description="Serve a recorded chat session over the OpenAI chat-completions protocol.",
    )
    parser.add_argument("script", help="JSON file: a list of replies, or {\"model\": ..., \"replies\": [...]}")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port (the default)")
    parser.add_argument("--model", default=None, help="model name to answer with (default: the file's, else the request's)")
    parser.add_argument("--api-key", default=None, help="refuse requests without this Bearer token")
    args = parser.parse_args(argv)

    try:
        server = ScriptedChatServer.from_file(
            args.script, model=args.model, host=args.host, port=args.port, api_key=args.api_key,
            log=lambda line: print(line, file=sys.stderr, flush=True),
        )
    except (OSError, ValueError) as exc:
        print("error: %s" % exc, file=sys.stderr)
        return 2
    try:
        server.start()
    except OSError as exc:
        print("error: cannot listen on %s:%d: %s" % (args.host, args.port, exc), file=sys.stderr)
        return 2
    print(server.base_url, flush=True)
    print("serving %d scripted replies; Ctrl-C to stop" % server.remaining, file=sys.stderr, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0
