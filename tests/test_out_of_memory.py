"""An allocation that fails inside the module raises MemoryError and leaves it usable."""
import os
import pathlib
import subprocess
import sys

import pytest

import calvenor

# Fails the k-th allocation of an encoding, k = 0, 1, 2, ... until one succeeds: the first
# encoding of a dataclass interns the attribute names that describe fields, and a name
# whose interning failed must be made again later, never used as NULL. A fresh process,
# since the names are made once per process.
ENCODE_WITH_FAILING_ALLOCATIONS = """
import dataclasses, _testcapi
from calvenor import _core

@dataclasses.dataclass
class Point:
    x: int

for k in range(1000):
    _testcapi.set_nomemory(k, k + 1)
    try:
        _core.Response.json({"p": Point(1)}, None)
        break
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
print(_core.Response.json({"p": Point(1)}, None).body.decode())
"""


def test_field_names_whose_interning_failed_are_made_again():
    pytest.importorskip("_testcapi")
    package_root = pathlib.Path(calvenor.__file__).resolve().parent.parent
    env = {**os.environ, "PYTHONPATH": str(package_root)}
    run = subprocess.run([sys.executable, "-c", ENCODE_WITH_FAILING_ALLOCATIONS],
                         capture_output=True, text=True, timeout=60, env=env)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout == '{"p":{"x":1}}\n'
