"""The NumPy layer on Dask arrays: results, chunk alignment, errors, pickling and MKL's threads."""

from __future__ import annotations

import pickle

import kernels
import numpy as np
import pytest
from conftest import FUNCTIONS

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
vd = pytest.importorskip("quorvex.mkl.dask")

from quorvex.mkl import vml  # noqa: E402  (after the skips, which keep Dask optional)

FAMILY = {f.base.lower(): f.family for f in FUNCTIONS}
ARRAYS_IN = {"two_input": 2, "linear_frac": 2}
SCALARS = {"powx": (2.5,), "linear_frac": (2.0, 3.0, 0.5, 1.0)}
DTYPES = [np.dtype(t) for t in ("float32", "float64", "complex64", "complex128")]


def arguments(name: str, make) -> tuple[tuple, tuple]:
    """The operation's arrays, each made by ``make()``, and its scalar arguments."""
    family = FAMILY[name]
    arrays = tuple(make() for _ in range(ARRAYS_IN.get(family, 1)))
    scalars = SCALARS.get(family, ())
    if family == "powx" and arrays[0].dtype.kind == "c":
        scalars = (2.5 + 0.5j,)
    return arrays, scalars


def accepts(name: str, dtype: np.dtype) -> bool:
    arrays, scalars = arguments(name, lambda: np.empty(0, dtype))
    try:
        getattr(vml, name)(*arrays, *scalars)
    except TypeError:
        return False
    return True


def sample(rng, shape, dtype) -> np.ndarray:
    values = rng.uniform(0.5, 0.9, shape)
    if dtype.kind == "c":
        values = values + 1j * rng.uniform(-0.9, 0.9, shape)
    return values.astype(dtype)


def results(value) -> tuple:
    return value if isinstance(value, tuple) else (value,)


def assert_same(got, want):
    got, want = results(got), results(want)
    assert len(got) == len(want)
    for g, w in zip(got, want, strict=True):
        assert isinstance(g, np.ndarray)
        assert g.dtype == w.dtype
        np.testing.assert_array_equal(g, w)


CASES = [(name, dtype) for name in vd.OPERATIONS for dtype in DTYPES if accepts(name, dtype)]


def test_every_elementwise_operation_is_offered():
    pack = {name for name in vml.OPERATIONS if FAMILY[name] == "pack"}
    assert set(vd.OPERATIONS) == set(vml.OPERATIONS) - pack
    for name in pack:
        with pytest.raises(AttributeError, match="not elementwise"):
            getattr(vd, name)


@pytest.mark.parametrize(("name", "dtype"), CASES, ids=[f"{n}-{d}" for n, d in CASES])
def test_threaded_results_equal_the_numpy_layer(name, dtype):
    rng = np.random.default_rng(len(name))
    arrays, scalars = arguments(name, lambda: sample(rng, (7, 9), dtype))
    # Different chunks per operand: the operation has to align them.
    lazy = [da.from_array(a, chunks=(3 + i, 4)) for i, a in enumerate(arrays)]
    with vml.errstate(all="ignore"):
        expected = getattr(vml, name)(*arrays, *scalars)
        result = getattr(vd, name)(*lazy, *scalars)
    assert all(r.shape == (7, 9) for r in results(result))
    assert_same(dask.compute(result, scheduler="threads", num_workers=2)[0], expected)


def test_zero_d_empty_and_numpy_operands():
    x = np.linspace(0.5, 0.9, 12)
    assert_same(vd.exp(da.from_array(np.float64(0.5))).compute(), vml.exp(np.float64(0.5)))
    assert_same(vd.add(x, da.from_array(x, chunks=5)).compute(), vml.add(x, x))  # NumPy + Dask
    assert vd.exp(da.zeros((0, 3), chunks=2)).compute().shape == (0, 3)


