"""The README's Python examples run as written: each section's blocks in order, in one namespace."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SECTIONS = re.split(r"^## ", (ROOT / "README.md").read_text(), flags=re.M)[1:]
BLOCKS = {s.splitlines()[0]: re.findall(r"```python\n(.*?)```", s, re.S) for s in SECTIONS}


@pytest.mark.parametrize("title", [t for t, blocks in BLOCKS.items() if blocks])
def test_readme_section_runs(title, monkeypatch):
    pytest.importorskip("starlette")
    monkeypatch.chdir(ROOT)
    # Later sections show fragments that use an app and modules the first one set up.
    namespace = {"__name__": "readme"}
    exec("import asyncio, time, calvenor\napp = calvenor.App()", namespace)
    for block in BLOCKS[title]:
        exec(compile(block, f"README.md: {title}", "exec"), namespace)
