"""The suite runs clean against a build with AddressSanitizer and UndefinedBehaviorSanitizer,
and the scratch-buffer tests run clean under valgrind's memcheck (tools/sanitized_tests.py)."""

from __future__ import annotations

import importlib.util
import subprocess
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location(
    "sanitized_tests", ROOT / "tools" / "sanitized_tests.py"
)
runner = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(runner)


def outcome(result: subprocess.CompletedProcess, error_status: int) -> str:
    what = (
        "a sanitizer or memcheck report" if result.returncode == error_status else "test failures"
    )
    output = f"{result.stdout[-6000:]}\n{result.stderr[-12000:]}"
    return f"{what} (exit status {result.returncode}):\n{output}"


@pytest.fixture(scope="module")
def sanitized_extension(tmp_path_factory):
    missing = runner.missing_tools("cmake", "g++")
    if missing:
        pytest.skip(f"building the sanitized module needs {' and '.join(missing)}")
    try:
        return runner.build(tmp_path_factory.mktemp("sanitized"))
    except subprocess.CalledProcessError as error:
        pytest.fail(f"the sanitized build failed:\n{error.stdout}\n{error.stderr}")


def test_suite_is_clean_under_address_and_undefined_behavior_sanitizers(sanitized_extension):
    result = runner.run_sanitized(sanitized_extension, runner.SANITIZED_SUITE, timeout=600)
    assert result.returncode == 0, outcome(result, runner.SANITIZER_ERROR)


def test_scratch_buffer_tests_are_clean_under_memcheck():
    if runner.missing_tools("valgrind"):
        pytest.skip("valgrind is not installed")
    result = runner.run_valgrind(runner.VALGRIND_SUITE, timeout=600)
    assert result.returncode == 0, outcome(result, runner.VALGRIND_ERROR)
    assert "ERROR SUMMARY: 0 errors" in result.stderr
