"""The package around the module: light import, safe loading, constants, stubs, the main job."""

from __future__ import annotations

import ast
import importlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from importlib import metadata
from pathlib import Path

import pytest
from conftest import ROOT

import quorvex.mkl
from quorvex.mkl import __main__ as main_job
from quorvex.mkl import vml


def python(*args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs a fresh interpreter, with MKL_INTERFACE_LAYER only if ``env`` sets it."""
    environment = {k: v for k, v in os.environ.items() if k != "MKL_INTERFACE_LAYER"}
    return subprocess.run(
        [sys.executable, *args],
        capture_output=True,
        text=True,
        env={**environment, **(env or {})},
        timeout=120,
        check=False,
    )


def python_code(code: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return python("-c", textwrap.dedent(code), env=env)


@pytest.mark.parametrize("kernels", ["mkl", "cpu"])
def test_importing_the_package_loads_neither_mkl_nor_the_extension_nor_numpy(kernels):
    result = python_code(
        """
        import sys
        import quorvex.mkl
        loaded = [m for m in ("quorvex.mkl.lorimath", "numpy", "ctypes") if m in sys.modules]
        maps = open("/proc/self/maps").read()
        print(loaded, "libmkl_rt" in maps or "libquorvex_kernel_choice" in maps)
        """,
        {"QUORVEX_MKL_KERNELS": kernels},
    )
    assert result.stdout.split() == ["[]", "False"], result.stderr


PIN_CHECK = """
    from quorvex.mkl import lib
    from quorvex.mkl._mkl_rt import loaded_mkl_rt
    lib.vdAdd(1, [1.0], [2.0], [0.0])
    print("layer", loaded_mkl_rt().MKL_Set_Interface_Layer(1))  # pinned: stays LP64 (0)
"""
CALL_ILP64_FIRST = """
    import ctypes
    from quorvex.mkl._mkl_rt import find_mkl_rt
    ctypes.CDLL(find_mkl_rt()).MKL_Set_Interface_Layer(1)
    import quorvex.mkl.lorimath
"""


@pytest.mark.parametrize(
    ("environment", "code", "outcome"),
    [
        ({}, PIN_CHECK, "layer 0"),
        ({"MKL_INTERFACE_LAYER": "LP64"}, PIN_CHECK, "layer 0"),
        ({"MKL_INTERFACE_LAYER": "GNU,LP64"}, PIN_CHECK, "layer 0"),
        ({"MKL_INTERFACE_LAYER": "ILP64"}, PIN_CHECK, "MKL_INTERFACE_LAYER=ILP64 in the env"),
        ({"MKL_INTERFACE_LAYER": "gnu,ilp64"}, "import quorvex.mkl.vml", "selects MKL's 64-bit"),
        ({"MKL_INTERFACE_LAYER": "ILP64"}, "import quorvex.mkl.full", "selects MKL's 64-bit"),
        ({}, CALL_ILP64_FIRST, "already committed MKL to its 64-bit integer interface"),
    ],
    ids=["unset", "LP64", "GNU-LP64", "ILP64", "gnu-ilp64-vml", "ILP64-full", "ILP64-called-first"],
)
def test_the_extension_loads_only_under_the_32_bit_interface(environment, code, outcome):
    result = python_code(code, environment)
    if outcome.startswith("layer"):
        assert result.returncode == 0, result.stderr
        assert result.stdout.split()[-2:] == outcome.split()
    else:
        assert result.returncode == 1
        assert "ImportError: quorvex.mkl cannot load" in result.stderr
        assert outcome in result.stderr


def test_the_cffi_modules_need_no_numpy_and_vml_says_how_to_get_it():
    without_numpy = "import sys; sys.modules['numpy'] = None; "
    result = python_code(
        without_numpy + "from quorvex.mkl import full, lib; print(lib.vmlGetMode())"
    )
    assert result.returncode == 0, result.stderr
    result = python_code(without_numpy + "import quorvex.mkl.vml")
    assert "ImportError: quorvex.mkl.vml needs NumPy: pip install 'quorvex-mkl[numpy]'" in (
        result.stderr
    )


def test_versions():
    assert quorvex.mkl.__version__ == metadata.version("quorvex-mkl")
    major, minor = metadata.version("mkl").split(".")[:2]
    assert f"Math Kernel Library Version {major}.{minor}" in quorvex.mkl.mkl_version()


def mkl_include_dir() -> Path:
    located = subprocess.run(
        [sys.executable, str(ROOT / "cmake" / "locate_dependencies.py")],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return Path(re.search(r"MKL_INCLUDE_DIR=(.*)", located).group(1))


def test_constants_are_the_values_mkl_header_defines(tmp_path):
    header = mkl_include_dir() / "mkl_vml_defines.h"
    defined = re.findall(r"^#define\s+VML_(\w+)", header.read_text(), re.MULTILINE)
    names = [name for name in defined if not name.endswith("_64")]
    assert names and all(hasattr(vml, name) for name in names)
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C compiler to evaluate the header's macros")
    lines = "".join(f'printf("{n} %lld\\n", (long long)(VML_{n}));\n' for n in names)
    source = tmp_path / "defines.c"
    source.write_text(
        f"#include <stdio.h>\n#include <mkl_vml_defines.h>\nint main(void) {{\n{lines}}}\n"
    )
    subprocess.run(
        [compiler, "-x", "c", str(source), f"-I{header.parent}", "-o", str(tmp_path / "defines")],
        check=True,
    )
    output = subprocess.run([tmp_path / "defines"], capture_output=True, text=True, check=True)
    values = {
        name: int(value) for name, value in (line.split() for line in output.stdout.splitlines())
    }
    assert {name: getattr(vml, name) for name in names} == values


# ---------------------------------------------------------------------------
# Type stubs.


def installed_stub(name: str) -> Path:
    for directory in quorvex.mkl.__path__:
        if (Path(directory) / name).exists():
            return Path(directory) / name
    raise AssertionError(f"{name} is not installed next to quorvex.mkl")


@pytest.mark.parametrize("module", ["lorimath", "full"])
def test_module_stub_declares_every_function_with_its_parameters(module):
    tree = ast.parse(installed_stub(f"{module}.pyi").read_text())
    lib_class = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "_Lib")
    declared = {
        f.name: len(f.args.posonlyargs + f.args.args) - 1  # without self
        for f in lib_class.body
        if isinstance(f, ast.FunctionDef)
    }
    cffi_module = importlib.import_module(f"quorvex.mkl.{module}")
    ffi, lib = cffi_module.ffi, cffi_module.lib
    assert declared == {name: len(ffi.typeof(getattr(lib, name)).args) for name in dir(lib)}


def test_vml_stub_declares_the_public_names():
    tree = ast.parse(installed_stub("vml.pyi").read_text())
    declared = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    declared |= {a.asname for n in tree.body if isinstance(n, ast.ImportFrom) for a in n.names}
    declared |= {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    constants = {name for name in vml.__all__ if name.isupper() and name not in declared}
    assert (declared - {None, "*", "L", "_OneAccuracy"}) | constants == set(vml.__all__)


GOOD_SCRIPT = """
    import numpy as np
    from numpy.typing import NDArray

    from quorvex.mkl import ffi, full, lib, mkl_version, vml

    x = np.linspace(0.0, 1.0, 10)
    y: NDArray[np.float64] = vml.exp(x)
    s, c = vml.sincos(x.astype(np.float32))
    with vml.mode(vml.EP), vml.errstate(invalid="raise", under="ignore"):
        vml.ln(x, out=y)
    total = vml.add.reduce(x) + vml.ha.hypot(x, x).sum()
    with vml.numpy_uses_mkl("exp", "log"):
        z: NDArray[np.float64] = np.exp(x)
    packed = vml.packi(x, 3)
    out = ffi.new("double[]", 10)
    lib.vdExp(10, ffi.from_buffer("double[]", x), out)
    lib.vdpowx([10], [1.0] * 10, [2.0], out)
    full.lib.vdExp2_64(10, full.ffi.from_buffer("double[]", x), full.ffi.new("double[10]"))
    status: int = lib.vmlGetErrStatus()
    version: str = mkl_version()
"""
BAD_SCRIPT = {
    "lib.vdExp(10, out)": "Too few arguments",
    "lib.vdExp(10, [1.0], [0.0])": 'Argument 3 to "vdExp" of "_Lib" has incompatible type',
    "lib.vdExpo(10, out, out)": 'has no attribute "vdExpo"',
    # (mypy 2 names the keyword; mypy 1, the last with wheels for a free-threaded 3.13, the
    # overloads none of which takes it)
    "vml.exp(np.ones(3), mode=vml.EP)": ('Unexpected keyword argument "mode"', "No overload"),
    "vml.numpy_uses_mkl(1)": 'Argument 1 to "numpy_uses_mkl" has incompatible type "int"',
    "vml.ha.expo(np.ones(3))": '"_OneAccuracy" has no attribute "expo"',
}


def test_mypy_checks_code_against_the_stubs(tmp_path):
    pytest.importorskip("mypy")
    import numpy

    # Lay the package out as a wheel installs it, sources and generated stubs together, and
    # keep mypy away from site-packages, where the editable install points at the sources.
    site = tmp_path / "site"
    package = site / "quorvex" / "mkl"
    package.mkdir(parents=True)
    for directory in quorvex.mkl.__path__:
        for pattern in ("*.py", "*.pyi", "py.typed"):
            for file in Path(directory).glob(pattern):
                shutil.copy(file, package / file.name)
    (site / "numpy").symlink_to(Path(numpy.__file__).parent)
    (tmp_path / "mypy.ini").write_text(
        "[mypy]\nstrict = True\nno_site_packages = True\n[mypy-numpy.*]\nignore_errors = True\n"
    )
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD_SCRIPT))
    header = [
        "import numpy as np",
        "from quorvex.mkl import ffi, lib, vml",
        "out = ffi.new('double[1]')",
    ]
    (tmp_path / "bad.py").write_text("\n".join([*header, *BAD_SCRIPT]) + "\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "good.py", "bad.py"],
        cwd=tmp_path,
        env={"MYPYPATH": str(site), "PATH": os.environ.get("PATH", "")},
        capture_output=True,
        text=True,
        check=False,
    )
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    # Nothing in good.py nor in the package itself (checked strictly here) is flagged.
    assert not [e for e in errors if not e.startswith("bad.py")], result.stdout
    for line, (code, messages) in enumerate(BAD_SCRIPT.items(), start=len(header) + 1):
        found = [e for e in errors if e.startswith(f"bad.py:{line}:")]
        wanted = (messages,) if isinstance(messages, str) else messages
        assert any(m in e for e in found for m in wanted), (code, errors)


# ---------------------------------------------------------------------------
# The main job.


def test_main_job_reports_versions_mode_and_a_passing_self_check():
    result = python("-m", "quorvex.mkl", "--quick", "--json")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["quorvex.mkl"] == quorvex.mkl.__version__
    assert report["mkl"] == quorvex.mkl.mkl_version()
    assert report["vml_mode_names"] == "HA | ERRMODE_DEFAULT | FTZDAZ_CURRENT"
    assert report["lib_functions"] == 1044
    assert len(report["checks"]) == 12 and report["ok"]
    assert all(
        c["max_error_ulp"] <= c["tolerance_ulp"] and c["speedup"] > 0 for c in report["checks"]
    )
    # Threaded times exactly when MKL may use more than one thread.
    threaded = report["mkl_max_threads"] > 1
    assert all((c["vml_threaded_seconds"] is not None) == threaded for c in report["checks"])
    assert report["vml_kernels"] == [report["kernels"]["library"]]
    # Where MKL's vendor check chose, the kernels the switch gives, measured in a new process.
    switch = report["cpu_kernels"]
    assert (switch is not None) == (report["kernels"]["chosen_by"] == "vendor check")
    if switch is not None:
        assert switch["setting"] == "QUORVEX_MKL_KERNELS=cpu" and switch["switched"]
        assert switch["library"] != report["kernels"]["library"] and switch["speedup"] > 0


def test_main_job_prints_a_table_and_explains_its_options():
    table = python("-m", "quorvex.mkl", "--quick")
    assert table.returncode == 0
    assert "All 12 checks passed." in table.stdout
    assert re.search(r"^VML kernels  libmkl_vml_\w+\.so\.\d+, chosen by ", table.stdout, re.M)
    assert re.search(r"max error vs NumPy\s+vml, 1 thread\s+NumPy\s+speed-up", table.stdout)
    assert re.search(r"^  exp\s+float64\s+[\d.]+ ulp\s+[\d.]+ ms", table.stdout, re.MULTILINE)
    usage = python("-m", "quorvex.mkl", "--help")
    assert "--quick" in usage.stdout and "--json" in usage.stdout


class FakeTerminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_bar_appears_only_after_a_second_and_is_wiped():
    now = [0.0]
    terminal = FakeTerminal()
    progress = main_job.Progress(4, stream=terminal, clock=lambda: now[0])
    progress.advance("exp")
    assert terminal.getvalue() == ""
    now[0] = 1.5
    progress.advance("ln")
    assert "2/4 ln" in terminal.getvalue() and "#" * 15 in terminal.getvalue()
    progress.close()
    assert terminal.getvalue().endswith("\r")
    silent = io.StringIO()  # not a terminal: no bar at all
    main_job.Progress(1, stream=silent, clock=lambda: 10.0 * len(silent.getvalue())).advance("x")
    assert silent.getvalue() == ""
