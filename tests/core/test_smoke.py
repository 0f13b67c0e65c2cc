"""The module imports through the backend and offers exactly the catalogue."""

from conftest import FUNCTIONS


def test_lib_offers_exactly_the_catalogue(lib):
    assert sorted(dir(lib)) == sorted(f.name for f in FUNCTIONS)


def test_vdadd_adds_through_cdata(ffi, lib):
    a = ffi.new("double[]", [1.0, 2.0, 3.0])
    b = ffi.new("double[]", [10.0, 20.0, 30.0])
    r = ffi.new("double[3]")
    assert lib.vdAdd(3, a, b, r) is None
    assert list(r) == [11.0, 22.0, 33.0]
