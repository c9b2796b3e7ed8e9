"""Command line: ``python -m vorandix PATH...`` prints each file's metadata as JSON.

One path prints one JSON object. Several paths print one JSON object per line, each with a
"path" key naming its file. ``-`` reads standard input. A path that cannot be read is reported
on standard error and skipped, and the exit status is then 1.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Sequence

from _vorandix import parse, parse_bytes


def _describe(path: str) -> dict:
    if path == "-":
        return parse_bytes(sys.stdin.buffer.read())
    return parse(path)


def _shown(path: str) -> str:
    # Names that are not valid UTF-8 arrive with surrogate escapes, which cannot be printed.
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vorandix",
        description="Print the metadata of each file as JSON ('-' reads standard input).",
    )
    parser.add_argument("paths", nargs="+", metavar="PATH")
    args = parser.parse_args(argv)

    status = 0
    single = len(args.paths) == 1
    for path in args.paths:
        try:
            result = _describe(path)
        except OSError as exc:
            print(f"vorandix: {_shown(str(exc))}", file=sys.stderr)
            status = 1
            continue
        if single:
            print(json.dumps(result, indent=2, ensure_ascii=False))
        else:
            print(json.dumps({"path": _shown(path), **result}, ensure_ascii=False))
        sys.stdout.flush()
    return status


def _run() -> int:
    try:
        return main()
    except BrokenPipeError:
        # The reader went away (for example `| head`): stop quietly, and keep the interpreter's
        # final flush of stdout from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(_run())
