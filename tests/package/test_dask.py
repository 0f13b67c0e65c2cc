"""vml's ufuncs on Dask arrays, on threads and on a cluster; MKL's threads per worker."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
vd = pytest.importorskip("quorvex.mkl.dask")

from quorvex.mkl import vml  # noqa: E402  (after the skips, which keep Dask optional)


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


def expressions(x, y):
    """Every kind of vml ufunc on Dask arrays: one and two inputs and results, a namespace."""
    return [vml.exp(x), vml.add(x, y), *vml.sincos(y), *vml.modf(x), vml.ep.powx(x, 3.3)]


def test_graphs_survive_pickling_and_run_on_worker_processes(client):
    rng = np.random.default_rng(4)
    a, b = rng.uniform(0.5, 2, (2, 300, 40))
    x, y = da.from_array(a, chunks=(100, 40)), da.from_array(b, chunks=(60, 20))
    lazy = expressions(x, y)
    graph = {}
    for result in lazy:
        graph.update(result.__dask_graph__())
    restored = pickle.loads(pickle.dumps(graph))  # plain pickle: ufuncs travel by name
    local = dask.get(restored, [r.__dask_keys__() for r in lazy])
    for got, here, want in zip(
        client.compute(lazy, sync=True), local, expressions(a, b), strict=True
    ):
        np.testing.assert_array_equal(got, want)
        np.testing.assert_array_equal(np.block(as_lists(here)), want)


def as_lists(blocks):
    return [as_lists(b) for b in blocks] if isinstance(blocks, (list, tuple)) else blocks


@pytest.mark.parametrize("where", ["sync", "threads", "distributed"])
def test_errors_from_a_chunk_reach_the_caller(where, request):
    x = da.from_array(np.array([1.0, 2.0, -1.0, 3.0]), chunks=2)

    def raising(block):
        with np.errstate(invalid="raise"):
            return vml.ln(block)

    lazy = x.map_blocks(raising)
    with pytest.raises(FloatingPointError, match="invalid value encountered in ln"):
        if where == "distributed":
            request.getfixturevalue("client").compute(lazy, sync=True)
        else:
            lazy.compute(scheduler=where)


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
