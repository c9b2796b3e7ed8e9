"""Tables: Parquet output against JSON Lines, and Dask on two worker processes against one.

    .venv/bin/python bench/tables.py [--repeat 5] [--only parquet|dask]

Builds its inputs in a temporary folder and prints, in one run:
- the time of scan -> Parquet over scan -> JSON Lines for 2,000 small files copied from the
  project's samples (target at most 1.3x), in-process: ``write_parquet(scan_batches(...))``
  against ``scan_json`` and the command's line writer; beside it the ratio of the CPU time of
  all threads, which is what the wall-clock ratio approaches on idle cores, the same with
  the records as dicts (``write_parquet(scan(...))``, the general path through ``to_arrow``),
  and the same for 20,000 files;
- the same as the command (``--format parquet`` against JSON Lines), for 2,000 and 20,000 files:
  each Parquet run also pays the import of pyarrow (and of pandas, which pyarrow's conversion
  of Python lists loads whenever it is installed), a constant that more files amortise;
- the command's peak resident memory writing Parquet for 2,000 and for 20,000 files, beside
  JSON Lines: flat when the larger collection needs no more memory;
- on a ``distributed.LocalCluster`` of one worker process over two (one thread each), 200 files
  of 1 MiB of random bytes: the speed of describing them (``client.persist(scan(...))``,
  waited for; target at least 1.6x), the same written with ``scan(...).to_parquet(...)``,
  what Dask's to_parquet costs by itself, on a frame of 200 integers, on the same clusters,
  and the describing again on clusters whose own monitoring is quieted (QUIET_MONITORING);
  beside them Dask's ceiling on the same clusters: tasks that spend the CPU of describing the
  same partitions on SHA-256 of a buffer alone, returning a number (no vorandix, no frame).
Ratios are measured in the same run, repeated, alternating the order of the two sides; the
median is the figure and the spread is shown beside it. ``--only parquet`` runs the first
parts, ``--only dask`` the last.
"""

from __future__ import annotations

import argparse
import hashlib
import logging
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import TYPE_CHECKING, Callable

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from scan_collections import make_mixed, make_random, ratios, show  # noqa: E402

import vorandix  # noqa: E402
from vorandix._lines import json_line  # noqa: E402
from vorandix._scan import scan_json  # noqa: E402
from vorandix.arrow import scan_batches, write_parquet  # noqa: E402

if TYPE_CHECKING:
    import distributed


# CPU seconds of the last in-process run (the caller's and the workers' threads together).
CPU: dict[str, float] = {}


def jsonl_in_process(folder: pathlib.Path, out: pathlib.Path) -> float:
    start, cpu = time.perf_counter(), time.process_time()
    with open(out, "wb") as f:
        for item in scan_json(str(folder)):
            f.write(json_line(item))
    CPU["jsonl"] = time.process_time() - cpu
    return time.perf_counter() - start


def parquet_in_process(folder: pathlib.Path, out: pathlib.Path, dicts: bool = False) -> float:
    start, cpu = time.perf_counter(), time.process_time()
    write_parquet((vorandix.scan if dicts else scan_batches)(str(folder)), out)
    CPU["parquet"] = time.process_time() - cpu
    return time.perf_counter() - start


# Runs the command in this interpreter and reports its peak resident memory (VmHWM starts
# afresh at exec, unlike the rusage of a child, which keeps its parent's peak).
COMMAND_CHILD = r"""
import runpy, sys
sys.argv = ["vorandix", *sys.argv[1:]]
try:
    runpy.run_module("vorandix", run_name="__main__")
except SystemExit as exc:
    if exc.code:
        raise
with open("/proc/self/status") as f:
    print(next(line.split()[1] for line in f if line.startswith("VmHWM:")), file=sys.stderr)
"""


