"""The built shared objects: one export each, MKL as a NEEDED library found through a relative
RUNPATH, and exactly their functions' symbols taken from it."""

from __future__ import annotations

import importlib
import re
import shutil
import subprocess

import pytest
from conftest import FUNCTIONS


def tool_output(*command: str) -> str:
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} (binutils) is not installed")
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module", params=["lorimath", "full"])
def module(request):
    return importlib.import_module(f"quorvex.mkl.{request.param}")


@pytest.fixture(scope="module")
def shared_object(module) -> str:
    return module.__file__


def test_only_the_module_entry_is_exported(module, shared_object):
    lines = tool_output("nm", "-D", "--defined-only", shared_object).splitlines()
    assert [line.split()[-1] for line in lines] == ["PyInit_" + module.__name__.rpartition(".")[2]]


def symbols(*command: str) -> set[str]:
    return {line.split()[-1] for line in tool_output(*command).splitlines()}


def test_the_module_calls_exactly_its_functions_in_mkl(module, shared_object):
    with open("/proc/self/maps") as maps:  # the libmkl_rt the loader resolved for the module
        mkl_rt = next(line.split()[-1] for line in maps if "/libmkl_rt.so" in line)
    from_mkl = symbols("nm", "-D", "--undefined-only", shared_object) & symbols(
        "nm", "-D", "--defined-only", mkl_rt
    )
    # MKL's header maps the Fortran names to symbols with a trailing underscore.
    if module.__name__.endswith("lorimath"):
        assert {f.name for f in FUNCTIONS} == set(dir(module.lib))
    assert from_mkl == {name + ("_" if name in (name.lower(), name.upper()) else "")
                        for name in dir(module.lib)}  # fmt: skip


def test_mkl_runtime_is_needed_and_found_relative_to_the_module(shared_object):
    dynamic = tool_output("readelf", "-d", shared_object)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    assert any(re.fullmatch(r"libmkl_rt\.so\.\d+", n) for n in needed), needed
    runpath = re.findall(r"\(RUNPATH\)\s+Library runpath: \[(.+?)\]", dynamic)
    assert runpath, "no RUNPATH: libmkl_rt would have to be on the system's search path"
    entries = [entry for path in runpath for entry in path.split(":")]
    assert all(entry.startswith("$ORIGIN") for entry in entries), entries
