"""`StaticFiles`: an ASGI app serving the files under one directory, and nothing else."""
import os
import stat
from urllib.parse import quote

from .asgi import Receive, Scope, Send, route_path, send_plain
from .files import FileResponse

# Escapes that decode to a separator or NUL: no file name under the directory holds one.
_SMUGGLED = (b"%2f", b"%2F", b"%5c", b"%5C", b"%00")


class StaticFiles:
    """Serve files under `directory` for GET and HEAD (405 for other methods).

    With `html=True`, a directory answers its `index.html`; a directory asked for without its
    trailing slash is redirected (307) to the slash form, so relative links in the page
    resolve, and what is not found answers the directory's `404.html` (status 404) when it
    has one. Directories are never listed. A path that leaves the directory in any way
    (`..`, encoded separators, backslashes, NUL, symlinks pointing outside) answers 404, as
    does a file that is not there. Mounted, the file path is the request path past the
    mount's root_path."""

    def __init__(self, directory: str | os.PathLike[str], html: bool = False) -> None:
        self.directory = os.path.realpath(directory)
        if not os.path.isdir(self.directory):
            raise ValueError(f"StaticFiles directory {os.fspath(directory)!r} is not a directory")
        self.html = html
        self._inside = self.directory.rstrip(os.sep) + os.sep

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            if scope["type"] == "websocket":
                await receive()
                await send({"type": "websocket.close", "code": 1000})
            return
        method = scope["method"]
        if method not in ("GET", "HEAD"):
            body = b"Method Not Allowed"
            await send({"type": "http.response.start", "status": 405, "headers": [
                (b"allow", b"GET, HEAD"), (b"content-type", b"text/plain; charset=utf-8"),
                (b"content-length", b"%d" % len(body))]})
            await send({"type": "http.response.body", "body": body})
            return
        path = route_path(scope)
        parts = self._parts(path, scope.get("raw_path"))
        found = None if parts is None else self._find(parts)
        if parts is None or found is None:
            return await self._not_found(scope, receive, send)
        full, st = found
        if stat.S_ISDIR(st.st_mode):
            if not self.html:
                return await self._not_found(scope, receive, send)
            if not path.endswith("/"):
                return await self._redirect_to_slash(scope, send)
            # Looked up like any file: an index.html that is a symlink out is not served.
            found = self._find([*parts, "index.html"])
            if found is None:
                return await self._not_found(scope, receive, send)
            full, st = found
        if not stat.S_ISREG(st.st_mode):
            return await self._not_found(scope, receive, send)
        await FileResponse(full, stat_result=st)(scope, receive, send)

    async def _not_found(self, scope: Scope, receive: Receive, send: Send) -> None:
        if self.html:
            # Looked up like any file: a 404.html that is a symlink out is not served.
            found = self._find(["404.html"])
            if found is not None and stat.S_ISREG(found[1].st_mode):
                return await FileResponse(found[0], 404, stat_result=found[1])(scope, receive, send)
        await send_plain(send, 404, "Not Found")

    def lookup(self, path: str, raw_path: bytes | None = None) -> tuple[str, os.stat_result] | None:
        """The real path and stat of what `path` names under the directory, or None when it
        names nothing there."""
        parts = self._parts(path, raw_path)
        return None if parts is None else self._find(parts)

    @staticmethod
    def _parts(path: str, raw_path: bytes | None) -> list[str] | None:
        if "\\" in path or "\x00" in path:
            return None
        if raw_path is not None and b"%" in raw_path and any(escape in raw_path for escape in _SMUGGLED):
            return None
        parts = [part for part in path.split("/") if part and part != "."]
        return None if ".." in parts else parts

    def _find(self, parts: list[str]) -> tuple[str, os.stat_result] | None:
        # Walked one name at a time from the resolved root: a path without symlinks is its
        # own real path, which saves resolving the root's ancestors on every request.
        try:
            if not parts:
                return self.directory, os.stat(self.directory)
            full, prefix = self.directory, self._inside
            for i, part in enumerate(parts):
                full = prefix + part
                st = os.lstat(full)
                if stat.S_ISLNK(st.st_mode):
                    return self._resolve(os.path.join(full, *parts[i + 1:]))
                prefix = full + os.sep
            return full, st
        except (OSError, ValueError):
            return None

    def _resolve(self, path: str) -> tuple[str, os.stat_result] | None:
        full = os.path.realpath(path)
        # Both sides are resolved, so a prefix test up to a separator is a containment test.
        if full != self.directory and not full.startswith(self._inside):
            return None  # a symlink led out of the directory
        return full, os.stat(full)

    @staticmethod
    async def _redirect_to_slash(scope: Scope, send: Send) -> None:
        # The mount convention leaves the full path in scope["path"]. One leading slash: "//host/"
        # would send the browser to another site.
        location = "/" + quote(scope["path"].lstrip("/"), errors="surrogateescape") + "/"
        query: bytes = scope.get("query_string", b"")
        if query:
            location += "?" + query.decode("latin-1")
        await send({"type": "http.response.start", "status": 307, "headers": [
            (b"location", location.encode("latin-1")), (b"content-length", b"0")]})
        await send({"type": "http.response.body", "body": b""})
