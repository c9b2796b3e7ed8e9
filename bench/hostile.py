"""Peak memory and time of hostile inputs: the tiniest structures of each format, fields that
claim more than the input holds, and calls that must stop.

    .venv/bin/python bench/hostile.py [--only NAME ...] [--big-gib 2]

Each case is parsed in a fresh interpreter, which reports its peak resident memory during the
call above what it held right before it (the interpreter with the module imported, and the
input for parse_bytes), and the call's time. The peak is Linux's VmHWM, reset before the call. The
"tiny" cases are 10 MB inputs given to parse_bytes (targets: at most 160 MB and 3 s); the "big"
cases are files of up to 2 GiB given by path, mostly a sparse hole after the hostile part
(target: at most 96 MB). The last rows time how a FIFO without a writer returns and how soon
SIGINT stops parse('/dev/zero') (target: within 100 ms).
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

from peak_memory import sparse_file

TINY = 10_000_000

CHILD = r"""
import json, sys, time
import _vorandix
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))
mode, path = sys.argv[1], sys.argv[2]
data = open(path, "rb").read() if mode == "bytes" else None
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak (VmHWM) starts again from what is resident now
before = status("VmRSS")
start = time.perf_counter()
result = _vorandix.parse_bytes(data) if mode == "bytes" else _vorandix.parse(path)
elapsed = time.perf_counter() - start
peak = status("VmHWM")
cut = {k: v["truncated"] for k, v in result.items() if isinstance(v, dict) and "truncated" in v}
print(json.dumps({"seconds": elapsed, "above_kib": peak - before, "cut": cut,
                  "errors": [e["message"][:60] for e in result.get("errors", [])]}))
