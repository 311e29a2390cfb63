import gzip
import os
import random
import shutil
import struct
import subprocess
import zlib

import pytest

from calvenor._core import CalvenorApp

HEADER = bytes.fromhex("1f8b08000000000004ff")


def compress(data):
    return CalvenorApp().gzip_compress(data)


def sample_inputs():
    rnd = random.Random(5)
    text = b"".join(b"row %d: %s\n" % (i, b"x" * (i % 50)) for i in range(30000))
    noise = rnd.randbytes(200_000)
    return [
        pytest.param(b"", id="empty input"),
        pytest.param(b"a", id="one byte"),
        pytest.param(b"hello " * 1000, id="repetitive text"),
        pytest.param(text, id="text larger than one output chunk"),
        pytest.param(noise, id="incompressible bytes"),
    ]


@pytest.mark.parametrize("data", sample_inputs())
def test_member_layout_and_round_trip(data):
    out = compress(data)
    assert type(out) is bytes and out[:10] == HEADER
    assert out[-8:] == struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)
    assert gzip.decompress(out) == data
    d = zlib.decompressobj(-15)  # the deflate stream ends exactly before the trailer
    assert d.decompress(out[10:-8]) + d.flush() == data and d.eof and d.unused_data == b""


def test_empty_input_ends_in_eight_zero_bytes():
    assert compress(b"")[-8:] == bytes(8)


@pytest.mark.skipif(shutil.which("gzip") is None, reason="no gzip command")
def test_gzip_command_accepts_the_member(tmp_path):
    path = tmp_path / "body.gz"
    path.write_bytes(compress(os.urandom(1000) + b"abc" * 50000))
    subprocess.run(["gzip", "-t", str(path)], check=True)


@pytest.mark.parametrize(
    "data",
    [bytearray(b"\x00\x01\xffabc"), [0, 1, 255, 97, 98, 99], (0, 1, 255, 97, 98, 99)],
    ids=["bytearray equals bytes", "list of ints equals bytes", "tuple of ints equals bytes"],
)
def test_byte_sequences_give_same_output_as_bytes(data):
    assert compress(data) == compress(b"\x00\x01\xffabc")


@pytest.mark.parametrize(
    "data,exc_type,message",
    [
        ("text", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        ([1, 256], OverflowError, "out of range integral type conversion attempted"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        (3, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'data': 'NoneType' object cannot be converted to 'Sequence'"),
    ],
    ids=["str is refused", "item above 255 overflows", "negative item overflows", "int is refused", "none is refused"],
)
def test_refused_arguments(data, exc_type, message):
    with pytest.raises(exc_type) as info:
        compress(data)
    assert type(info.value) is exc_type and str(info.value) == message
