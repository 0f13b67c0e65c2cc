"""A hypothesis fuzzer calls every function with random arities and random objects at each
position: every call returns or raises an ordinary Python exception, and none crashes.

The module checks no count against array sizes, no stride and no index, exactly as C does, so
the fuzzer keeps within what MKL may touch: any integer that could reach MKL as a count, a
stride or an index is at most LIMIT, every array object it makes holds at least ELEMENTS
elements of the widest element type, and mode words never unmask floating-point traps.
Everything else is fair game.

Profiles: the default "ci" makes about 15 000 calls; QUORVEX_FUZZ_PROFILE=long makes at least
a million (about ten minutes on one core).
"""

from __future__ import annotations

import contextlib
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from vml_cases import REAL_CTYPE, constants, roles, vml_state  # noqa: F401  (fixture)

from catalogue import vml

pytestmark = pytest.mark.slow

LIMIT = 6  # the largest count, stride or index any fuzzed call can hand MKL
ELEMENTS = LIMIT * LIMIT + 4  # PackI reads element (count - 1) * stride
CHUNKS = 12  # the catalogue is fuzzed in chunks of 87 functions, one test each
PROFILES = {
    "ci": dict(max_examples=15, derandomize=True),
    "long": dict(max_examples=1_000_000 // 1044 + 50, derandomize=False),
}
PROFILE = os.environ.get("QUORVEX_FUZZ_PROFILE", "ci")
MINIMUM_CALLS = {"ci": 10_000, "long": 1_000_000}

FUNCTIONS = vml.functions()
INT32 = (-(2**31), 2**31 - 1)
INT64 = (-(2**63), 2**63 - 1)


class Objects:
    """Strategies for everything the fuzzer passes, built once per ffi."""

    def __init__(self, ffi):
        self.ffi = ffi
        self.owners = []  # memory behind views that do not own it; emptied after each batch
        self.callback = ffi.callback("VMLErrorCallBack", lambda context: 0)
        bits = constants()
        # Error-handling and threading bits, without stderr messages; never the trap bits
        # (MKL would raise SIGFPE), the x87 or the denormal-flushing bits, and only the
        # documented accuracy values: MKL dispatches on the accuracy bits, and the undefined
        # ones call other functions (8: Atan for Asinh) or jump nowhere (4, 5).
        self.mode_bits = (bits["VML_ERRMODE_MASK"] & ~bits["VML_ERRMODE_STDERR"]) | bits[
            "VML_NUM_THREADS_OMP_MASK"
        ]
        self.accuracies = st.sampled_from([0, bits["VML_HA"], bits["VML_LA"], bits["VML_EP"]])
        self.out_of_range = st.integers(min_value=INT64[1] + 1) | st.integers(
            max_value=INT64[0] - 1
        )
        self.small = st.integers(0, LIMIT)
        self.reals = st.floats(allow_nan=True, allow_infinity=True)
        self.junk = self._junk()

    # --- building blocks -----------------------------------------------------------------

    def owned(self, cdata):
        """Keeps `cdata` alive while a cast or an element view of it may be in use."""
        self.owners.append(cdata)
        return cdata

    def array(self, ctype: str):
        """Objects the backend accepts as a `ctype *` holding ELEMENTS elements: one of a few
        prepared contents, as a list, a tuple, a cdata array, NumPy memory or a `void *`."""
        ffi = self.ffi
        forms = [list, tuple, lambda v: ffi.new(f"{ctype}[]", v)]
        # A `void *` passes for any pointer: zeroed memory for ELEMENTS of the widest type.
        forms.append(lambda v: ffi.cast("void *", self.owned(ffi.new("char[]", ELEMENTS * 16))))
        if ctype in ("float", "double"):
            forms.append(lambda v: ffi.from_buffer(f"{ctype}[]", numpy_array(v, ctype)))
        contents = st.sampled_from(CONTENTS[ctype])
        return st.tuples(st.sampled_from(forms), contents).map(lambda t: t[0](t[1]))

    def by_reference(self, ctype: str, value):
        ffi = self.ffi
        return st.one_of(
            value.map(lambda v: [v]),
            value.map(lambda v: (v,)),
            value.map(lambda v: ffi.new(f"{ctype}[1]", [v])),
        )

    def _junk(self):
        """Objects that no parameter accepts, or accepts harmlessly anywhere but as a callback."""
        ffi = self.ffi
        wrong_cdata = st.sampled_from(
            ["char", "short", "int", "long long", "unsigned int", "float", "double",
             "MKL_Complex8", "MKL_Complex16"]
        ).map(lambda t: ffi.new(f"{t}[]", ELEMENTS * 2))  # fmt: skip
        arrays = st.sampled_from(
            [np.int8, np.int32, np.uint64, np.float16, np.float32, np.float64, np.complex64,
             np.complex128, np.bool_, "U3"]
        ).map(lambda t: np.zeros(ELEMENTS * 2, t))  # fmt: skip
        return st.one_of(
            st.none(),
            st.just(Ellipsis),
            st.builds(object),
            st.text(max_size=4),
            st.binary(max_size=8),
            st.binary(max_size=8).map(bytearray),
            st.dictionaries(st.text(max_size=2), self.small, max_size=2),
            st.complex_numbers(),
            self.reals,
            self.out_of_range,
            st.lists(st.text(max_size=2) | st.none(), min_size=1, max_size=4),
            st.tuples(self.reals, st.text(max_size=1)),
            arrays,
            wrong_cdata,
            st.builds(lambda: self.owned(ffi.new("MKL_Complex16 *"))[0]),
            st.just(self.callback),
            st.just(np.int64(3)),
            st.just(np.float32(0.5)),
            st.just(np.zeros((), np.int32)),
        )

    # --- per parameter -------------------------------------------------------------------

    def mode_word(self):
        other_bits = st.integers(0, 2**31 - 1).map(lambda m: m & self.mode_bits)
        return st.tuples(self.accuracies, st.just(0) | other_bits).map(lambda t: t[0] | t[1])

    def for_role(self, fn: vml.Function, role: str):
        p, fortran = fn.precision, fn.fortran
        element = vml.ELEMENT_TYPE[p]
        if role == "count":
            value = st.one_of(self.small, self.small, st.integers(INT32[0], -1))
            return self.by_reference("int", value) if fortran else value
        if role == "stride":
            return self.by_reference("int", self.small) if fortran else self.small
        if role == "select":
            return self.array("int")
        if role in ("in", "out"):
            return self.array(element)
        if role in ("real_in", "real_out"):
            return self.array(REAL_CTYPE[p])
        if role == "mode":
            return self.by_reference("long long", self.mode_word()) if fortran else self.mode_word()
        if role == "scalar":
            if p in "cz":
                pair = st.tuples(self.reals, self.reals)
                value = st.one_of(
                    pair.map(list),
                    pair,
                    pair.map(lambda v: {"real": v[0], "imag": v[1]}),
                    pair.map(lambda v: self.owned(self.ffi.new(f"{element} *", list(v)))[0]),
                )
                return self.by_reference(element, pair.map(list)) if fortran else value
            value = self.reals | st.integers(-(2**64), 2**64) | st.just(np.float64(-1.0))
            return self.by_reference(element, self.reals) if fortran else value
        raise AssertionError(role)

    def for_service(self, fn: vml.Function):
        ctype = fn.params[0]
        if ctype == "VMLErrorCallBack":
            null = self.ffi.cast("VMLErrorCallBack", 0)
            return st.sampled_from([self.callback, self.ffi.NULL, null])
        if ctype == "unsigned int":
            return self.mode_word()
        if ctype == "unsigned int *":
            return self.by_reference("unsigned int", self.mode_word())
        if ctype == "int":
            return st.integers(*INT32)
        return self.by_reference("int", st.integers(*INT32))

    def arguments(self, fn: vml.Function) -> dict[str, st.SearchStrategy]:
        """Argument tuples by kind: well formed (each position its own kind of object), with
        junk at one position, or of a wrong arity (anything at all: nothing is converted).
        Junk holds no `void *` and no null: the pointers a callback slot or MKL would follow."""
        if fn.family == "service":
            right = [self.for_service(fn) for _ in fn.params]
        else:
            right = [self.for_role(fn, role) for role in roles(fn)]
        one_junk = [
            st.tuples(*[self.junk if j == i else r for j, r in enumerate(right)])
            for i in range(len(right))
        ]
        anything = st.one_of(self.junk, *right)
        wrong = [
            st.lists(anything, min_size=k, max_size=k).map(tuple)
            for k in range(11)
            if k != len(right)
        ]
        return {
            "well formed": st.tuples(*right),
            "junk at one position": st.one_of(one_junk or wrong),
            "wrong arity": st.one_of(wrong),
        }


KINDS = st.sampled_from(["well formed"] * 4 + ["junk at one position"] * 2 + ["wrong arity"])


def _contents() -> dict[str, list[list]]:
    """Prepared array contents per element type: special values in several rotations, random
    values of several scales; integers stay within [0, LIMIT]."""
    rng = np.random.default_rng(7)
    specials = [np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, -5e-324, 1.0, -1.0, 0.5, -0.5, 2.5]
    specials += [1e-40, 3.5e38, 1e300, -1e300, 710.0, -750.0, 89.0, 1e16]
    reals = [np.roll(specials, k)[:ELEMENTS].tolist() * 2 for k in range(0, len(specials), 3)]
    for scale in (1.0, 1e3, 1e30):
        reals.append((rng.standard_normal(ELEMENTS) * scale).tolist())
    reals = [(r * ELEMENTS)[:ELEMENTS] for r in reals]
    partners = reals[1:] + reals[:1]
    pairs = [
        [[a, b] for a, b in zip(r, s, strict=True)] for r, s in zip(reals, partners, strict=True)
    ]
    ints = [[0] * ELEMENTS, [LIMIT] * ELEMENTS, [i % (LIMIT + 1) for i in range(ELEMENTS)]]
    ints.append(rng.integers(0, LIMIT + 1, ELEMENTS).tolist())
    return {
        "float": reals,
        "double": reals,
        "MKL_Complex8": pairs,
        "MKL_Complex16": pairs,
        "int": ints,
    }


CONTENTS = _contents()


def numpy_array(values, ctype: str) -> np.ndarray:
    with np.errstate(over="ignore"):  # doubles beyond single precision become infinities
        return np.array(values, np.float64).astype(np.float32 if ctype == "float" else np.float64)


@contextlib.contextmanager
def stdout_silenced():
    """MKL prints a line to stdout for every negative count; keep millions of them out."""
    saved = os.dup(1)
    with open(os.devnull, "wb") as devnull:
        os.dup2(devnull.fileno(), 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


@pytest.mark.parametrize("chunk", range(CHUNKS))
@pytest.mark.usefixtures("vml_state")
def test_fuzz_every_function(ffi, lib, record_property, chunk):
    """Each example calls every function of one chunk of the catalogue once."""
    functions = FUNCTIONS[chunk::CHUNKS]
    objects = Objects(ffi)
    arguments = {fn.name: objects.arguments(fn) for fn in functions}
    saved = (lib.vmlGetMode(), lib.vmlGetErrStatus(), lib.vmlGetErrorCallBack())
    tally = {"calls": 0, "raised": 0}

    @settings(
        **PROFILES[PROFILE],
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
    )
    @given(st.data())
    def calls(data):
        try:
            with stdout_silenced():
                for fn in functions:
                    args = data.draw(arguments[fn.name][data.draw(KINDS)], label=fn.name)
                    tally["calls"] += 1
                    try:
                        result = getattr(lib, fn.name)(*args)
                    except SystemError:  # a C-level protocol fault, not a refusal
                        raise
                    except Exception:
                        tally["raised"] += 1
                        continue
                    if fn.family != "service":
                        assert result is None, fn.name
        finally:
            objects.owners.clear()
            lib.vmlSetMode(saved[0])
            lib.vmlSetErrStatus(saved[1])
            lib.vmlSetErrorCallBack(saved[2])

    calls()
    record_property("fuzzed_calls", tally["calls"])
    print(f"chunk {chunk}: {tally}")
    assert tally["calls"] >= MINIMUM_CALLS[PROFILE] // CHUNKS
    assert 0 < tally["raised"] < tally["calls"]  # both outcomes were exercised
