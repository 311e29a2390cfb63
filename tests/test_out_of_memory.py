"""An allocation that fails inside the module raises MemoryError and leaves it usable."""
import os
import pathlib
import subprocess
import sys

import pytest

import calvenor

# Fails the k-th allocation of a first encoding of a dataclass, k = 0, 1, ... until one
# passes: the attribute names it interns once per process (hence a fresh process) must be
# made again after a failure, never used as NULL.
ENCODE = """
import dataclasses, _testcapi
from calvenor import _core
Point = dataclasses.make_dataclass("Point", ["x"])
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
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(calvenor.__file__).resolve().parent.parent)}
    run = subprocess.run([sys.executable, "-c", ENCODE], capture_output=True, text=True, timeout=60, env=env)
    assert (run.returncode, run.stdout) == (0, '{"p":{"x":1}}\n'), run.stderr[-2000:]
