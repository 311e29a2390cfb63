"""Request bodies over HTTP/2 on granian, where a body may come without content-length or
transfer-encoding: the layer must still read it (only HTTP/1.x ties a body to those)."""
import json
from pathlib import Path

import pytest

httpx = pytest.importorskip("httpx")
pytest.importorskip("h2")
pytest.importorskip("granian")

from servers import serving  # noqa: E402

APPS = Path(__file__).resolve().parent / "apps"
ITEMS = list(range(60000))  # about 400 KB of JSON: many DATA frames, many receive() messages
BODY = json.dumps(ITEMS).encode()


@pytest.fixture(scope="module")
def h2_client():
    with serving("body_echo:app", server="granian", app_dir=APPS, extra=["--http", "2"]) as served:
        # prior knowledge h2c: http2 only, on plain http
        with httpx.Client(base_url=served.url, http1=False, http2=True, timeout=20) as client:
            yield client


def streamed():  # a generator: httpx sends no content-length, and h2 no transfer-encoding
    yield BODY


@pytest.mark.parametrize("content, framing", [(streamed, []), (lambda: BODY, ["content-length"])],
                         ids=["a streamed body with no length header arrives whole",
                              "a body with content-length arrives whole"])
def test_http2_body_reaches_the_handler(h2_client, content, framing):
    r = h2_client.post("/echo", content=content())
    assert (r.http_version, r.status_code) == ("HTTP/2", 200), r.text
    assert r.json() == {"count": len(ITEMS), "last": ITEMS[-1], "framing": framing}
