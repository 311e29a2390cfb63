"""Builds a few responses with the native core and prints what a server would send."""
import calvenor._core as core

responses = {
    "text": core.Response.text("hello, world", None),
    "json": core.Response.json({"user": {"id": 42, "bio": "<b>likes</b> tea & cake", "tags": ["a", "b"]}}, 201),
    "raw": core.Response(b"\x00\x01binary", 200, "application/octet-stream"),
}

for name, r in responses.items():
    print(f"{name:5} status={r.status} content_type={r.content_type!r} body={r.body!r}")
