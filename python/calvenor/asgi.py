"""ASGI plumbing that is not about one response: request bodies, plain replies, the path
text, lifespan events."""
import contextlib
import enum
import inspect
import logging
from collections.abc import AsyncIterator, Awaitable, Callable, MutableMapping, Sequence
from typing import Any, Final, TypeAlias

log = logging.getLogger("calvenor")

# ASGI scopes and messages are plain dicts whose keys depend on their "type".
Scope: TypeAlias = MutableMapping[str, Any]
Message: TypeAlias = MutableMapping[str, Any]
Receive: TypeAlias = Callable[[], Awaitable[Message]]
Send: TypeAlias = Callable[[Message], Awaitable[None]]
# A start-up or shutdown hook: sync, or returning an awaitable.
Hook: TypeAlias = Callable[[], object]
# Opens the app's lifespan: its `lifespan(app)` factory bound to the app.
LifespanOpener: TypeAlias = Callable[[], contextlib.AbstractAsyncContextManager[object]]


# An enum member, so that `x is TOO_LARGE` narrows for type checkers.
class _TooLarge(enum.Enum):
    TOO_LARGE = enum.auto()


TOO_LARGE: Final = _TooLarge.TOO_LARGE


def declared_too_large(value: bytes, limit: int) -> bool:
    try:
        return int(value) > limit
    except ValueError:
        return False  # the server frames the body; the received size is checked anyway


async def read_rest(receive: Receive, first: bytes, limit: int) -> bytes | _TooLarge | None:
    """The rest of a body sent in several messages: the whole body, TOO_LARGE as soon as
    it passes the limit, or None when the client disconnects."""
    chunks: list[bytes] = [first]
    size = len(first)
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            return None
        chunk: bytes = message.get("body", b"")
        size += len(chunk)
        if size > limit:
            return TOO_LARGE
        chunks.append(chunk)
        if not message.get("more_body"):
            return b"".join(chunks)


def lenient_path(path: str) -> str:
    """A path the core can take. Servers that keep undecodable bytes as surrogate escapes get
    those bytes back and decoded with U+FFFD; other lone surrogates become U+FFFD too."""
    try:
        path.encode("utf-8")
        return path
    except UnicodeEncodeError:
        pass
    try:
        raw = path.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        raw = path.encode("utf-8", "surrogatepass")
    return raw.decode("utf-8", "replace")


async def send_plain(send: Send, status: int, text: str) -> None:
    body = text.encode()
    await send({
        "type": "http.response.start",
        "status": status,
        "headers": [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", b"%d" % len(body))],
    })
    await send({"type": "http.response.body", "body": body})


async def run_hooks(hooks: Sequence[Hook]) -> None:
    for hook in hooks:
        result = hook()
        if inspect.isawaitable(result):
            await result


@contextlib.asynccontextmanager
async def hooks_within(lifespan: LifespanOpener | None, startup: Sequence[Hook],
                       shutdown: Sequence[Hook]) -> AsyncIterator[None]:
    """The hooks of each phase, inside the app's lifespan when it has one: its resources are
    there before the start-up hooks run and until the shutdown hooks are done."""
    async with contextlib.nullcontext() if lifespan is None else lifespan():
        await run_hooks(startup)
        yield
        await run_hooks(shutdown)


async def run_lifespan(receive: Receive, send: Send, startup: Sequence[Hook], shutdown: Sequence[Hook],
                       lifespan: LifespanOpener | None = None) -> None:
    """Answer lifespan events: enter the lifespan and run the start-up hooks in order, then
    run the shutdown hooks and leave it."""
    phases = hooks_within(lifespan, startup, shutdown)
    started = False
    try:
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                phase = "startup"
            elif message["type"] == "lifespan.shutdown":
                phase = "shutdown"
            else:
                continue
            try:
                if phase == "startup":
                    await phases.__aenter__()
                    started = True
                elif started:
                    started = False
                    await phases.__aexit__(None, None, None)
            except Exception as exc:
                log.exception("lifespan %s failed", phase)
                await send({"type": f"lifespan.{phase}.failed", "message": repr(exc)})
                return
            await send({"type": f"lifespan.{phase}.complete"})
            if phase == "shutdown":
                return
    except BaseException as exc:
        # Cancelled between the phases: the lifespan's resources are still released.
        if started:
            await phases.__aexit__(type(exc), exc, exc.__traceback__)
        raise

# Any ASGI application: a mounted app, or the app a middleware wraps.
ASGIApp: TypeAlias = Callable[[Scope, Receive, Send], Awaitable[None]]


def path_root(scope: Scope) -> str:
    """The root_path in front of the scope's path, which routes do not see; "" when the path
    is not under it (servers before the ASGI convention leave the root out of the path)."""
    root = scope.get("root_path", "")
    if root and type(root) is str:
        path: str = scope["path"]
        if path.startswith(root) and (len(path) == len(root) or path[len(root)] == "/" or root[-1] == "/"):
            return root
    return ""


def route_path(scope: Scope) -> str:
    """The path routes match: the part below the root_path. The root itself gives "", which
    no route takes: with slash redirects on, it goes to root_path + "/". A root given with
    its trailing slash ("/", "/api/") leaves the rest its leading one."""
    path: str = scope["path"]
    root = path_root(scope)
    if not root:
        return path
    rest = path[len(root):]
    return rest if root[-1] != "/" or rest.startswith("/") else "/" + rest


def mount_scope(scope: Scope, prefix: str) -> Scope:
    """The scope a mounted app gets: root_path grows by the mount's prefix (matched against
    the route path), path stays whole."""
    for_mount = dict(scope)
    root = scope.get("root_path", "")
    if root and type(root) is str:
        # The whole path as the convention has it: the root (once, and in front even when the
        # server left it out), then the path below it.
        root = root.rstrip("/")
        for_mount["path"] = root + route_path(scope)
    for_mount["root_path"] = root + prefix
    return for_mount


def refused_header_lists(exc: TypeError, headers: Any) -> bool:
    """Did the core refuse the server's header pairs because they are not tuples?"""
    return str(exc).startswith("argument 'raw_headers'") and any(type(p) is not tuple for p in headers)
