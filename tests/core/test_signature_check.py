"""The build refuses a catalogue signature that does not pass its arguments unchanged to MKL,
and a ufunc row whose forms do not fit together."""

from __future__ import annotations

import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# Stand-ins declared the way MKL's header declares vdExp and vdExp_64.
SOURCE = """
#include <Python.h>
#include "wrappers/call_wrappers.hpp"
extern "C" void mkl_like(const int n, const double a[], double r[]) noexcept;
extern "C" void mkl_like_64(const long long n, const double a[], double r[]) noexcept;
using namespace quorvex;
using Type = Signature<%s>;
template struct Instance<"mkl_like", &%s, Type>;
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
        # the forms with 64-bit counts, in the full module
        ("Result<void>, Arg<long long>, Arg<double const *, 1>, Arg<double *, 2>", True),
        ("Result<void>, Arg<int>, Arg<double const *, 1>, Arg<double *, 2>", False),
    ],
)
def test_signature_must_match_mkl_declaration(tmp_path, signature, accepted):
    declared = "mkl_like_64" if "1>" in signature else "mkl_like"
    stderr = compiles(tmp_path, SOURCE % (signature, declared), accepted)
    if not accepted:
        assert "must pass its arguments unchanged to MKL" in stderr


def compiles(tmp_path, text: str, accepted: bool, *more_include_dirs: str) -> str:
    """Compiles `text` for its syntax and checks whether it was `accepted`; the diagnostics."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "check.cpp"
    source.write_text(text)
    flags = [f"-I{d}" for d in [*include_dirs(), *more_include_dirs]]
    result = subprocess.run(
        [compiler, "-std=c++20", "-fsyntax-only", *flags, str(source)],
        capture_output=True,
        text=True,
        check=False,
    )
    assert (result.returncode == 0) == accepted, result.stderr[-2000:]
    return result.stderr


# A ufunc row: the contiguous form and the mode variant of one operation, as MKL declares them.
UFUNC_SOURCE = """
#include "ufuncs/loops.hpp"
extern "C" void plain(const int n, const double a[], double r[]) noexcept;
extern "C" void mode(const int n, const double a[], double r[], long long mode) noexcept;
extern "C" void mode_the_other_way(const int n, const double a[], long long mode,
                                   double r[]) noexcept;
using namespace quorvex::ufuncs;
using Row = Variant<&plain, &%s>;
template void loop<Row, Accuracy::thread>(char**, const npy_intp*, const npy_intp*, void*);
template void loop<Row, Accuracy::fixed>(char**, const npy_intp*, const npy_intp*, void*);
"""


@pytest.mark.parametrize(("mode_form", "accepted"), [("mode", True), ("mode_the_other_way", False)])
def test_a_ufunc_row_must_give_the_mode_after_the_contiguous_forms_arguments(
    tmp_path, mode_form, accepted
):
    import numpy

    common = str(ROOT / "common")
    stderr = compiles(tmp_path, UFUNC_SOURCE % mode_form, accepted, numpy.get_include(), common)
    if not accepted:
        assert "the contiguous form's arguments and a mode" in stderr
