"""Who may use the server, and what every response says to the browser.

- **The token.** On any address but loopback every request needs the token
  (VELTO_SERVE_TOKEN, or one made at start and printed once in a link). The
  link's ``?token=`` is exchanged for a cookie and taken out of the address
  bar; scripts may send ``Authorization: Bearer TOKEN`` instead. Without it,
  every path is refused, the page and its files included.
- **Loopback without a token** answers only to a loopback host name, so
  that a web site whose name its owner points at 127.0.0.1 (DNS rebinding)
  cannot read the page as its own.
- **Cross-site requests.** A request that changes anything (any method but
  GET and HEAD) must come from the page itself: its Origin, when sent, is
  this server's; a browser's Sec-Fetch-Site, when sent, says same-origin;
  and its body is JSON, which a form of another site cannot send without
  asking first (and nobody answers that question here).
- **Headers on every response**: a Content-Security-Policy that runs only
  the page's own script file (no inline script, no eval, nothing from
  elsewhere), images and connections only from this server, no framing;
  no sniffing of content types; no referrer.
"""

from __future__ import annotations

import hashlib
import hmac
import ipaddress
from typing import Iterable, List, Optional, Tuple
from urllib.parse import parse_qsl, urlencode, urlsplit

from starlette.datastructures import Headers
from starlette.responses import PlainTextResponse, Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

CONTENT_SECURITY_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                           "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'")
SECURITY_HEADERS: List[Tuple[bytes, bytes]] = [
    (b"content-security-policy", CONTENT_SECURITY_POLICY.encode()),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
    (b"x-frame-options", b"DENY"),
    (b"cross-origin-opener-policy", b"same-origin"),
    (b"cross-origin-resource-policy", b"same-origin"),
]
SAFE_METHODS = ("GET", "HEAD")
COOKIE_DAYS = 30
NEEDS_TOKEN = ("This server needs its access token. Open the link it printed when it started "
               "(it ends in ?token=...), or send the header Authorization: Bearer TOKEN.\n")
LOOPBACK_NAMES = ("localhost",)


def is_loopback(host: str) -> bool:
    """Whether an address (or host name) to bind or to be reached by is this machine's loopback."""
    name = host.strip("[]").lower()
    if name in LOOPBACK_NAMES or name.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


def cookie_name(token: str) -> str:
    """One cookie per token, so that two servers on one host keep theirs apart."""
    return "velto_serve_" + hashlib.sha256(token.encode()).hexdigest()[:12]


class Access:
    """ASGI middleware: the rules above, before the application sees a request."""

    def __init__(self, app: ASGIApp, token: Optional[str]) -> None:
        self.app = app
        self.token = token
        self.cookie = cookie_name(token) if token else ""

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                message["headers"] = list(message.get("headers", [])) + SECURITY_HEADERS
            await send(message)

        refused = self._refusal(scope)
        if refused is not None:
            await refused(scope, receive, send_with_headers)
            return
        await self.app(scope, receive, send_with_headers)

    def _refusal(self, scope: Scope) -> Optional[Response]:
        headers = Headers(scope=scope)
        if self.token is None:
            if not is_loopback(_host_name(headers.get("host", ""))):
                return _refuse(403, "This server answers on its loopback address only (localhost, 127.0.0.1).\n")
        else:
            given = self._token_given(scope, headers)
            if given == "link":
                return self._exchange(scope)
            if given is None:
                return _refuse(401, NEEDS_TOKEN)
        if scope["method"] not in SAFE_METHODS:
            return _cross_site(scope, headers)
        return None

    def _token_given(self, scope: Scope, headers: Headers) -> Optional[str]:
        """"link" when the token came in the address, "yes" by cookie or header, else None."""
        assert self.token is not None
        if scope["method"] == "GET" and self._matches(_query_token(scope)):
            return "link"
        authorization = headers.get("authorization", "")
        if authorization[:7].lower() == "bearer " and self._matches(authorization[7:].strip()):
            return "yes"
        for name, value in _cookies(headers):
            if name == self.cookie and self._matches(value):
                return "yes"
        return None

    def _matches(self, given: Optional[str]) -> bool:
        return given is not None and self.token is not None and hmac.compare_digest(
            given.encode("utf-8", "replace"), self.token.encode("utf-8"))

    def _exchange(self, scope: Scope) -> Response:
        """The token from the link becomes a cookie, and leaves the address."""
        assert self.token is not None
        query = [(name, value) for name, value in parse_qsl(scope.get("query_string", b"").decode("latin-1"))
                 if name != "token"]
        last = scope["path"].rsplit("/", 1)[-1]
        location = (last or "./") + ("?" + urlencode(query) if query else "")
        response = Response(status_code=303, headers={"location": location, "cache-control": "no-store"})
        response.set_cookie(self.cookie, self.token, max_age=COOKIE_DAYS * 86400, path="/", httponly=True,
                            samesite="lax", secure=scope.get("scheme") == "https")
        return response


def _cross_site(scope: Scope, headers: Headers) -> Optional[Response]:
    origin = headers.get("origin")
    host = headers.get("host", "")
    if origin is not None and (origin == "null" or urlsplit(origin).netloc.lower() != host.lower()):
        return _refuse(403, "Refused: this request came from another site (%s).\n" % origin[:200])
    fetch_site = headers.get("sec-fetch-site")
    if fetch_site is not None and fetch_site != "same-origin":
        return _refuse(403, "Refused: this request came from another site.\n")
    if scope["method"] == "POST" and headers.get("content-type", "").split(";")[0].strip() != "application/json":
        return _refuse(415, "Refused: send JSON (Content-Type: application/json).\n")
    return None


def _refuse(status: int, text: str) -> Response:
    return PlainTextResponse(text, status_code=status, headers={"cache-control": "no-store"})


def _host_name(host: str) -> str:
    if host.startswith("["):
        return host[1:].split("]")[0]
    return host.rsplit(":", 1)[0] if host.count(":") == 1 else host


def _query_token(scope: Scope) -> Optional[str]:
    for name, value in parse_qsl(scope.get("query_string", b"").decode("latin-1")):
        if name == "token":
            return value
    return None


def _cookies(headers: Headers) -> Iterable[Tuple[str, str]]:
    for header in headers.getlist("cookie"):
        for part in header.split(";"):
            name, _, value = part.strip().partition("=")
            yield name, value
