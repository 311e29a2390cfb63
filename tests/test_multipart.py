"""Request.parse_multipart: forgiving multipart/form-data decoding into (fields, files)."""
import pytest

from calvenor._core import Request
from conftest import NOT_WHITE_SPACE, WHITE_SPACE, case


def parse(body, boundary="B"):
    r = Request("POST", "/", "")
    if body is not None:
        r.set_body(body)
    return r.parse_multipart(boundary)


def part(headers, data, delim=b"--B"):
    if isinstance(data, str):
        data = data.encode()
    block = b"\r\n".join(h.encode() if isinstance(h, str) else h for h in headers)
    return delim + b"\r\n" + block + b"\r\n\r\n" + data + b"\r\n"


def form(*parts, delim=b"--B"):
    return b"".join(parts) + delim + b"--\r\n"


CD = "Content-Disposition: form-data; "

MULTIPART_CASES = [
    case("no body", None, {}, {}),
    case("two fields of one name", form(part([CD + "name=a"], "1"), part([CD + "name=a"], "2")),
         {"a": ["1", "2"]}, {}),
    case("a file with a content type", form(part([CD + 'name="f"; filename="x.txt"', "Content-Type: text/plain"], "data")),
         {}, {"f": [("x.txt", "text/plain", b"data")]}),
    case("a part without a name is left out", form(part([CD + 'filename="x"'], "d"), part([CD + "name=b"], "2")),
         {"b": ["2"]}, {}),
    case("header names and parameter keys are lowercased", form(part(["CONTENT-DISPOSITION: form-data; NAME=a"], "v")),
         {"a": ["v"]}, {}),
    case("the inner text of quotes is not trimmed", form(part([CD + 'name=" a "'], "v")), {" a ": ["v"]}, {}),
    case("backslashes in quotes stay", form(part([CD + 'name="f"; filename="C:\\x\\"'], "d")),
         {}, {"f": [("C:\\x\\", "", b"d")]}),
    case("an extended filename is percent-decoded", form(part([CD + "name=f; filename*=UTF-8''%E2%82%AC.txt"], "d")),
         {}, {"f": [("€.txt", "", b"d")]}),
    case("a language tag keeps the prefix", form(part([CD + "name=f; filename*=UTF-8'en'%41"], "d")),
         {}, {"f": [("UTF-8'en'A", "", b"d")]}),
    case("a later extended filename wins", form(part([CD + "name=f; filename=a.txt; filename*=UTF-8''b.txt"], "d")),
         {}, {"f": [("b.txt", "", b"d")]}),
    case("a later plain filename wins", form(part([CD + "name=f; filename*=UTF-8''b.txt; filename=a.txt"], "d")),
         {}, {"f": [("a.txt", "", b"d")]}),
    case("a broken percent escape is copied under any key case",
         form(part([CD + "name=f; FileName*=''%41%4%zz+"], "d")),
         {}, {"f": [("A%4%zz+", "", b"d")]}),
    case("an extended filename decodes bytes lossily", form(part([CD + "name=f; filename*=''%FFa"], "d")),
         {}, {"f": [("\ufffda", "", b"d")]}),
    case("a quoted extended filename is unquoted first", form(part([CD + "name=f; filename*=\"UTF-8''q%20r\""], "d")),
         {}, {"f": [("q r", "", b"d")]}),
    case("a body without any delimiter is one part",
         ("Content-Disposition: form-data; name=solo\r\n\r\nvalue").encode(), {"solo": ["value"]}, {}),
    case("UTF-8 in a field is decoded and invalid bytes become replacement",
         form(part([CD + "name=a"], b"caf\xc3\xa9 x\xffy")), {"a": ["caf\u00e9 x\ufffdy"]}, {}),
    case("invalid UTF-8 in header values becomes replacement",
         form(part([CD.encode() + b"name=x-\xff; filename=\xe9", b"Content-Type: \xc3("], "")),
         {}, {"x-\ufffd": [("\ufffd", "\ufffd(", b"")]}),
    case("the last content type wins and keeps case and parameters",
         form(part([CD + "name=f; filename=n", "Content-Type: a/b", "content-type:  Text/Plain; x=a:b "], "d")),
         {}, {"f": [("n", "Text/Plain; x=a:b", b"d")]}),
    case("a later disposition line clears an earlier name",
         form(part([CD + "name=a", "Content-Disposition: form-data; filename=x"], "d")), {}, {}),
    case("the disposition type is not examined",
         form(part(["Content-Disposition: attachment; name=a"], "d"), part(["Content-Disposition: name=b"], "e")),
         {"a": ["d"], "b": ["e"]}, {}),
    case("a name used for a field and a file goes to both dictionaries",
         form(part([CD + "name=a"], "1"), part([CD + "name=a; filename=f"], "2")),
         {"a": ["1"]}, {"a": [("f", "", b"2")]}),
    case("a piece starting with CR LF and two hyphens is not an end",
         b"--B\r\n--\r\nContent-Disposition: form-data; name=z\r\n\r\nv\r\n--B--", {"z": ["v"]}, {}),
    case("a one-byte piece is skipped", b"--Bx--B\r\nContent-Disposition: form-data; name=a\r\n\r\nv\r\n--B--",
         {"a": ["v"]}, {}),
    case("a piece of two hyphens ends the parse even before any part", b"----B" + part([CD + "name=a"], "v")[3:],
         {}, {}),
    case("delimiters are found leftmost and without overlap",
         b"--xx--xx\r\nContent-Disposition: form-data; name=a\r\n\r\nv\r\n--xx--".replace(b"xx", b"B"), {"a": ["v"]}, {}),
    case("an empty part name is still a name", form(part([CD + 'name=""'], "v")), {"": ["v"]}, {}),
    case("a delimiter need not follow a line break", b"x--B" + part([CD + "name=a"], "v")[3:] + b"--B--",
         {"a": ["v"]}, {}),
    case("a closing delimiter without CR LF ends the parse", form(part([CD + "name=a"], "1"))[:-2] + b"garbage"
         + part([CD + "name=b"], "2"), {"a": ["1"]}, {}),
    case("a preamble that looks like a part is read",
         (CD + "name=a\r\n\r\npre\r\n").encode() + form(part([CD + "name=b"], "1")),
         {"a": ["pre"], "b": ["1"]}, {}),
    case("a second leading CR LF is an empty header line", b"--B\r\n\r\n" + (CD + "name=a\r\n\r\nv\r\n--B--").encode(),
         {"a": ["v"]}, {}),
    case("escapes before the quotes are dropped with them", form(part([CD + "name=f; filename*=%41''x''%42"], "d")),
         {}, {"f": [("x''B", "", b"d")]}),
]


