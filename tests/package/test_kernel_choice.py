"""QUORVEX_MKL_KERNELS, each case in a new process: MKL chooses its kernels once per process."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

from quorvex.mkl._kernels import INTEL, cpu_vendor

ON_INTEL = cpu_vendor() == INTEL
# Whatever the suite runs under, each case sets these itself.
CHOOSERS = ("QUORVEX_MKL_KERNELS", "MKL_CBWR", "MKL_ENABLE_INSTRUCTIONS", "MKL_INTERFACE_LAYER")

REPORT = """
import dataclasses, json, warnings
import quorvex.mkl
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    from quorvex.mkl import lib
warned = [str(w.message) for w in caught if w.category is quorvex.mkl.KernelChoiceWarning]
print(json.dumps({**dataclasses.asdict(quorvex.mkl.kernels()), "warned": warned}))
"""


def run(code: str, **env: str) -> subprocess.CompletedProcess[str]:
    clean = {k: v for k, v in os.environ.items() if k not in CHOOSERS}
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env={**clean, **env},
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


def kernels(before: str = "", **env: str) -> dict:
    result = run(before + REPORT, **env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_the_switch_lets_the_instruction_sets_choose_on_any_vendor():
    default, mkl = kernels(), kernels(QUORVEX_MKL_KERNELS="mkl")
    cpu = kernels(QUORVEX_MKL_KERNELS="CPU")
    assert {**default, "setting": "mkl"} == mkl and not mkl["switched"]
    assert cpu["switched"] and cpu["chosen_by"] == "cpu features" and cpu["setting"] == "cpu"
    assert not (default["warned"] or cpu["warned"])
    if ON_INTEL:  # MKL's vendor check says yes anyway
        assert default["chosen_by"] == "cpu features" and cpu["library"] == default["library"]
    else:
        assert default["chosen_by"] == "vendor check"
        assert default["library"].startswith("libmkl_vml_def.")
        assert cpu["library"] != default["library"]


@pytest.mark.parametrize(
    ("variable", "value", "library"),
    [("MKL_CBWR", "COMPATIBLE", "cmpt"), ("MKL_ENABLE_INSTRUCTIONS", "AVX2", "avx2")],
)
def test_mkl_variables_still_choose_under_the_switch(variable, value, library):
    if "avx2" not in open("/proc/cpuinfo").read().split():
        pytest.skip("the CPU has no AVX2")
    chosen = kernels(QUORVEX_MKL_KERNELS="cpu", **{variable: value})
    assert chosen["library"].startswith(f"libmkl_vml_{library}.")
    assert chosen["chosen_by"] == variable and chosen["variable"] == f"{variable}={value}"


# Another library's first MKL call: one that dispatches (VML kernels mapped), and one that
# only loads libmkl_core, whose own vendor check then binds first.
CALL_MKL_FIRST = {
    "vml-call": "one = (ctypes.c_double * 1)(); mkl_rt.vdExp(1, one, one)",
    "service-call": "mkl_rt.MKL_Get_Version_String(ctypes.create_string_buffer(64), 64)",
}


@pytest.mark.parametrize("first_call", CALL_MKL_FIRST.values(), ids=CALL_MKL_FIRST.keys())
def test_the_switch_warns_when_mkl_chose_before_the_package(first_call):
    before = f"""
import ctypes
from quorvex.mkl._mkl_rt import find_mkl_rt
mkl_rt = ctypes.CDLL(find_mkl_rt())
{first_call}
"""
    chosen = kernels(before, QUORVEX_MKL_KERNELS="cpu")
    assert not chosen["switched"] and chosen["setting"] == "cpu"
    assert chosen["library"] == kernels()["library"]  # MKL's own choice
    if ON_INTEL:  # the same kernels as with the switch: nothing to warn about
        assert chosen["warned"] == []
    else:
        [message] = chosen["warned"]
        assert message.startswith("QUORVEX_MKL_KERNELS=cpu has no effect")
        assert f"it runs {chosen['library']}, chosen by MKL's vendor check" in message


def test_a_setting_the_package_does_not_know_is_refused_at_import():
    result = run("import quorvex.mkl", QUORVEX_MKL_KERNELS="avx512")
    assert result.returncode == 1
    assert "ValueError: QUORVEX_MKL_KERNELS='avx512' is not a setting" in result.stderr
    assert "'cpu'" in result.stderr and "'mkl'" in result.stderr