def command(folder: pathlib.Path, out: pathlib.Path, *options: str) -> tuple[float, float]:
    """(seconds, peak resident MB) of the command writing `out`."""
    args = [sys.executable, "-c", COMMAND_CHILD, "-q", *options, "-o", str(out), str(folder)]
    start = time.perf_counter()
    done = subprocess.run(args, check=True, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    return elapsed, int(done.stderr.split()[-1]) / 1024


def described_seconds(client: "distributed.Client", folder: pathlib.Path) -> float:
    """scan(...) described on the cluster: persisted on the workers and waited for."""
    import distributed

    import vorandix.dask

    start = time.perf_counter()
    frame = client.persist(vorandix.dask.scan(str(folder)))
    distributed.wait(frame)
    elapsed = time.perf_counter() - start
    del frame  # the workers let the partitions go
    return elapsed


def ceiling_seconds(client: "distributed.Client", parts: list[int], buffer_bytes: int) -> float:
    """hashing_only over `parts` (files per task), one task each, run and gathered."""
    start = time.perf_counter()
    client.gather(client.map(hashing_only, parts, [buffer_bytes] * len(parts), pure=False))
    return time.perf_counter() - start


def parquet_seconds(frame: object, out: pathlib.Path) -> float:
    """`frame` (or, when it is a folder, scan() of it) written to Parquet under `out`."""
    import vorandix.dask

    shutil.rmtree(out, ignore_errors=True)
    start = time.perf_counter()
    if isinstance(frame, pathlib.Path):
        frame = vorandix.dask.scan(str(frame))
    frame.to_parquet(out, write_index=False)  # type: ignore[attr-defined]
    return time.perf_counter() - start


def parquet_part(root: pathlib.Path, repeat: int) -> None:
    """Parquet against JSON Lines: in-process, as the command, and the command's peak memory."""
    mixed, many = root / "mixed", root / "many"
    make_mixed(mixed, 2000)
    make_mixed(many, 20000)
    jsonl, parquet = root / "out.jsonl", root / "out.parquet"
    # Warm the page cache and the imports.
    jsonl_in_process(mixed, jsonl)
    parquet_in_process(mixed, parquet)

    cpu: list[float] = []

    def jsonl_noting_cpu() -> float:
        elapsed = jsonl_in_process(mixed, jsonl)
        cpu.append(CPU["parquet"] / CPU["jsonl"])
        return elapsed

    values = ratios(repeat, lambda: parquet_in_process(mixed, parquet), jsonl_noting_cpu)
    show("time, Parquet over JSON Lines, 2,000 files, in-process", values, "<= 1.3")
    show("  the same, CPU time of all threads (what idle cores allow)", cpu, "(info)")
    values = ratios(
        repeat,
        lambda: parquet_in_process(mixed, parquet, dicts=True),
        lambda: jsonl_in_process(mixed, jsonl),
    )
    show("  the same from record dicts (scan -> write_parquet)", values, "(info)")
    # The last row group is written after the last file is described, alone on the cores: a
    # fixed cost that more files amortise.
    values = ratios(
        3, lambda: parquet_in_process(many, parquet), lambda: jsonl_in_process(many, jsonl)
    )
    show("  the same for 20,000 files", values, "(info)")
    for label, folder in (("2,000", mixed), ("20,000", many)):
        values = ratios(
            repeat if folder is mixed else 3,
            lambda: command(folder, parquet, "--format", "parquet")[0],
            lambda: command(folder, jsonl)[0],
        )
        show(f"time, Parquet over JSON Lines, {label} files, the command", values, "(info)")
    for label, folder in (("2,000", mixed), ("20,000", many)):
        peaks = [command(folder, parquet, "--format", "parquet")[1] for _ in range(3)]
        lines = [command(folder, jsonl)[1] for _ in range(3)]
        print(
            f"{'peak RSS of the command, ' + label + ' files':<58} Parquet "
            f"{sorted(peaks)[1]:6.1f} MB (min {min(peaks):.1f}, max {max(peaks):.1f}), "
            f"JSON Lines {sorted(lines)[1]:.1f} MB"
        )


# Dask watches its own servers: each worker samples its running task every 10 ms, and every
# server checks its event loop every 20 ms and its memory every 100 ms. On two cores that
# CPU is taken from the two tasks (one worker leaves it the other core); with it quieted, the
# ratio shows how much of the gap to two is Dask's own watching.
QUIET_MONITORING = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.worker.memory.monitor-interval": "1s",
    "distributed.admin.system-monitor.interval": "1s",
}


def hashing_only(files: int, buffer_bytes: int) -> int:
    """A task for Dask's ceiling: for each of `files` files, SHA-256 of `buffer_bytes` (hashlib
    releases the GIL for it, as describing does while a file is read)."""
    buffer = bytes(buffer_bytes)
    for _ in range(files):
        hashlib.sha256(buffer).digest()
    return files


def task_seconds(client: "distributed.Client", run: Callable[[], object]) -> float:
    """The seconds the tasks of `run()` spent computing on the workers (Dask's task stream)."""
    import distributed

    with distributed.get_task_stream(client) as stream:
        run()
    spans = (span for task in stream.data for span in task["startstops"])
    return sum(span["stop"] - span["start"] for span in spans if span["action"] == "compute")


