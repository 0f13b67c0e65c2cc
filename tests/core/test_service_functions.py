"""The 24 service functions: mode, error status and error callback in all three name forms."""

from __future__ import annotations

import re

import pytest
from conftest import FUNCTIONS

# From MKL's mkl_vml_defines.h.
VML_LA, VML_HA, VML_ACCURACY_MASK = 0x1, 0x2, 0xF
VML_ERRMODE_CALLBACK = 0x1000
VML_STATUS_ERRDOM, VML_STATUS_SING = 1, 2


def forms(c_name: str) -> list[str]:
    return [c_name, c_name.lower(), c_name.upper()]


@pytest.fixture
def preserved_vml_state(lib):
    """Restores MKL's mode, error status and error callback after the test."""
    mode, status, callback = lib.vmlGetMode(), lib.vmlGetErrStatus(), lib.vmlGetErrorCallBack()
    yield
    lib.vmlSetErrorCallBack(callback)  # first: installing or clearing a callback touches the mode
    lib.vmlSetMode(mode)
    lib.vmlSetErrStatus(status)


def address(ffi, pointer) -> int:
    return int(ffi.cast("uintptr_t", pointer))


def setter_cases(c_name: str) -> list[tuple[str, str]]:
    """A set function takes its value as is in the C form, by reference in the Fortran forms."""
    c_form, lower, upper = forms(c_name)
    return [
        (c_form, "value"),
        (lower, "list"),
        (lower, "pointer"),
        (upper, "list"),
        (upper, "pointer"),
    ]


def passed_as(ffi, how: str, c_type: str, value: int):
    return {"value": value, "list": [value], "pointer": ffi.new(f"{c_type} *", value)}[how]


@pytest.mark.parametrize("name, how", setter_cases("vmlSetMode"))
def test_mode_round_trip(ffi, lib, preserved_vml_state, name, how):
    original = lib.vmlGetMode()
    accuracy = VML_LA if original & VML_ACCURACY_MASK != VML_LA else VML_HA
    new = original & ~VML_ACCURACY_MASK | accuracy
    assert getattr(lib, name)(passed_as(ffi, how, "unsigned int", new)) == original
    assert [getattr(lib, get)() for get in forms("vmlGetMode")] == [new] * 3


@pytest.mark.parametrize("name, how", setter_cases("vmlSetErrStatus"))
def test_error_status_set_get_clear(ffi, lib, preserved_vml_state, name, how):
    lib.vmlClearErrStatus()
    assert getattr(lib, name)(passed_as(ffi, how, "int", -1)) == 0
    assert [getattr(lib, get)() for get in forms("vmlGetErrStatus")] == [-1] * 3  # signed
    for clear in forms("vmlClearErrStatus"):
        assert getattr(lib, clear)() == -1
        assert lib.vmlGetErrStatus() == 0
        lib.vmlSetErrStatus(-1)


@pytest.mark.parametrize(
    "name, argument, error",
    [
        ("vmlSetMode", -1, OverflowError),
        ("vmlSetMode", 2**32, OverflowError),
        ("vmlSetMode", "2", TypeError),
        ("vmlsetmode", [-1], OverflowError),
        ("VMLSETMODE", 2, TypeError),  # the Fortran forms take a pointer, not a value
        ("vmlSetErrStatus", 2**31, OverflowError),
        ("vmlseterrstatus", [2**31], OverflowError),
        ("VMLSETERRSTATUS", -1, TypeError),
        ("vmlSetErrorCallBack", 1, TypeError),
        ("VMLSETERRORCALLBACK", "callback", TypeError),
    ],
)
def test_refused_values_leave_mkl_state_alone(lib, preserved_vml_state, name, argument, error):
    before = lib.vmlGetMode(), lib.vmlGetErrStatus(), lib.vmlGetErrorCallBack()
    with pytest.raises(error):
        getattr(lib, name)(argument)
    assert (lib.vmlGetMode(), lib.vmlGetErrStatus(), lib.vmlGetErrorCallBack()) == before


def test_argument_count_is_enforced_before_the_wrapper(lib):
    for f in (f for f in FUNCTIONS if f.family == "service"):
        function = getattr(lib, f.name)
        for count in {0: (1, 2), 1: (0, 2)}[len(f.params)]:
            with pytest.raises(TypeError) as raised:
                function(*[0] * count)
            assert not re.search(r"takes exactly \d+ arguments", str(raised.value))


@pytest.mark.parametrize("form", range(3))
@pytest.mark.parametrize("spelling", ["VMLErrorCallBack", "int(DefVmlErrorContext *)"])
def test_error_callback_is_installed_called_and_cleared(
    ffi, lib, preserved_vml_state, form, spelling
):
    seen = []

    @ffi.callback(spelling)
    def record(context):
        seen.append((context.iCode, context.iIndex, ffi.string(context.cFuncName)))
        return 0

    set_callback, get_callback, clear_callback = (
        getattr(lib, forms(op)[form])
        for op in ("vmlSetErrorCallBack", "vmlGetErrorCallBack", "vmlClearErrorCallBack")
    )
    previous = get_callback()
    assert address(ffi, set_callback(record)) == address(ffi, previous)
    assert {address(ffi, getattr(lib, g)()) for g in forms("vmlGetErrorCallBack")} == {
        address(ffi, record)
    }
    lib.vmlSetMode(lib.vmlGetMode() | VML_ERRMODE_CALLBACK)
    result = ffi.new("double[3]")
    lib.vdLn(3, [1.0, -1.0, 0.0], result)
    assert seen == [(VML_STATUS_ERRDOM, 1, b"vdLn"), (VML_STATUS_SING, 2, b"vdLn")]

    assert address(ffi, clear_callback()) == address(ffi, record)
    lib.vmlSetMode(lib.vmlGetMode() | VML_ERRMODE_CALLBACK)
    lib.vdLn(3, [1.0, -1.0, 0.0], result)
    assert len(seen) == 2, "a cleared callback is not called again"


def test_callback_addresses_pass_through_unchanged(ffi, lib, preserved_vml_state):
    first = ffi.callback("VMLErrorCallBack", lambda context: 0)
    second = ffi.callback("VMLErrorCallBack", lambda context: 0)
    lib.vmlSetErrorCallBack(first)
    assert address(ffi, lib.vmlseterrorcallback(second)) == address(ffi, first)
    assert address(ffi, lib.VMLSETERRORCALLBACK(first)) == address(ffi, second)
    assert address(ffi, lib.vmlSetErrorCallBack(ffi.NULL)) == address(ffi, first)
    returned = lib.vmlGetErrorCallBack()
    assert address(ffi, returned) == 0
    assert ffi.typeof(returned) == ffi.typeof("VMLErrorCallBack")
