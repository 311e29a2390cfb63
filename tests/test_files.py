import os
from email.utils import formatdate

import pytest
from conftest import case
from fake_asgi import body_of, finished, http_scope, run

from calvenor.files import FileResponse

DATA = bytes(range(256)) * 400  # 102400 bytes: more than one chunk


@pytest.fixture
def path(tmp_path):
    p = tmp_path / "data.bin"
    p.write_bytes(DATA)
    return p


def get(path, headers=(), method="GET", **kwargs):
    sent = run(FileResponse(path, **kwargs), http_scope(method=method, headers=headers))
    return sent[0]["status"], dict(sent[0]["headers"]), body_of(sent)


@pytest.mark.parametrize("value, status, content_range, first, last", [
    case("closed range", "bytes=0-9", 206, "bytes 0-9/102400", 0, 9),
    case("open range", "bytes=100000-", 206, "bytes 100000-102399/102400", 100000, 102399),
    case("suffix range", "bytes=-5", 206, "bytes 102395-102399/102400", 102395, 102399),
    case("suffix longer than the file", "bytes=-200000", 206, "bytes 0-102399/102400", 0, 102399),
    case("end past the file is clamped", "bytes=102390-999999", 206, "bytes 102390-102399/102400",
         102390, 102399),
    case("start at the size is unsatisfiable", "bytes=102400-", 416, "bytes */102400", 0, -1),
    case("empty suffix is unsatisfiable", "bytes=-0", 416, "bytes */102400", 0, -1),
    case("reversed range is ignored", "bytes=5-1", 200, None, 0, 102399),
    case("several ranges send the whole file", "bytes=0-1,5-6", 200, None, 0, 102399),
    case("junk is ignored", "bytes=abc", 200, None, 0, 102399),
    case("a huge number is ignored without raising", "bytes=" + "9" * 5000 + "-", 200, None, 0, 102399),
])
def test_range_requests(path, value, status, content_range, first, last):
    got_status, headers, body = get(path, [(b"range", value.encode())])
    assert got_status == status
    assert headers.get(b"content-range") == (content_range and content_range.encode())
    assert body == DATA[first:last + 1]
    assert headers[b"content-length"] == b"%d" % len(body)


@pytest.mark.parametrize("make_header, status", [
    case("matching etag", lambda etag, _: (b"if-none-match", etag), 304),
    case("weak etag in a list", lambda etag, _: (b"if-none-match", b'"x", W/' + etag), 304),
    case("other etag", lambda etag, _: (b"if-none-match", b'"other"'), 200),
    case("not modified since", lambda _, t: (b"if-modified-since", formatdate(t, usegmt=True).encode()), 304),
    case("modified since", lambda _, t: (b"if-modified-since", formatdate(t - 10, usegmt=True).encode()),
         200),
    case("impossible date is ignored", lambda _, t: (b"if-modified-since", b"Sun, 99 Foo 99999 99:99:99 GMT"),
         200),
])
def test_conditional_requests(path, make_header, status):
    _, headers, _ = get(path)
    got_status, headers, body = get(path, [make_header(headers[b"etag"], os.stat(path).st_mtime)])
    assert got_status == status
    if status == 304:
        assert body == b"" and b"content-length" not in headers and b"etag" in headers


def test_the_etag_changes_when_the_file_changes(path):
    before = get(path)[1][b"etag"]
    path.write_bytes(DATA[:-1])
    assert get(path)[1][b"etag"] != before


@pytest.mark.parametrize("filename, disposition", [
    case("plain name", "report.pdf", b'attachment; filename="report.pdf"'),
    case("quotes are escaped", 'a "b".txt', b'attachment; filename="a \\"b\\".txt"'),
    case("non-ASCII uses filename*", "résumé.txt", b"attachment; filename*=UTF-8''r%C3%A9sum%C3%A9.txt"),
])
def test_filename_sets_content_disposition_and_the_type(path, filename, disposition):
    headers = get(path, filename=filename)[1]
    assert headers[b"content-disposition"] == disposition
    assert headers[b"content-type"].split(b";")[0] in (b"application/pdf", b"text/plain")


def test_a_large_file_goes_out_in_bounded_chunks(path):
    response = FileResponse(path)
    response.chunk_size = 4096
    sent = run(response, http_scope())
    assert body_of(sent) == DATA and finished(sent)
    assert max(len(m["body"]) for m in sent[1:]) == 4096


def test_pathsend_is_used_when_the_server_offers_it_for_a_whole_file(path):
    scope = http_scope(extensions={"http.response.pathsend": {}})
    assert run(FileResponse(path), scope)[1] == {"type": "http.response.pathsend", "path": str(path)}
    ranged = http_scope(headers=[(b"range", b"bytes=0-0")], extensions={"http.response.pathsend": {}})
    assert body_of(run(FileResponse(path), ranged)) == DATA[:1]


def test_a_missing_file_answers_404(tmp_path):
    assert get(tmp_path / "nope")[0] == 404
    assert get(tmp_path)[0] == 404


def test_clients_that_stop_reading_hold_no_thread_and_every_descriptor_closes(path):
    import asyncio
    import threading

    from calvenor.files import FILE_THREADS

    async def stalled(sent):  # takes the start and one chunk, then never finishes a send
        if len(sent) >= 2:
            await asyncio.Event().wait()
        sent.append(1)

    async def main():
        fds = len(os.listdir("/proc/self/fd"))
        tasks = []
        for _ in range(4 * FILE_THREADS):
            response = FileResponse(path)
            response.chunk_size = 4096
            sent = []
            receive = asyncio.Event().wait  # the client never leaves on its own
            tasks.append(asyncio.ensure_future(response(http_scope(), receive, lambda m, s=sent: stalled(s))))
        await asyncio.sleep(0.2)
        readers = [t for t in threading.enumerate() if t.name.startswith("calvenor-file")]
        assert len(readers) <= FILE_THREADS and not any(t.done() for t in tasks)
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        for _ in range(100):  # a read still in flight closes its descriptor when it ends
            if len(os.listdir("/proc/self/fd")) == fds:
                break
            await asyncio.sleep(0.05)
        assert len(os.listdir("/proc/self/fd")) == fds

    asyncio.run(main())