"""


def repeat(unit: bytes, size: int) -> bytes:
    return unit * (size // len(unit))


def png_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def zip_entry(name: bytes) -> bytes:
    return b"PK\x01\x02" + bytes(24) + struct.pack("<HHHHHII", len(name), 0, 0, 0, 0, 0, 0) + name


def zip_of(entries: bytes, start: bytes = b"PK\x03\x04" + bytes(26)) -> bytes:
    count = 0xFFFF
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, count, count, len(entries), len(start), 0)
    return start + entries + end


PNG_SIG = b"\x89PNG\r\n\x1a\n"
FTYP = struct.pack(">I4s4sI", 16, b"ftyp", b"isom", 0)

# name -> bytes of a 10 MB input for parse_bytes
TINY_CASES = {
    "jpeg: empty COM segments": lambda: b"\xff\xd8" + repeat(b"\xff\xfe\x00\x02", TINY),
    "png: zero-length chunks": lambda: PNG_SIG + repeat(png_chunk(b"abCd", b""), TINY),
    "png: one-letter tEXt chunks": lambda: PNG_SIG + repeat(png_chunk(b"tEXt", b"k\0v"), TINY),
    "mp4: 8-byte free boxes": lambda: FTYP + repeat(struct.pack(">I4s", 8, b"free"), TINY),
    "mp4: 4-byte brands": lambda: struct.pack(">I4s", TINY, b"ftyp") + repeat(b"isom", TINY - 8),
    "zip: 46-byte directory entries": lambda: zip_of(repeat(zip_entry(b""), TINY)),
    "zip: one-letter names": lambda: zip_of(repeat(zip_entry(b"a"), TINY)),
    "gif: empty image descriptors": lambda: b"GIF89a" + bytes(7) + repeat(b"\x2c" + bytes(9) + b"\x02\x00", TINY),
    "pdf: names and objects": lambda: b"%PDF-1.7\n" + repeat(b"1 0 obj /Type/Page /Title (x) ", TINY),
    "pdf: an endless string": lambda: b"%PDF-1.7\n/Title (" + repeat(b"((((", TINY),
    "gzip: a 10 MB name": lambda: b"\x1f\x8b\x08\x08" + bytes(6) + repeat(b"n", TINY),
    "id3: frames of one byte": lambda: b"ID3\x03\0\0\x7f\x7f\x7f\x7f" + repeat(b"TIT2\0\0\0\x02\0\0\0x", TINY),
}


def box(kind: bytes, data: bytes, version: int | None = None) -> bytes:
    if version is not None:
        data = bytes([version, 0, 0, 0]) + data
    return struct.pack(">I", 8 + len(data)) + kind + data


def xmp_bomb_png() -> bytes:
    """16 iTXt XMP packets whose entities nest, each expanding a thousandfold."""
    entities = '<!ENTITY a "' + "x" * 64 + '">' + "".join(
        f'<!ENTITY {chr(98 + i)} "{("&" + chr(97 + i) + ";") * 10}">' for i in range(3)
    )
    packet = f'<?xml version="1.0"?><!DOCTYPE x [{entities}]><x:xmpmeta xmlns:x="adobe:ns:meta/">&d;</x:xmpmeta>'
    chunk = png_chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + packet.encode())
    ihdr = png_chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0))
    return PNG_SIG + ihdr + chunk * 16 + png_chunk(b"IEND", b"")


def shared_item_heic(metas: int, item_type: bytes, blob: bytes) -> bytes:
    """`metas` meta boxes whose one item points at the same blob in mdat."""
    ftyp = box(b"ftyp", b"heic\0\0\0\0mif1heic")
    infe = box(b"infe", struct.pack(">HH", 1, 0) + item_type + b"\0", 2)
    iinf = box(b"iinf", struct.pack(">H", 1) + infe, 0)

    def meta(offset: int) -> bytes:
        iloc = box(b"iloc", b"\x44\x00" + struct.pack(">HHHHII", 1, 1, 0, 1, offset, len(blob)), 0)
        return box(b"meta", iinf + iloc, 0)

    head = ftyp + meta(0) * metas
    return ftyp + meta(len(head) + 8) * metas + box(b"mdat", blob)


def tiff_block(values: int) -> bytes:
    """A little-endian TIFF whose IFD0 holds Make and a LONG array of `values` entries."""
    entries = [(271, 2, 5, b"Acme\0"), (0x9999, 4, values, b"\0" * 4 * values)]
    out, extra_at, head, extra = b"II*\0" + struct.pack("<I", 8), 8 + 2 + 12 * len(entries) + 4, b"", b""
    for tag, kind, count, payload in entries:
        head += struct.pack("<HHII", tag, kind, count, extra_at + len(extra))
        extra += payload
    return out + struct.pack("<H", len(entries)) + head + b"\0\0\0\0" + extra


EXIF_CASES = {
    "exif: PNG with 16 XMP entity packets": xmp_bomb_png,
    "exif: HEIC, 100 meta boxes on one XMP item": lambda: shared_item_heic(100, b"mime", b"<x:xmpmeta/>" * 500),
    "exif: HEIC, 1,000 meta boxes on one TIFF": lambda: shared_item_heic(1000, b"Exif", b"\0\0\0\0" + tiff_block(270_000)),
    "exif: HEIC, 4,000 meta boxes on one TIFF": lambda: shared_item_heic(4000, b"Exif", b"\0\0\0\0" + tiff_block(270_000)),
}


def big_cases(size: int) -> dict:
    def id3(path):  # TIT2 claims 0xFFFFFFF0 bytes
        sparse_file(path, b"ID3\x03\0\0\x7f\x7f\x7f\x7fTIT2\xff\xff\xff\xf0\0\0\x03", size)

    def gzip_name(path):  # FNAME runs to the last byte
        with open(path, "wb") as f:
            f.write(b"\x1f\x8b\x08\x08" + bytes(6))
            f.truncate(size - 1)
            f.seek(size - 1)
            f.write(b"\0")
        with open(path, "r+b") as f:  # a name of 'n's, not zeros
            block = b"n" * (1 << 20)
            f.seek(10)
            for _ in range((size - 11) // len(block)):
                f.write(block)

    def png_text(path):  # one tEXt chunk holding the whole file
        data_len = size - len(PNG_SIG) - 12
        head = PNG_SIG + struct.pack(">I", data_len) + b"tEXtkey\0"
        with open(path, "wb") as f:
            f.write(head)
            block = b"t" * (1 << 20)
            for _ in range((size - len(head)) // len(block)):
                f.write(block)
            f.truncate(size)

    def zip_names(path):  # entries with 65,535-byte names, then a hole
        entries = repeat(zip_entry(b"n" * 65535), 64 << 20)
        data = zip_of(entries)
        sparse_file(path, data[:-22], size, trailer=data[-22:])

    def zip_both_limits(path):  # as many entries as listed, names filling the text budget
        entries = repeat(zip_entry(b"n" * 170), 100_001 * (46 + 170))
        data = zip_of(entries)
        sparse_file(path, data[:-22], size, trailer=data[-22:])

    def zip_and_mp4(path):  # both apply: "PK\3\4" at 0 is also the size of a box "ftyp"
        first_box = 0x504B0304  # so the next box starts 1.35 GB in, where free boxes follow
        entries = repeat(zip_entry(b""), 100_001 * 46)
        data = zip_of(entries, start=b"PK\x03\x04ftypisom" + bytes(18))
        boxes = repeat(struct.pack(">I4s", 8, b"free"), 100_001 * 8)
        if size < first_box + len(boxes):
            return False
        sparse_file(path, data[:-22], size, trailer=data[-22:])
        with open(path, "r+b") as f:
            f.seek(first_box)
            f.write(boxes)
        return True

    def jpeg_segments(path):
        sparse_file(path, b"\xff\xd8" + repeat(b"\xff\xfe\x00\x02", 4 << 20), size)

    def mp4_boxes(path):
        sparse_file(path, FTYP + repeat(struct.pack(">I4s", 8, b"free"), 4 << 20), size)

    def tiff(path):  # a TIFF whose strips fill the file: only its directory is read
        ifd = struct.pack("<HHHII", 3, 273, 4, 1, 64) + struct.pack("<HHII", 279, 4, 1, size - 64)
        ifd += struct.pack("<HHII", 271, 2, 4, 0x656D6341)  # Make "Acme"
        sparse_file(path, b"II*\0" + struct.pack("<I", 8) + ifd + b"\0\0\0\0", size)

    return {
        "tiff: strips fill the file": tiff,
        "id3: TIT2 claims 4 GB": id3,
        "gzip: name to the last byte": gzip_name,
        "png: one tEXt chunk": png_text,
        "zip: 65,535-byte names": zip_names,
        "zip: both limits": zip_both_limits,
        "zip and mp4 in one file": zip_and_mp4,
        "jpeg: COM segments, then a hole": jpeg_segments,
        "mp4: free boxes, then a hole": mp4_boxes,
    }


def child(mode: str, path: str) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, mode, path], capture_output=True, text=True)
    if out.returncode != 0:
        return {"failed": out.stderr.strip().splitlines()[-1:]}
    return json.loads(out.stdout)


def row(name: str, size: int, r: dict) -> None:
    if "failed" in r:
        print(f"{name:36} {size / 1e6:9.1f} MB  FAILED {r['failed']}")
        return
    print(f"{name:36} {size / 1e6:9.1f} MB  {r['above_kib'] / 1024:8.1f} MiB  {r['seconds']:7.3f} s  cut={r['cut']}")


def stoppable() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        fifo = os.path.join(tmp, "fifo")
        os.mkfifo(fifo)
        code = "import _vorandix, sys, time; t = time.perf_counter(); _vorandix.parse(sys.argv[1]); print(time.perf_counter() - t)"
        out = subprocess.run([sys.executable, "-c", code, fifo], capture_output=True, text=True, timeout=30)
        print(f"{'FIFO without a writer':36} {'':12}  returned in {float(out.stdout) * 1000:.2f} ms")
    code = (
        "import _vorandix, time\n"
        "try:\n    _vorandix.parse('/dev/zero')\nexcept KeyboardInterrupt:\n    print(time.time())\n"
    )
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    time.sleep(1.0)
    sent = time.time()
    proc.send_signal(signal.SIGINT)
    try:
        stopped = float(proc.communicate(timeout=10)[0])
        print(f"{'SIGINT during parse(/dev/zero)':36} {'':12}  KeyboardInterrupt after {(stopped - sent) * 1000:.1f} ms")
    except (subprocess.TimeoutExpired, ValueError):
        proc.kill()
        print(f"{'SIGINT during parse(/dev/zero)':36} {'':12}  NOT STOPPED")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--big-gib", type=float, default=2.0)
    args = parser.parse_args()
    wanted = lambda name: args.only is None or any(o in name for o in args.only)
    print(f"{'case':36} {'input':>12}  {'above':>12}  {'time':>9}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "input")
        for name, make in TINY_CASES.items():
            if wanted(name):
                data = make()
                with open(path, "wb") as f:
                    f.write(data)
                row("tiny " + name, len(data), child("bytes", path))
        for name, make in EXIF_CASES.items():
            if wanted(name):
                data = make()
                with open(path, "wb") as f:
                    f.write(data)
                row(name, len(data), child("bytes", path))
        size = int(args.big_gib * (1 << 30))
        for name, write in big_cases(size).items():
            if wanted(name):
                if write(path) is False:
                    print(f"{'big ' + name:36} (needs --big-gib 2)")
                    continue
                row("big " + name, os.path.getsize(path), child("path", path))
                os.unlink(path)
    if wanted("stop"):
        stoppable()
    return 0


if __name__ == "__main__":
    sys.exit(main())
