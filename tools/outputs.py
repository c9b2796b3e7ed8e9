"""Dumps the module's full results over a fixed corpus, to compare two builds.

    python tools/outputs.py dump OUT.jsonl [--count N]   # with the build under test installed
    python tools/outputs.py diff OLD.jsonl NEW.jsonl

The corpus is every file under tests/data plus N inputs mutated from them with a fixed seed
(bytes flipped, runs cut out or repeated, lengths and offsets overwritten with extreme values,
truncations). Each input is parsed from memory and, written to a temporary file, by path; the
path keys that change from run to run (the file times) are left out.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import random
import struct
import sys
import tempfile

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data"
EXTREMES = [0, 1, 2, 7, 8, 0x7F, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF]


def samples() -> list[tuple[str, bytes]]:
    files = sorted(p for p in DATA.rglob("*") if p.is_file() and p.suffix not in (".py", ".sh", ".json"))
    return [(str(p.relative_to(DATA)), p.read_bytes()) for p in files]


def mutate(data: bytes, rng: random.Random) -> bytes:
    b = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        if not b:
            b += bytes(rng.randrange(256) for _ in range(rng.randint(1, 64)))
            continue
        kind = rng.randrange(6)
        # Mutations cluster near the start, where headers and directories sit.
        at = min(len(b) - 1, int(rng.expovariate(1 / 256))) if rng.random() < 0.7 else rng.randrange(len(b))
        if kind == 0:
            b[at] = rng.randrange(256)
        elif kind == 1:
            width, fmt = rng.choice([(2, "<H"), (2, ">H"), (4, "<I"), (4, ">I")])
            if at + width <= len(b):
                b[at : at + width] = struct.pack(fmt, rng.choice(EXTREMES) & (0xFFFF if width == 2 else 0xFFFFFFFF))
        elif kind == 2:
            del b[at : at + rng.randint(1, 64)]
        elif kind == 3:
            piece = b[at : at + rng.randint(1, 64)]
            b[at:at] = piece * rng.randint(1, 8)
        elif kind == 4:
            del b[rng.randint(0, len(b)) :]
        else:
            b[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 16)))
    return bytes(b)


def corpus(count: int) -> list[tuple[str, bytes]]:
    base = samples()
    rng = random.Random(20261208)
    out = list(base)
    for i in range(count):
        name, data = rng.choice(base)
        out.append((f"{name}#{i}", mutate(data, rng)))
    return out


def stable(result: dict) -> dict:
    out = dict(result)
    if "file" in out:
        out["file"] = {k: v for k, v in out["file"].items() if k not in ("modified_unix", "created_unix")}
    return out


def dump(path: str, count: int) -> None:
    import _vorandix

    with open(path, "w") as out, tempfile.TemporaryDirectory() as tmp:
        for name, data in corpus(count):
            record: dict = {"id": name, "bytes": _vorandix.parse_bytes(data)}
            file = pathlib.Path(tmp) / pathlib.Path(name.split("#")[0]).name
            file.write_bytes(data)
            try:
                record["path"] = stable(_vorandix.parse(file))
            except OSError as exc:
                record["path"] = {"OSError": str(exc)}
            out.write(json.dumps(record, sort_keys=True) + "\n")


def diff(old: str, new: str) -> int:
    with open(old) as a, open(new) as b:
        left, right = a.readlines(), b.readlines()
    if len(left) != len(right):
        print(f"different lengths: {len(left)} and {len(right)}")
        return 1
    changed = [json.loads(x)["id"] for x, y in zip(left, right) if x != y]
    for name in changed[:20]:
        print("differs:", name)
    print(f"{len(left)} inputs, {len(changed)} differ")
    return 1 if changed else 0


def main() -> int:
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    d = sub.add_parser("dump")
    d.add_argument("out")
    d.add_argument("--count", type=int, default=4000)
    c = sub.add_parser("diff")
    c.add_argument("old")
    c.add_argument("new")
    args = parser.parse_args()
    if args.command == "dump":
        dump(args.out, args.count)
        return 0
    return diff(args.old, args.new)


if __name__ == "__main__":
    sys.exit(main())