def test_two_results_compute_each_chunk_once(monkeypatch):
    calls = []
    sincos = vml.sincos
    monkeypatch.setattr(vml, "sincos", lambda x, **k: calls.append(x.size) or sincos(x, **k))
    x = da.linspace(0, 1, 10, chunks=5)
    sin, cos = vd.sincos(x)
    dask.compute(sin + 1, cos * 2, scheduler="sync")
    assert sorted(calls) == [0, 5, 5]  # the dtype check on an empty array, then each chunk


@pytest.mark.parametrize(
    ("name", "args", "keywords"),
    [
        ("powx", (3.3,), {"mode": vml.EP}),
        ("powx", (3.3,), {"mode": vml.LA | vml.FTZDAZ_ON, "dtype": "float32"}),
        ("exp", (), {"dtype": "complex64"}),
        ("sincos", (), {"dtype": np.float32}),
    ],
)
def test_mode_and_dtype_reach_every_chunk(name, args, keywords):
    x = np.linspace(0.1, 3, 1000)
    expected = getattr(vml, name)(x, *args, **keywords)
    lazy = getattr(vd, name)(da.from_array(x, chunks=300), *args, **keywords)
    assert_same(dask.compute(lazy, scheduler="threads")[0], expected)
    # The keywords change the result, so a chunk that lost them would show.
    if keywords.keys() == {"mode"}:
        kernels.skip_unless_holds("modes differ", "Powx", "d")
    plain = getattr(vml, name)(x, *args)
    assert any(
        p.dtype != e.dtype or not np.array_equal(p, e)
        for p, e in zip(results(plain), results(expected), strict=True)
    )


# ---------------------------------------------------------------------------
# Errors: the NumPy layer's, raised while the graph is built, or from a chunk at compute.


@pytest.mark.parametrize(
    ("name", "arrays", "scalars", "keywords"),
    [
        ("exp", [np.arange(4)], (), {}),
        ("exp", [np.ones(4)], (), {"dtype": "int32"}),
        ("sincos", [np.ones(4, complex)], (), {}),
        ("add", [np.ones(4), np.ones(4, np.float32)], (), {}),
        ("add", [np.ones(4), np.ones(5)], (), {}),
        ("hypot", [np.ones((4, 3)), np.ones(4)], (), {"dtype": "float32"}),
        ("powx", [np.ones(4)], ("a",), {}),
        ("powx", [np.ones(4)], (2j,), {}),
        ("linearfrac", [np.ones(4), np.ones(4)], (1, None, 1, 0), {}),
        ("exp", [np.ones(4)], (), {"mode": 0xDEAD0000}),
        ("exp", [np.ones(4)], (), {"mode": vml.LA | vml.HA | vml.EP | 0x4}),
    ],
)
def test_checks_run_before_the_graph_with_the_numpy_layers_messages(
    name, arrays, scalars, keywords
):
    with pytest.raises((TypeError, ValueError)) as numpy_error:
        getattr(vml, name)(*arrays, *scalars, **keywords)
    lazy = [da.from_array(a, chunks=2) for a in arrays]
    with pytest.raises(numpy_error.type) as dask_error:
        getattr(vd, name)(*lazy, *scalars, **keywords)
    assert str(dask_error.value) == str(numpy_error.value)


def test_shape_check_allocates_nothing():
    huge = 10**10  # 80 GB of float64 per operand
    with pytest.raises(ValueError, match=f"shapes \\({huge},\\) and \\({huge + 1},\\)"):
        vd.add(da.zeros(huge), da.zeros(huge + 1))


def test_out_and_chunks_other_than_numpy_are_refused():
    x = da.ones(4, chunks=2)
    with pytest.raises(TypeError, match="does not take out="):
        vd.exp(x, out=x)
    with pytest.raises(TypeError, match="Dask arrays of NumPy chunks"):
        vd.exp(da.ones(4, chunks=2).map_blocks(np.ma.masked_invalid))


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            silence_logs=50,  # a failing chunk is expected in some tests; keep the logs quiet
        ) as cluster,
        distributed.Client(cluster, set_as_default=False) as client,
    ):
        yield client


