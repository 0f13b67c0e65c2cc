"""The built shared object: one export, MKL as a NEEDED library found through a relative RUNPATH."""

from __future__ import annotations

import re
import shutil
import subprocess

import pytest
from conftest import FUNCTIONS


def tool_output(*command: str) -> str:
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} (binutils) is not installed")
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def shared_object(lorimath) -> str:
    return lorimath.__file__


def test_only_the_module_entry_is_exported(shared_object):
    lines = tool_output("nm", "-D", "--defined-only", shared_object).splitlines()
    assert [line.split()[-1] for line in lines] == ["PyInit_lorimath"]


def symbols(*command: str) -> set[str]:
    return {line.split()[-1] for line in tool_output(*command).splitlines()}


def test_the_module_calls_exactly_the_catalogue_in_mkl(shared_object):
    with open("/proc/self/maps") as maps:  # the libmkl_rt the loader resolved for the module
        mkl_rt = next(line.split()[-1] for line in maps if "/libmkl_rt.so" in line)
    from_mkl = symbols("nm", "-D", "--undefined-only", shared_object) & symbols(
        "nm", "-D", "--defined-only", mkl_rt
    )
    # MKL's header maps the Fortran names to symbols with a trailing underscore.
    assert from_mkl == {f.name + ("_" if f.fortran else "") for f in FUNCTIONS}


def test_mkl_runtime_is_needed_and_found_relative_to_the_module(shared_object):
    dynamic = tool_output("readelf", "-d", shared_object)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    assert any(re.fullmatch(r"libmkl_rt\.so\.\d+", n) for n in needed), needed
    runpath = re.findall(r"\(RUNPATH\)\s+Library runpath: \[(.+?)\]", dynamic)
    assert runpath, "no RUNPATH: libmkl_rt would have to be on the system's search path"
    entries = [entry for path in runpath for entry in path.split(":")]
    assert all(entry.startswith("$ORIGIN") for entry in entries), entries
