"""vorandix.dask.scan on a cluster of two worker processes: the same rows as scan."""

import sys

import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from distributed import Client, LocalCluster, wait

import vorandix
import vorandix.dask
from conftest import DATA


def test_two_worker_processes_describe_paths_and_urls_like_scan(tmp_path):
    local = [DATA, tmp_path / "missing"]
    urls = ["file://" + str(DATA / "media"), "file://" + str(tmp_path / "gone.png")]
    expected = list(vorandix.scan(local))
    for path in sorted(p for p in (DATA / "media").iterdir() if p.is_file()):
        with open(path, "rb") as f:
            expected.append({"path": "file://" + str(path), **vorandix.parse_file(f, name=path.name)})
    gone = {"kind": "not_found", "message": "No such file or directory (os error 2)"}
    expected.append({"path": urls[1], "error": gone})

    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, Client(cluster):
        frame = vorandix.dask.scan(local + urls, files_per_partition=8)
        assert frame.npartitions >= 10
        frame.to_parquet(tmp_path / "out", write_index=False)

    # Dask names the files part.0.parquet, part.1.parquet, ... in the frame's order.
    parts = sorted((tmp_path / "out").iterdir(), key=lambda p: int(p.name.split(".")[1]))
    assert [r for p in parts for r in vorandix.from_arrow(pq.read_table(p))] == expected


@pytest.mark.parametrize("from_map", [False, True], ids=["dask-expression", "from_map"])
def test_frame_has_the_schema_as_arrow_dtypes_and_the_rows_of_scan(
    tmp_path, monkeypatch, from_map
):
    if from_map:  # as on a Dask whose expression classes vorandix._dask_expr cannot use
        monkeypatch.setitem(sys.modules, "vorandix._dask_expr", None)
    inputs = [DATA / "media", tmp_path / "missing"]
    frame = vorandix.dask.scan(inputs, files_per_partition=3)
    assert list(frame.dtypes.items()) == [(f.name, pd.ArrowDtype(f.type)) for f in vorandix.schema()]
    table = pa.Table.from_pandas(frame.compute(scheduler="sync"), preserve_index=False)
    assert list(vorandix.from_arrow(table)) == list(vorandix.scan(inputs))


def test_reset_index_drop_costs_no_step_and_changes_no_row(tmp_path):
    pytest.importorskip("vorandix._dask_expr")  # the step is left out by its expression
    frame = vorandix.dask.scan([DATA / "media", DATA / "images"], files_per_partition=4)
    for source in (frame, frame.partitions[1:3]):
        # map_partitions runs pandas' own reset_index on each partition: the step left out.
        by_pandas = source.map_partitions(lambda part: part.reset_index(drop=True))
        pd.testing.assert_frame_equal(
            source.reset_index(drop=True).compute(scheduler="sync"),
            by_pandas.compute(scheduler="sync"),
        )
    written = frame.to_parquet(tmp_path / "out", write_index=False, compute=False)
    keys = [str(key) for key in dict(written.expr.optimize(fuse=False).__dask_graph__())]
    assert len(keys) == frame.npartitions * 2 + 1  # describe and write each; one last step
    assert not any("reset_index" in key for key in keys)


def test_a_scan_sees_files_changed_since_a_persisted_scan_of_them(tmp_path):
    # Dask takes tasks of equal names for equal results: a scan named by its files alone was
    # handed the rows the cluster still held for an earlier scan of them.
    (tmp_path / "a.txt").write_bytes(b"old")
    with LocalCluster(n_workers=1, processes=False, dashboard_address=None) as cluster, Client(
        cluster
    ) as client:
        kept = client.persist(vorandix.dask.scan(tmp_path))
        wait(kept)
        (tmp_path / "a.txt").write_bytes(b"new, and longer")
        rows = vorandix.dask.scan(tmp_path).compute()
    assert rows["file"].iloc[0]["size_bytes"] == len(b"new, and longer")