def compute(lazy, where, request):
    if where == "distributed":
        return request.getfixturevalue("client").compute(lazy, sync=True)
    return dask.compute(lazy, scheduler=where, num_workers=2)[0]


# "processes" sends the error back by pickle alone; distributed's transport also uses tblib.
@pytest.mark.parametrize("where", ["sync", "threads", "processes", "distributed"])
def test_errors_from_a_chunk_reach_the_caller(where, request):
    x = da.from_array(np.array([1.0, 2.0, -1.0, 3.0]), chunks=2)
    with vml.errstate(domain="raise"):
        raising = vd.ln(x)
    with pytest.raises(vml.VMLError, match=r"vml\.ln: .*VML_STATUS_ERRDOM"):
        compute(raising, where, request)
    # The policy in force when the expression was built applies, not the one at compute.
    with vml.errstate(all="ignore"):
        ignoring = vd.ln(x)
    with vml.errstate(domain="raise"):
        assert np.isnan(compute(ignoring, where, request)[2])
    # A chunk of another dtype than its array declares: the NumPy layer's TypeError.
    lying = da.from_delayed(dask.delayed(np.arange)(4), shape=(4,), dtype=float)
    with pytest.raises(TypeError, match=r"vml\.exp does not accept int64 arrays"):
        compute(vd.exp(lying), where, request)


# ---------------------------------------------------------------------------
# What travels to worker processes.


@pytest.mark.parametrize("name", ["exp", "abs", "cis", "add", "sincos", "powx", "linearfrac"])
def test_graphs_run_after_a_pickle_round_trip(name):
    rng = np.random.default_rng(3)
    arrays, scalars = arguments(name, lambda: sample(rng, 10, np.dtype("c16")))
    if name in ("cis", "sincos", "linearfrac"):
        arrays = tuple(a.real.copy() for a in arrays)
    with vml.errstate(overflow="raise"):
        lazy = results(
            getattr(vd, name)(*(da.from_array(a, chunks=4) for a in arrays), *scalars, mode=vml.LA)
        )
    graph = {}
    for result in lazy:
        graph.update(result.__dask_graph__())
    restored = pickle.loads(pickle.dumps(graph))  # plain pickle, no cloudpickle fallback
    keys = [r.__dask_keys__() for r in lazy]
    got = [np.concatenate(blocks) for blocks in dask.get(restored, keys)]
    assert_same(tuple(got), results(getattr(vml, name)(*arrays, *scalars, mode=vml.LA)))


# ---------------------------------------------------------------------------
# On a LocalCluster of two worker processes, and MKL's threads.


def test_distributed_results_equal_the_numpy_layer(client):
    rng = np.random.default_rng(4)
    a, b = rng.uniform(0.5, 2, (2, 300, 40))
    x, y = da.from_array(a, chunks=(100, 40)), da.from_array(b, chunks=(60, 20))
    lazy = [vd.exp(x), vd.add(x, y), *vd.sincos(y), vd.powx(x, 3.3, mode=vml.EP)]
    expected = [vml.exp(a), vml.add(a, b), *vml.sincos(b), vml.powx(a, 3.3, mode=vml.EP)]
    for got, want in zip(client.compute(lazy, sync=True), expected, strict=True):
        assert_same(got, want)


def test_thread_count_here():
    before = vd.get_num_threads()
    try:
        assert vd.set_num_threads(1) == before
        assert vd.get_num_threads() == 1
    finally:
        vd.set_num_threads(before)
    with pytest.raises(ValueError, match="at least 1"):
        vd.set_num_threads(0)


def test_thread_count_on_every_worker_including_restarted_ones(client):
    workers = set(client.scheduler_info()["workers"])
    assert set(vd.set_num_threads(2, client)) == workers
    assert vd.get_num_threads(client) == dict.fromkeys(workers, 2)
    client.restart()  # new worker processes; distributed's own default would be 1
    assert set(vd.get_num_threads(client).values()) == {2}
    assert set(vd.set_num_threads(1, client).values()) == {2}
    assert set(vd.get_num_threads(client).values()) == {1}
