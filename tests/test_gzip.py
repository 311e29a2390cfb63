import gzip
import random
import struct
import zlib

import pytest

from calvenor._core import CalvenorApp

HEADER = bytes.fromhex("1f8b08000000000004ff")


def compress(data):
    return CalvenorApp().gzip_compress(data)


@pytest.mark.parametrize("data", [
    pytest.param(b"", id="empty input"),
    pytest.param(b"".join(b"row %d: %s\n" % (i, b"x" * (i % 50)) for i in range(30000)),
                 id="text larger than one output chunk"),
    pytest.param(random.Random(5).randbytes(200_000), id="incompressible bytes"),
])
def test_member_layout_and_round_trip(data):
    out = compress(data)
    assert type(out) is bytes and out[:10] == HEADER
    assert out[-8:] == struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)
    assert gzip.decompress(out) == data
    d = zlib.decompressobj(-15)  # the deflate stream ends exactly before the trailer
    assert d.decompress(out[10:-8]) + d.flush() == data and d.eof and d.unused_data == b""
