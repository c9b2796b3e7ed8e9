"""Collections: parallel speed-up, the command's overhead, memory over many files, --no-hash.

    .venv/bin/python bench/scan_collections.py [--repeat 5] [--skip-memory]

Builds its inputs in a temporary folder and prints, in one run:
- files per second with jobs=2 over jobs=1: 200 files of 1 MiB of random bytes (target at least
  1.7x) and 2,000 small files copied from the project's samples (target at least 1.5x);
- the command (`python -m vorandix -j 1`, JSON Lines to /dev/null, interpreter start included)
  over an in-process scan with one job of the same 2,000 files, and of 20,000 such files, where
  the interpreter's start (tens of milliseconds) weighs less (target at most 1.25x);
- peak resident memory above the interpreter's over 100,000 tiny files (target at most 64 MB),
  and at a tenth of the way, to show that it stays flat;
- scan(hash=False) of a 2 GiB sparse MP4 by path (target under 100 ms).
Speed figures are ratios measured in the same run, repeated, alternating the order of the two
sides; the median is the figure and the spread is shown beside it. The first line is the
baseline for the parallel figures: SHA-256 on two threads over one, what the two cores give
right now (2.0 on an idle machine; less while other processes use them). Beside each jobs
ratio, the ratio that the CPU times of the same runs allow on two idle cores.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from peak_memory import write_mp4  # noqa: E402

import vorandix  # noqa: E402
from vorandix import _batch  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data"

MEMORY_CHILD = r"""
import os, resource, sys, vorandix
def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
before = rss_kib()
tenth = int(sys.argv[2]) // 10
peak_tenth = None
for n, record in enumerate(vorandix.scan(sys.argv[1], jobs=2), 1):
    assert "error" not in record, record
    if n == tenth:
        peak_tenth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(n, before, peak_tenth, peak)
