"""The build refuses a catalogue signature that does not pass its arguments unchanged to MKL."""

from __future__ import annotations

import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# A stand-in declared the way MKL's header declares vdExp.
SOURCE = """
#include <Python.h>
#include "wrappers/call_wrappers.hpp"
extern "C" void mkl_like(const int n, const double a[], double r[]) noexcept;
using namespace quorvex;
using Type = Signature<%s>;
template struct Instance<"mkl_like", &mkl_like, Type>;
"""


def include_dirs() -> list[str]:
    located = subprocess.run(
        [sys.executable, str(ROOT / "cmake" / "locate_dependencies.py")],
        capture_output=True,
        text=True,
        check=False,
    )
    if located.returncode != 0:
        pytest.skip(f"MKL headers not installed: {located.stderr.strip()}")
    found = dict(line.split("=", 1) for line in located.stdout.splitlines())
    return [
        str(ROOT),
        sysconfig.get_paths()["include"],
        found["MKL_INCLUDE_DIR"],
        found["CFFI_INCLUDE_DIR"],
    ]


@pytest.mark.parametrize(
    ("signature", "accepted"),
    [
        ("Result<void>, Arg<int>, Arg<double const *, 120>, Arg<double *, 57>", True),
        # an input array declared writable: the catalogue would call an input an output
        ("Result<void>, Arg<int>, Arg<double *, 57>, Arg<double *, 57>", False),
        ("Result<void>, Arg<int>, Arg<double const *, 120>, Arg<double const *, 120>", False),
        ("Result<void>, Arg<int>, Arg<float const *, 201>, Arg<double *, 57>", False),
        ("Result<void>, Arg<int *, 4>, Arg<double const *, 120>, Arg<double *, 57>", False),
        ("Result<void>, Arg<long long>, Arg<double const *, 120>, Arg<double *, 57>", False),
        ("Result<void>, Arg<int>, Arg<double const *, 120>", False),
        ("Result<int>, Arg<int>, Arg<double const *, 120>, Arg<double *, 57>", False),
    ],
)
def test_signature_must_match_mkl_declaration(tmp_path, signature, accepted):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "check.cpp"
    source.write_text(SOURCE % signature)
    flags = [f"-I{d}" for d in include_dirs()]
    result = subprocess.run(
        [compiler, "-std=c++20", "-fsyntax-only", *flags, str(source)],
        capture_output=True,
        text=True,
        check=False,
    )
    assert (result.returncode == 0) == accepted, result.stderr[-2000:]
    if not accepted:
        assert "must pass its arguments unchanged to MKL" in result.stderr