@pytest.mark.parametrize("body, fields, files", MULTIPART_CASES)
def test_parse(body, fields, files):
    got_fields, got_files = result = parse(body)
    assert type(result) is tuple and len(result) == 2
    assert got_fields == fields and list(got_fields) == list(fields)
    assert got_files == files and list(got_files) == list(files)
    uploads = [upload for each in got_files.values() for upload in each]
    assert all(type(u) is tuple and [type(x) for x in u] == [str, str, bytes] for u in uploads)


def test_unicode_white_space_is_trimmed_around_header_names_values_and_parameters_and_nothing_else():
    ws = WHITE_SPACE.replace("\r", "").replace("\n", "")
    line = ws + "Content-Disposition" + ws + ":" + ws + "form-data;" + ws + "name" + ws + "=" + ws + "a" + ws
    assert parse(form(part([line.encode()], "v"))) == ({"a": ["v"]}, {})
    for ch in NOT_WHITE_SPACE:
        assert parse(form(part([(CD + "name=" + ch + "a" + ch).encode()], "v"))) == ({ch + "a" + ch: ["v"]}, {})


def test_keys_keep_the_position_of_their_first_part():
    body = form(*[
        part([CD + "name=" + name + ("; filename=f" if is_file else "")], data)
        for name, is_file, data in [("z", 0, "1"), ("y", 1, "2"), ("a", 0, "3"), ("z", 0, "4"), ("x", 1, "5"), ("y", 1, "6")]
    ])
    fields, files = parse(body)
    assert list(fields.items()) == [("z", ["1", "4"]), ("a", ["3"])]
    assert list(files.items()) == [("y", [("f", "", b"2"), ("f", "", b"6")]), ("x", [("f", "", b"5")])]


def test_unusual_boundaries():
    body = b"--\r\nContent-Disposition: form-data; name=a\r\n\r\nx\r\n--\r\nContent-Disposition: form-data; name=b\r\n\r\ny--z\r\n"
    assert parse(body, "") == ({"a": ["x"], "b": ["y"]}, {})  # every double hyphen splits
    assert parse(b"----\r\n" + (CD + "name=a\r\n\r\nv\r\n------\r\n").encode(), "--") == ({"a": ["v"]}, {})
    delim = "--é".encode()
    assert parse(form(part([CD + "name=a"], "1", delim=delim), delim=delim), "é") == ({"a": ["1"]}, {})


def test_results_are_new_objects_and_the_stored_body_is_kept():
    r = Request("POST", "/", "")
    r.set_body(bytearray(form(part([CD + "name=f; filename=x"], "data"))))
    first, second = r.parse_multipart("B"), r.parse_multipart(boundary="B")
    assert first == second == ({}, {"f": [("x", "", b"data")]})
    assert first[1] is not second[1]


def test_header_bytes_decode_like_the_interpreters_replace_handler():
    # maximal subparts of broken sequences each become one U+FFFD, past a long ASCII run
    raw = (b"plain ascii, long enough for the word loop \xe2\x82x\xe0\x80\x80\xed\xa0\x80\xf0\x9f\x98\xf4\x90\x80\x80"
           b"\xc0\xaf\xf0\x80\xffa\xf1\x80\x80\xe1\x80\xc2 caf\xc3\xa9 \xf0\x9f\x98\x80\xed\x9f\xbf\xee\x80\x80\xf4\x8f\xbf\xbf")
    assert parse(form(part([CD.encode() + b"name=f; filename=" + raw], "d"))) == (
        {}, {"f": [(raw.decode("utf-8", "replace"), "", b"d")]})
