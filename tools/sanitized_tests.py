"""Runs the test suite against a sanitized build of the module, or under valgrind's memcheck.

    python tools/sanitized_tests.py asan [pytest arguments]
        Builds lorimath, the ufunc module and the expression engine with
        -DQUORVEX_SANITIZE=ON (AddressSanitizer and UndefinedBehaviorSanitizer) into
        build/sanitized, then runs pytest with the sanitizer runtime preloaded and that build
        in place of the installed modules.
    python tools/sanitized_tests.py valgrind [pytest arguments]
        Runs pytest under valgrind's memcheck with the installed module.

Without pytest arguments the whole suite runs (asan) or the scratch-buffer tests (valgrind).
The exit status is pytest's, or the sanitizer's or valgrind's when they find an error.
tests/package/test_sanitizers.py drives both from the ordinary test run.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SANITIZER_ERROR = 86  # exit status that tells a sanitizer report from a failing test
VALGRIND_ERROR = 87

# Loads each extension from the given file, as quorvex.mkl.<name>, before the tests import
# them, then runs pytest. Loaded by file, they bypass the package's import hook, so what it
# does before MKL loads (the interface pin, QUORVEX_MKL_KERNELS) is done here.
BOOTSTRAP = """
import importlib.util, sys
import quorvex.mkl as package
from quorvex.mkl._runtime import pin_lp64_interface
pin_lp64_interface()
for name, path in {extensions!r}.items():
    module_spec = importlib.util.spec_from_file_location("quorvex.mkl." + name, path)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module
    module_spec.loader.exec_module(module)
    setattr(package, name, module)
import pytest
sys.exit(pytest.main({args!r}))
"""
# lorimath's wrappers are instances of the same templates as every other cffi module's; the
# expression engine's threads share their evaluation's state.
SANITIZED_MODULES = ("lorimath", "_ufuncs", "_expressions")


def missing_tools(*tools: str) -> list[str]:
    return [tool for tool in tools if shutil.which(tool) is None]


def build(build_dir: Path, *, sanitize: bool = True) -> dict[str, str]:
    """Configures and builds the modules; returns the path of each built extension."""
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build_dir), *generator,
        f"-DQUORVEX_SANITIZE={'ON' if sanitize else 'OFF'}",
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]  # fmt: skip
    subprocess.run(configure, check=True, capture_output=True, text=True)
    jobs = str(os.cpu_count() or 2)
    subprocess.run(["cmake", "--build", str(build_dir), "--parallel", jobs,
                    "--target", *SANITIZED_MODULES],
                   check=True, capture_output=True, text=True)  # fmt: skip
    return {name: str(next(build_dir.glob(f"{name}.*.so"))) for name in SANITIZED_MODULES}


def compiler_library(name: str) -> str:
    path = subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True, text=True,
                          check=True).stdout.strip()  # fmt: skip
    if not os.path.isabs(path):
        raise FileNotFoundError(f"g++ knows no {name}")
    return os.path.realpath(path)


def sanitizer_preload() -> str:
    """The AddressSanitizer runtime first, then libstdc++: the runtime's C++ exception
    interceptor must find libstdc++ loaded (SciPy throws and catches C++ exceptions)."""
    return f"{compiler_library('libasan.so')} {compiler_library('libstdc++.so')}"


def run(command: list[str], env: dict[str, str], timeout: float) -> subprocess.CompletedProcess:
    environment = {**os.environ, **env}
    return subprocess.run(command, check=False, cwd=ROOT, env=environment, capture_output=True,
                          text=True, timeout=timeout)  # fmt: skip


def run_sanitized(extensions: dict[str, str], pytest_args: list[str], timeout: float = 600):
    """pytest with the sanitized extensions loaded and the sanitizer runtime preloaded.

    Reports go to files (pytest captures stderr, and a report ends the process) and are
    appended to the result's stderr."""
    script = BOOTSTRAP.format(extensions=extensions, args=pytest_args)
    with tempfile.TemporaryDirectory() as reports:
        log = f"log_path={reports}/report:halt_on_error=1:exitcode={SANITIZER_ERROR}"
        env = {
            "LD_PRELOAD": sanitizer_preload(),
            # CPython frees nothing at exit, so leak reports would be all noise.
            "ASAN_OPTIONS": f"detect_leaks=0:{log}",
            "UBSAN_OPTIONS": f"print_stacktrace=1:{log}",
            "QUORVEX_SANITIZED": "1",
        }
        result = run([sys.executable, "-c", script], env, timeout)
        for report in sorted(Path(reports).iterdir()):
            result.stderr += f"\n--- {report.name}\n{report.read_text()}"
    return result


def run_valgrind(pytest_args: list[str], timeout: float = 900):
    """pytest under memcheck with the installed extension."""
    from quorvex.mkl import lorimath

    script = BOOTSTRAP.format(extensions={"lorimath": lorimath.__file__}, args=pytest_args)
    command = [
        "valgrind", "--tool=memcheck", f"--error-exitcode={VALGRIND_ERROR}",
        "--leak-check=no", "--track-origins=yes", "--num-callers=30",
        f"--suppressions={ROOT / 'tools' / 'valgrind.supp'}",
        sys.executable, "-c", script,
    ]  # fmt: skip
    env = {
        "PYTHONMALLOC": "malloc",  # every Python allocation visible to memcheck
        "MKL_ENABLE_INSTRUCTIONS": "AVX2",  # valgrind does not decode AVX-512
        "QUORVEX_SANITIZED": "1",
    }
    return run(command, env, timeout)


# The suite, less the tests of the installed artefact and the build (the sanitized build is
# neither), of other processes (they load the installed module) and of this runner itself.
NOT_SANITIZED = [
    "test_sanitizers",
    "test_binary",
    "test_signature_check",
    "test_package",
    "test_dask",
    "test_kernel_choice",
]
SANITIZED_SUITE = ["tests", "-q", "-p", "no:cacheprovider"]
SANITIZED_SUITE += [f"--ignore-glob=tests/*/{name}.py" for name in NOT_SANITIZED]
VALGRIND_SUITE = ["tests/core/test_memory.py", "-q", "-p", "no:cacheprovider", "-k", "scratch"]


def main(argv: list[str]) -> int:
    if not argv or argv[0] not in ("asan", "valgrind"):
        print(__doc__, file=sys.stderr)
        return 2
    if argv[0] == "asan":
        extensions = build(ROOT / "build" / "sanitized")
        result = run_sanitized(extensions, argv[1:] or SANITIZED_SUITE, timeout=3600)
    else:
        result = run_valgrind(argv[1:] or VALGRIND_SUITE, timeout=3600)
    sys.stdout.write(result.stdout)
    sys.stderr.write(result.stderr)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
