"""The module entry's handshake: failures pass through, references are released, retries work."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

# Runs in a fresh interpreter: a stand-in `_cffi_backend` plays one failing scenario, then
# forwards to the real backend for a retry of the same import.
SCRIPT = r"""
import ctypes, json, struct, sys, types
import _cffi_backend as real_backend

scenario = sys.argv[1]
out = {"records": []}
addresses = []  # the integers the entry handed over, kept to count their references


def stand_in(method):
    module = types.ModuleType("_cffi_backend")
    if method is not None:
        def init(address):
            addresses.append(address)
            out["records"].append(struct.unpack("<4Q", ctypes.string_at(address, 32)))
            return method(address)
        module._init_cffi_1_0_external_module = init
    return module


refused = RuntimeError("tables refused")


def refuse(address):
    raise refused


failing = {
    "unimportable": None,
    "method raises": stand_in(refuse),
    "method missing": stand_in(None),
}[scenario]
sys.modules["_cffi_backend"] = failing
count = (lambda o: None) if failing is None else sys.getrefcount  # None's count is noise
refs_before = count(failing)
try:
    import quorvex.mkl.lorimath
except BaseException as error:
    out["error"] = [type(error).__name__, str(error), error is refused]
    error.__traceback__ = None  # its frames would hold references of their own
    del error
out["refs_to_backend"] = [refs_before, count(failing)]
out["left_in_sys_modules"] = "quorvex.mkl.lorimath" in sys.modules

returned = []
def forward(address):
    module = real_backend._init_cffi_1_0_external_module(address)
    returned.append(module)
    return module
working = stand_in(forward)
sys.modules["_cffi_backend"] = working
refs_before = sys.getrefcount(working)
from quorvex.mkl import lorimath
out["refs_to_backend_after_retry"] = [refs_before, sys.getrefcount(working)]
out["refs_to_addresses"] = [sys.getrefcount(addresses[i]) for i in range(len(addresses))]
out["module_is_the_backend_result"] = lorimath is returned[0]
r = lorimath.ffi.new("double[2]")
lorimath.lib.vdAdd(2, [1.0, 2.0], [3.0, 4.0], r)
out["sum"] = list(r)
print(json.dumps(out))
"""


def run_scenario(scenario: str) -> dict:
    done = subprocess.run(
        [sys.executable, "-c", SCRIPT, scenario], capture_output=True, text=True, check=True
    )
    return json.loads(done.stdout)


@pytest.mark.parametrize(
    "scenario, error_type, message_part, attempts_before_retry",
    [
        ("unimportable", "ModuleNotFoundError", "_cffi_backend", 0),
        ("method raises", "RuntimeError", "tables refused", 1),
        ("method missing", "AttributeError", "_init_cffi_1_0_external_module", 0),
    ],
)
def test_failed_handshake_then_retry(scenario, error_type, message_part, attempts_before_retry):
    out = run_scenario(scenario)
    name, message, is_the_raised_object = out["error"]
    assert (name, message_part in message) == (error_type, True)
    assert is_the_raised_object == (scenario == "method raises")
    assert not out["left_in_sys_modules"]
    # The entry released each reference it took: to the backend module and to the integer.
    assert out["refs_to_backend"][0] == out["refs_to_backend"][1]
    assert out["refs_to_backend_after_retry"][0] == out["refs_to_backend_after_retry"][1]
    # Each integer is held by our list and by getrefcount's argument only.
    assert out["refs_to_addresses"] == [2] * (attempts_before_retry + 1)
    # The retry hands the same static tables over in a fresh record, and the module works.
    records = out["records"]
    assert len(records) == attempts_before_retry + 1
    assert all(r[1:] == records[-1][1:] and r[1] == 0x2601 for r in records)
    assert out["module_is_the_backend_result"]
    assert out["sum"] == [4.0, 6.0]