def hashing_like_describing(client: "distributed.Client", folder: pathlib.Path) -> int:
    """The SHA-256 buffer size whose hashing takes a worker as long as describing one file of
    `folder` does (partition and frame included), from the tasks' own times on `client`'s one
    worker, medians of five after a first run."""
    files = sum(1 for _ in folder.iterdir())

    def seconds(run: Callable[[], object]) -> float:
        run()
        return statistics.median(task_seconds(client, run) for _ in range(5))

    describing = seconds(lambda: described_seconds(client, folder))
    hashing = seconds(lambda: ceiling_seconds(client, [files], 1 << 20))
    return max(1, round((1 << 20) * describing / hashing))


def dask_part(root: pathlib.Path, repeat: int) -> None:
    """Describing on a cluster of one worker process and of two, and writing Parquet there.

    Each round starts the two clusters in turn (in alternating order), alone on the machine,
    each once with Dask's defaults and once with QUIET_MONITORING, and takes the median of three
    timed runs on each after a first one that loads the imports on the workers. Dask's ceiling
    runs hashing_only on the partitions scan() makes (one per worker thread) with Dask's
    defaults: a task of the same CPU that leaves nothing for vorandix to gain."""
    import dask
    import dask.dataframe as dd
    import pandas as pd
    from distributed import Client, LocalCluster

    random_dir, out = root / "random", root / "dask-out"
    make_random(random_dir, 200, 1 << 20)
    # Dask's own cost of a to_parquet compute: a frame of two partitions of 100 integers.
    tiny = dd.from_pandas(pd.DataFrame({"n": range(200)}), npartitions=2)
    cluster_options = {
        "threads_per_worker": 1,
        "processes": True,
        "dashboard_address": None,
        "silence_logs": logging.CRITICAL,
    }
    with LocalCluster(n_workers=1, **cluster_options) as cluster, Client(cluster) as client:
        buffer_bytes = hashing_like_describing(client, random_dir)
    kinds = ("described", "parquet", "tiny", "quiet", "ceiling")
    times: dict[tuple[str, int], list[float]] = {(k, n): [] for k in kinds for n in (1, 2)}
    for i in range(repeat):
        for workers in (1, 2) if i % 2 == 0 else (2, 1):
            for config in ({}, QUIET_MONITORING):
                with dask.config.set(config), LocalCluster(
                    n_workers=workers, **cluster_options
                ) as cluster, Client(cluster) as client:
                    parts = [200] if workers == 1 else [100, 100]
                    runs = {
                        "described": lambda: described_seconds(client, random_dir),
                        "ceiling": lambda: ceiling_seconds(client, parts, buffer_bytes),
                        "parquet": lambda: parquet_seconds(random_dir, out),
                        "tiny": lambda: parquet_seconds(tiny, out),
                    }
                    if config:
                        runs = {"quiet": runs["described"]}
                    for kind, run in runs.items():
                        run()
                        times[kind, workers].append(statistics.median(run() for _ in range(3)))
    load = os.getloadavg()[0]
    labels = {
        "described": ("speed, Dask 2 worker processes over 1, 200 x 1 MiB", ">= 1.6"),
        "parquet": ("  the same, then written with .to_parquet", "(info)"),
        "quiet": ("  the same described, Dask's monitoring quieted", "(info)"),
        "ceiling": ("  Dask's ceiling: tasks of that CPU that only hash", "(info)"),
    }
    for kind, (label, target) in labels.items():
        one, two = times[kind, 1], times[kind, 2]
        show(label, [a / b for a, b in zip(one, two)], target)
        print(
            f"{'':<58} (2 workers: median {statistics.median(two) * 1000:.0f} ms; "
            f"1 worker: median {statistics.median(one) * 1000:.0f} ms)"
        )
    print(
        f"{'  Dask alone: to_parquet of 2 partitions of 100 integers':<58} "
        f"{statistics.median(times['tiny', 2]) * 1000:.0f} ms on 2 workers, "
        f"{statistics.median(times['tiny', 1]) * 1000:.0f} ms on 1 "
        f"(load average {load:.1f} on {os.cpu_count()} CPUs)"
    )
    pairs = zip(*(times[kind, n] for kind in ("described", "ceiling") for n in (1, 2)))
    show(
        "  the describing's ratio over the ceiling's, per round",
        [(a / b) / (c / d) for a, b, c, d in pairs],
        f"(info; the ceiling hashes {buffer_bytes / (1 << 20):.2f} MiB per file)",
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", choices=("parquet", "dask"), help="run one part (default: both)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vorandix-bench-") as tmp:
        if args.only != "dask":
            parquet_part(pathlib.Path(tmp), args.repeat)
        if args.only != "parquet":
            dask_part(pathlib.Path(tmp), args.repeat)


if __name__ == "__main__":
    main()
