"""The README's Python examples run as written, and its quick start starts with the main job."""

from __future__ import annotations

import re
import subprocess
import sys

import pytest
from conftest import ROOT

README = (ROOT / "README.md").read_text()
EXAMPLES = re.findall(r"^```python\n(.*?)^```", README, re.DOTALL | re.MULTILINE)


def test_readme_has_examples_for_both_layers():
    assert any("import ffi, lib" in code for code in EXAMPLES)
    assert any("import vml" in code for code in EXAMPLES)


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example-{i}" for i in range(len(EXAMPLES))])
def test_readme_example_runs(code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    if 'if __name__ == "__main__":' in code:
        # Starts worker processes: run it as the script it is written to be.
        script = tmp_path / "example.py"
        script.write_text(code)
        subprocess.run([sys.executable, str(script)], check=True, timeout=300)
        return
    numexpr = sys.modules.get("numexpr")  # an example installs quorvex.mkl.numexpr as it
    try:
        exec(compile(code, "README.md", "exec"), {"__name__": "__readme__"})
    finally:
        if numexpr is None:
            sys.modules.pop("numexpr", None)
        else:
            sys.modules["numexpr"] = numexpr


def test_quick_start_runs_the_self_check_first():
    quick_start = README.split("## Quick start", 1)[1]
    first_command = re.search(r"```sh\n(.*?)\n```", quick_start, re.DOTALL).group(1)
    assert first_command.endswith("python -m quorvex.mkl")


def test_readme_lists_every_loop_numpy_keeps():
    from quorvex.mkl._vml_operations import NUMPY_KEEPS

    table = README.split("Where MKL departs from NumPy on special values", 1)[1].split("\n\n")[1]
    listed = {
        name for row in table.splitlines()[2:] for name in re.findall(r"`(\w+)`", row.split("|")[1])
    }
    assert {name for name, _ in NUMPY_KEEPS} == listed
