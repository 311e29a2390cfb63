"""Tells what arrived of a JSON request body, and which headers framed it."""
from typing import Any

import calvenor

app = calvenor.App(max_body_size=8 << 20)


@app.post("/echo")
def echo(req: dict[str, Any]) -> dict[str, Any]:
    r = calvenor.request(req)
    items = r.json()
    return {
        "count": len(items),
        "last": items[-1] if items else None,
        "framing": [h for h in ("content-length", "transfer-encoding") if r.get_header(h) is not None],
    }
