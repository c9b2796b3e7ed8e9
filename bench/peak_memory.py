"""Peak resident memory and time of parse() on multi-gigabyte files made at run time.

    .venv/bin/python bench/peak_memory.py [--size-gib 2] [CASE ...]

Each case writes a file of the given size into a temporary folder (mostly a sparse hole after
real headers, so it costs little disk), then parses it by path in a fresh interpreter and reports
that process's peak resident memory and the call's time. In the same run it times SHA-256 alone
over the same file (hashlib, one pass of 64 KiB reads), the floor for any reader that hashes
every byte: the time ratio shows whether parse() spends its time anywhere but that one pass.
Target: peak resident memory under 64 MB.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile
import time

CHILD = r"""
import json, resource, sys, time
import _vorandix
start = time.perf_counter()
result = _vorandix.parse(sys.argv[1])
elapsed = time.perf_counter() - start
peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": elapsed, "peak_kib": peak_kib, "sections": sorted(result)}))
"""


def sparse_file(path: str, header: bytes, size: int, trailer: bytes = b"") -> None:
    """Writes `header` at the start and `trailer` at the very end of a `size`-byte file."""
    with open(path, "wb") as f:
        f.write(header)
        f.truncate(size)
        if trailer:
            f.seek(size - len(trailer))
            f.write(trailer)


# Each case: name -> function(path, size) that writes the file.
CASES: dict = {}


def write_mp4(path: str, size: int) -> None:
    """ftyp, one mdat with a 64-bit size filling the file, and moov with mvhd at the end, the
    layout a recorder leaves when it writes the index last."""
    ftyp = struct.pack(">I4s4sI8s", 24, b"ftyp", b"isom", 512, b"isommp41")
    mvhd = struct.pack(">I4sB3sIIIII", 108, b"mvhd", 0, b"", 0, 0, 1000, size // 1000, 0x10000)
    mvhd += bytes(108 - len(mvhd))
    moov = struct.pack(">I4s", 8 + len(mvhd), b"moov") + mvhd
    mdat = struct.pack(">I4sQ", 1, b"mdat", size - len(ftyp) - len(moov))
    sparse_file(path, ftyp + mdat, size, trailer=moov)


def write_wav(path: str, size: int) -> None:
    """A 16-bit stereo PCM header and one data chunk filling the rest of the file."""
    data = min(size - 44, 0xFFFFFFFF)  # a 32-bit size field; past 4 GiB it claims the most
    header = b"RIFF" + struct.pack("<I", min(size - 8, 0xFFFFFFFF)) + b"WAVE"
    header += b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, 44100, 44100 * 4, 4, 16)
    header += b"data" + struct.pack("<I", data)
    sparse_file(path, header, size)


CASES["mp4"] = write_mp4
CASES["wav"] = write_wav


def write_zip(path: str, size: int) -> None:
    """A valid ZIP of exactly `size` bytes: stored entries of 1 MiB of zeros (the last one takes
    the rest), then the central directory and the end record. The entry data are left as holes,
    so only the headers are written. Offsets are 32-bit, so `size` must stay under 4 GiB."""
    import zlib

    if size >= 1 << 32:
        raise ValueError("the zip case needs a size under 4 GiB (no ZIP64 records)")
    chunk = 1 << 20
    names = lambda i: b"zeros/%06d.bin" % i  # noqa: E731 - every name has the same length
    overhead = 30 + 46 + 2 * len(names(0))  # local header and directory header, with names
    count = max(1, (size - 22) // (chunk + overhead))
    last = size - 22 - count * overhead - (count - 1) * chunk
    if last < 0:
        raise ValueError("size too small for the zip case")
    crcs = {chunk: zlib.crc32(bytes(chunk)), last: zlib.crc32(bytes(last))}
    directory = bytearray()
    offset = 0
    with open(path, "wb") as f:
        for i in range(count):
            n = chunk if i < count - 1 else last
            name = names(i)
            # version 1.0, no flags, stored, 1980-01-01 00:00
            fields = (0, 0, 0x21, crcs[n], n, n, len(name), 0)
            f.seek(offset)
            f.write(b"PK\x03\x04" + struct.pack("<HHHHHIIIHH", 10, 0, *fields) + name)
            directory += b"PK\x01\x02" + struct.pack(
                "<HHHHHHIIIHHHHHII", 20, 10, 0, *fields, 0, 0, 0, 0, offset
            ) + name
            offset += 30 + len(name) + n
        f.seek(offset)
        f.write(directory)
        f.write(
            b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, count, count, len(directory), offset, 0)
        )


CASES["zip"] = write_zip


def sha256_seconds(path: str) -> float:
    start = time.perf_counter()
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(65536):
            digest.update(chunk)
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-gib", type=float, default=2.0)
    parser.add_argument("cases", nargs="*", default=sorted(CASES))
    args = parser.parse_args()
    size = int(args.size_gib * 1024**3)

    baseline = subprocess.run(
        [sys.executable, "-c", CHILD, os.devnull], capture_output=True, text=True, check=True
    )
    base_kib = json.loads(baseline.stdout)["peak_kib"]
    print(f"interpreter with the module, parsing an empty file: {base_kib / 1024:.1f} MiB peak")
    print(f"{'case':8} {'size':>9} {'peak RSS':>10} {'parse':>8} {'sha256':>8} {'ratio':>6}  sections")
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.cases:
            path = os.path.join(tmp, f"big.{name}")
            CASES[name](path, size)
            sha = sha256_seconds(path)  # also brings the file into the page cache
            sha = min(sha, sha256_seconds(path))
            out = subprocess.run(
                [sys.executable, "-c", CHILD, path], capture_output=True, text=True, check=True
            )
            run = json.loads(out.stdout)
            print(
                f"{name:8} {size / 1024**3:7.2f} G {run['peak_kib'] / 1024:8.1f} MB "
                f"{run['seconds']:7.2f}s {sha:7.2f}s {run['seconds'] / sha:6.2f}  "
                f"{','.join(run['sections'])}"
            )
            os.unlink(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