"""


def timed_scan(inputs: list[str] | str, **options: object) -> float:
    start = time.perf_counter()
    count = sum(1 for _ in vorandix.scan(inputs, **options))
    elapsed = time.perf_counter() - start
    assert count > 0
    return elapsed


def jobs_ratios(repeat: int, folder: str) -> tuple[list[float], list[float]]:
    """Wall-time ratios of jobs=1 over jobs=2, and for each pair the ratio the CPU times allow
    on two idle cores: jobs=1's CPU time over the larger of half of jobs=2's CPU time and its
    caller's thread's CPU time (the part that cannot run in parallel)."""
    walls, bounds = [], []
    for i in range(repeat):
        runs = {}
        for jobs in ((2, 1) if i % 2 else (1, 2)):
            wall, process, thread = time.perf_counter(), time.process_time(), time.thread_time()
            count = sum(1 for _ in vorandix.scan(folder, jobs=jobs))
            assert count > 0
            runs[jobs] = (
                time.perf_counter() - wall,
                time.process_time() - process,
                time.thread_time() - thread,
            )
        walls.append(runs[1][0] / runs[2][0])
        bounds.append(runs[1][1] / max(runs[2][1] / 2, runs[2][2]))
    return walls, bounds


def timed_sha256(threads: int, chunk: bytes = bytes(1 << 20), per_thread_mib: int = 64) -> float:
    """The same work (SHA-256 of 128 MiB) on `threads` threads; hashlib releases the GIL."""
    import hashlib
    import threading

    def work() -> None:
        h = hashlib.sha256()
        for _ in range(per_thread_mib * 2 // threads):
            h.update(chunk)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return time.perf_counter() - start


def timed_batch(paths: list[str], workers: int) -> float:
    items = [(p, os.fsencode(p)) for p in paths]
    start = time.perf_counter()
    for _ in _batch.Batch(items, workers, True):
        pass
    return time.perf_counter() - start


def command_ratios(repeat: int, folder: str) -> tuple[list[float], list[float]]:
    """The command's wall time over an in-process scan(jobs=1)'s, and the same for CPU time
    (the child's against this process's), which other processes on the cores disturb less."""
    import resource

    def child_cpu() -> float:
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        return usage.ru_utime + usage.ru_stime

    command = [sys.executable, "-m", "vorandix", "-j", "1", "-q", "-o", os.devnull, folder]
    walls, cpus = [], []
    for i in range(repeat):
        runs = {}
        for side in ("scan", "command") if i % 2 else ("command", "scan"):
            wall, cpu, child = time.perf_counter(), time.process_time(), child_cpu()
            if side == "command":
                subprocess.run(command, check=True)
                runs[side] = (time.perf_counter() - wall, child_cpu() - child)
            else:
                assert sum(1 for _ in vorandix.scan(folder, jobs=1)) > 0
                runs[side] = (time.perf_counter() - wall, time.process_time() - cpu)
        walls.append(runs["command"][0] / runs["scan"][0])
        cpus.append(runs["command"][1] / runs["scan"][1])
    return walls, cpus


def ratios(repeat: int, numerator, denominator) -> list[float]:
    """numerator()/denominator() times, `repeat` times, alternating which side runs first."""
    out = []
    for i in range(repeat):
        if i % 2:
            d = denominator()
            n = numerator()
        else:
            n = numerator()
            d = denominator()
        out.append(n / d)
    return out


def show(label: str, values: list[float], target: str) -> None:
    median = statistics.median(values)
    spread = f"min {min(values):.2f}, max {max(values):.2f}" if len(values) > 1 else "one run"
    print(f"{label:<58} {median:6.2f}x  ({spread}; {len(values)} runs)  target {target}")


def make_random(folder: pathlib.Path, count: int, size: int) -> None:
    folder.mkdir()
    for i in range(count):
        (folder / f"r{i:04}.bin").write_bytes(os.urandom(size))


def make_mixed(folder: pathlib.Path, count: int) -> None:
    """`count` files cycling through every sample of tests/data (images, EXIF, media, documents,
    archives), in folders of 250."""
    samples = sorted(p for p in DATA.rglob("*") if p.is_file() and p.suffix not in (".py", ".sh"))
    for i in range(count):
        sample = samples[i % len(samples)]
        sub = folder / f"d{i // 250:02}"
        sub.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(sample, sub / f"{i:05}-{sample.name}")


def make_tiny(folder: pathlib.Path, count: int) -> None:
    for i in range(count):
        sub = folder / f"d{i // 1000:03}"
        if i % 1000 == 0:
            sub.mkdir(parents=True)
        with open(sub / f"{i:06}.txt", "wb") as f:
            f.write(b"tiny %d\n" % i)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="vorandix-bench-") as tmp:
        root = pathlib.Path(tmp)
        random_dir, mixed_dir = root / "random", root / "mixed"
        make_random(random_dir, 200, 1 << 20)
        make_mixed(mixed_dir, 2000)
        many_dir = root / "many"
        make_mixed(many_dir, 20000)
        # Warm the page cache and the interpreter's imports.
        timed_scan(str(random_dir), jobs=1)
        timed_scan(str(mixed_dir), jobs=1)

        values = ratios(args.repeat, lambda: timed_sha256(1), lambda: timed_sha256(2))
        show("baseline: SHA-256 on 2 threads over 1 (the machine now)", values, "(2.0 if idle)")
        for folder, label, target in (
            (random_dir, "200 x 1 MiB random", ">= 1.7"),
            (mixed_dir, "2,000 small mixed files", ">= 1.5"),
        ):
            walls, bounds = jobs_ratios(args.repeat, str(folder))
            show(f"files/s jobs=2 over jobs=1, {label}", walls, target)
            show("  what its CPU times allow on two idle cores", bounds, "(information)")
        for folder, label in ((mixed_dir, "2,000"), (many_dir, "20,000")):
            walls, cpus = command_ratios(args.repeat, str(folder))
            show(f"time, command -j 1 over in-process scan(jobs=1), {label}", walls, "<= 1.25")
            show("  the same in CPU time", cpus, "(information)")

        mp4 = root / "big.mp4"
        write_mp4(str(mp4), 2 << 30)
        no_hash = []
        for _ in range(args.repeat):
            no_hash.append(timed_scan(str(mp4), jobs=1, hash=False))
        median_ms = statistics.median(no_hash) * 1000
        print(
            f"{'scan(hash=False), 2 GiB sparse MP4 by path':<58} {median_ms:6.2f} ms "
            f"(min {min(no_hash) * 1000:.2f}, max {max(no_hash) * 1000:.2f})  target < 100 ms"
        )
        mp4.unlink()

        if not args.skip_memory:
            tiny_dir = root / "tiny"
            count = 100_000
            make_tiny(tiny_dir, count)
            out = subprocess.run(
                [sys.executable, "-c", MEMORY_CHILD, str(tiny_dir), str(count)],
                check=True,
                capture_output=True,
                text=True,
            ).stdout.split()
            n, before, tenth, peak = map(int, out)
            print(
                f"{'peak RSS above the interpreter, 100,000 tiny files':<58} "
                f"{(peak - before) / 1024:6.1f} MB (at 10,000 files: "
                f"{(tenth - before) / 1024:.1f} MB; {n} records)  target <= 64 MB"
            )


if __name__ == "__main__":
    main()
