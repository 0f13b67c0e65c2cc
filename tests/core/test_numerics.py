"""Every elementwise, pack and unpack function computes what MKL computes, in every name form."""

from __future__ import annotations

import kernels
import numpy as np
import pytest
from vml_cases import (
    CALLABLE_WITH_ARRAYS,
    build_call,
    mode_word,
    operation_data,
    operations,
    reference_ulps,
    relative_error,
    tolerance,
    vml_state,  # noqa: F401  (fixture)
)

pytestmark = pytest.mark.numerics

OPERATIONS = operations()


def argument_style(fn) -> str:
    """Each name form gets its arrays another way, so every conversion path is checked."""
    if not fn.fortran:
        return "buffer"
    return "cdata" if fn.name.isupper() else "list"


@pytest.mark.usefixtures("vml_state")  # high accuracy
@pytest.mark.parametrize("fn", CALLABLE_WITH_ARRAYS, ids=lambda f: f.name)
def test_matches_mkl_called_directly_and_the_reference(ffi, lib, mkl_direct, fn):
    """The module passes MKL's answer through: the same bits and the same error status as
    MKL called without it. That answer is then held against NumPy and SciPy."""
    data = operation_data(fn.base, fn.precision)
    word = mode_word(lib, "HA")
    call = build_call(ffi, fn, data, style=argument_style(fn), mode=word)
    direct = build_call(mkl_direct.ffi, fn, data, mode=word)
    lib.vmlClearErrStatus()
    assert call(lib) is None
    status = lib.vmlClearErrStatus()
    direct(mkl_direct)
    assert (status, [o.tobytes() for o in call.outputs]) == (
        mkl_direct.vmlClearErrStatus(),
        [o.tobytes() for o in direct.outputs],
    )

    if not kernels.holds("accuracy", fn.base, fn.precision):
        return
    limit = tolerance("HA", fn.precision, reference_ulps(fn.base, fn.precision))
    for result, expected in zip(call.outputs, data.expected, strict=True):
        if data.exact:
            np.testing.assert_array_equal(result, expected)
            continue
        error = relative_error(result, expected, fn.precision)
        worst = int(np.argmax(error))
        inputs = [a[worst] for a in data.inputs]
        assert error[worst] <= limit, (
            f"{fn.name}{tuple(inputs)} = {result[worst]!r}, expected {expected[worst]!r}: "
            f"{error[worst]:.2f} eps > {limit} eps"
        )


def agreement_cases() -> list:
    cases = []
    for (base, precision), forms in OPERATIONS.items():
        has_modes = any(f.mode_variant for f in forms)
        for accuracy in ("HA", "LA", "EP") if has_modes else ("HA",):
            cases.append(pytest.param(forms, accuracy, id=f"v{precision}{base}-{accuracy}"))
    return cases


@pytest.mark.usefixtures("vml_state")
@pytest.mark.parametrize(("forms", "accuracy"), agreement_cases())
def test_name_forms_agree_bit_for_bit(ffi, lib, forms, accuracy):
    """Under one accuracy mode, set globally for the plain forms and passed to the mode
    variants, the C form, both Fortran forms and the mode variants give identical bits."""
    lib.vmlSetMode(mode_word(lib, accuracy))
    data = operation_data(forms[0].base, forms[0].precision)
    results = {}
    for fn in forms:
        call = build_call(ffi, fn, data, mode=mode_word(lib, accuracy))
        call(lib)
        results[fn.name] = [out.tobytes() for out in call.outputs]
    c_form = forms[0].name
    differing = [name for name, outs in results.items() if outs != results[c_form]]
    assert not differing, f"{differing} differ from {c_form} under {accuracy}"
