"""The command ``vorandix [options] PATH...`` (also ``python -m vorandix``).

Writes one JSON record per file, as ``vorandix.scan`` yields them, one per line (JSON Lines).
A path that is not valid UTF-8 is shown with U+FFFD for its invalid bytes, and the record then
also carries ``"path_bytes"``: the raw bytes in lower-case hex.

``--format parquet -o FILE`` writes the same records as a Parquet table of ``vorandix.schema()``
instead (``path_bytes`` then a binary column), one row group at a time as records arrive.

Exit status: 0 when every file was described, 1 when any record carries a top-level "error" (a
file that could not be described; a format reader's "errors" inside a described file do not
count), 2 for usage errors and for output that cannot be written (a full disk, say), 130 after
Ctrl-C.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import time

from vorandix import __version__, parse_file, scan
from vorandix._lines import json_line as _line
from vorandix._scan import MAX_JOBS, _as_inputs, _error, _os_error, _Walk, scan_json

TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing at start-up
if TYPE_CHECKING:
    from typing import IO, Any, Callable, Iterable, Iterator, Sequence

    from vorandix._scan import Record

STDIN = STDOUT = "-"

# Streamed output reaches its reader at least this often, without a write per record.
_FLUSH_SECONDS = 0.2


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= value <= MAX_JOBS:
        raise argparse.ArgumentTypeError(f"must be 1 to {MAX_JOBS}: {text}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vorandix",
        description="Describe files and folders: one JSON record per file, one per line.",
        epilog="Exit status: 0 when every file was described, 1 when any record carries an "
        "error, 2 for usage errors and output that cannot be written.",
    )
    parser.add_argument(
        "paths", nargs="*", metavar="PATH", help="a file or a folder ('-' reads standard input)"
    )
    parser.add_argument(
        "--files-from", metavar="FILE", help="read more paths from FILE, one per line ('-': stdin)"
    )
    parser.add_argument(
        "-0", "--null", action="store_true", help="names in --files-from end with NUL bytes"
    )
    parser.add_argument(
        "-j", "--jobs", type=_jobs, metavar="N", help="files at once (default: every CPU)"
    )
    parser.add_argument(
        "--no-hash", action="store_true", help="skip SHA-256, CRC-32 and entropy (headers only)"
    )
    parser.add_argument(
        "-L", "--follow-symlinks", action="store_true", help="walk linked folders too"
    )
    parser.add_argument(
        "--no-recursive", action="store_true", help="do not walk folders (report them instead)"
    )
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="write the records to FILE ('-': stdout)"
    )
    parser.add_argument(
        "--format",
        choices=("jsonl", "parquet"),
        default="jsonl",
        help="JSON Lines (default), or a Parquet table (needs -o and vorandix[arrow])",
    )
    parser.add_argument("--pretty", action="store_true", help="indent each record")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _names(stream: IO[bytes], separator: bytes) -> Iterator[bytes]:
    """The names in `stream`, read as they arrive; empty names are skipped."""
    # The unfinished name's pieces: joined once it ends, so that a long stretch without a
    # separator (a NUL-separated list read without -0) costs its length, not its square.
    pieces: list[bytes] = []
    while chunk := stream.read1(65536) if hasattr(stream, "read1") else stream.read(65536):
        *names, last = chunk.split(separator)
        if names:
            names[0] = b"".join([*pieces, names[0]])
            pieces = []
            yield from (name for name in names if name)
        pieces.append(last)
    if rest := b"".join(pieces):
        yield rest


# Standard input that cannot seek (a pipe) is copied first, as formats are read at offsets
# from their end too; past this size the copy goes to a temporary file, not to memory.
_STDIN_IN_MEMORY = 16 << 20


def _stdin_record(hash: bool) -> Record:
    if sys.stdin is None:  # started with its standard input closed
        return _error(STDIN, "not_found", "no standard input")
    stdin = sys.stdin.buffer
    try:
        if stdin.seekable():
            return {"path": STDIN, **parse_file(stdin, hash=hash)}
        import shutil
        import tempfile

        with tempfile.SpooledTemporaryFile(max_size=_STDIN_IN_MEMORY) as copy:
            shutil.copyfileobj(stdin, copy, 1 << 20)
            copy.seek(0)
            return {"path": STDIN, **parse_file(copy, hash=hash)}
    except OSError as exc:
        return _os_error(STDIN, exc)
    except ValueError as exc:  # standard input closed
        return _error(STDIN, "io", str(exc))


def _records(args: argparse.Namespace, names: Iterable[bytes]) -> Iterator[Any]:
    """Records for the PATHs in order ('-' where it stands), then for the names from a file.
    Without --pretty a file described comes as (path, report's JSON text) from scan_json."""
    collect = scan if args.pretty else scan_json
    options = dict(
        jobs=args.jobs,
        recursive=not args.no_recursive,
        follow_symlinks=args.follow_symlinks,
        hash=not args.no_hash,
    )
    group: list[str] = []
    for path in args.paths:
        if path != STDIN:
            group.append(path)
            continue
        yield from collect(group, **options)
        group = []
        yield _stdin_record(hash=not args.no_hash)
    yield from collect(_chain(group, names), **options)


def _chain(first: Iterable[Any], second: Iterable[Any]) -> Iterator[Any]:
    yield from first
    yield from second


_SIZE = re.compile(rb'"file": \{[^{}]*?"size_bytes": (\d+)')


def _size_of(item: Any) -> int:
    if type(item) is tuple:
        found = _SIZE.search(item[1])
        return int(found.group(1)) if found else 0
    size = item.get("file", {}).get("size_bytes", 0)
    return size if isinstance(size, int) else 0


class _Progress:
    """A bar on standard error: files done of those counted so far, bytes, rates, time left.

    The files are counted by a second walk on a thread of its own, so the bar knows its total
    (and can tell the time left) once that walk is over; until then it shows what is done."""

    def __init__(self, args: argparse.Namespace) -> None:
        import threading

        from tqdm import tqdm

        self.bar = tqdm(unit=" files", file=sys.stderr, dynamic_ncols=True, mininterval=0.2)
        self.bytes = 0
        self.started = time.monotonic()
        self.shown = 0.0
        self.stop = threading.Event()
        self.counter = None
        inputs = [path for path in args.paths if path != STDIN]
        if inputs and args.files_from is None:
            walk = _Walk(recursive=not args.no_recursive, follow_symlinks=args.follow_symlinks)
            self.counter = threading.Thread(
                target=self._count, args=(walk, inputs, STDIN in args.paths), daemon=True
            )
            self.counter.start()

    def _count(self, walk: _Walk, inputs: list[str], with_stdin: bool) -> None:
        total = int(with_stdin)
        for _ in walk.inputs(_as_inputs(inputs)):
            if self.stop.is_set():
                return
            total += 1
        self.bar.total = total
        self.bar.refresh()

    def update(self, item: Any) -> None:
        self.bytes += _size_of(item)
        now = time.monotonic()
        if now - self.shown >= 0.2:
            self.shown = now
            rate = self.bytes / max(now - self.started, 1e-9)
            self.bar.set_postfix_str(f"{_size(self.bytes)}, {_size(rate)}/s", refresh=False)
        self.bar.update(1)

    def close(self, complete: bool = False) -> None:
        """Ends the bar; `complete` when every input was described."""
        self.stop.set()
        if self.counter is not None:
            self.counter.join()
        if complete and self.bar.total is None:
            # The files were all described before the count's walk was over (or nothing
            # counted them): the files done are the total.
            self.bar.total = self.bar.n
        self.bar.set_postfix_str(f"{_size(self.bytes)}", refresh=False)
        self.bar.close()


class _Output:
    """Where the records go: the binary file, keeping the first error met writing to it, so
    that a failed write can be told from any other error."""

    def __init__(self, file: IO[bytes], name: str) -> None:
        self.file = file
        self.name = name
        self.error: OSError | None = None

    @property
    def closed(self) -> bool:
        return self.file.closed

    def write(self, data: bytes) -> int:
        written: int = self._noted(self.file.write, data)
        return written

    def flush(self) -> None:
        self._noted(self.file.flush)

    def close(self) -> None:
        self._noted(self.file.close)

    def _noted(self, call: Callable[..., Any], *args: Any) -> Any:
        try:
            return call(*args)
        except OSError as exc:
            self.error = self.error or exc
            raise


def _size(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB", "TB"):
        if n < 1000 or unit == "TB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} TB"


def _open_names(args: argparse.Namespace, fail: Callable[[str], None]) -> Iterable[bytes]:
    if args.files_from is None:
        return ()
    separator = b"\0" if args.null else b"\n"
    if args.files_from == STDIN:
        if sys.stdin is None:
            fail("--files-from -: no standard input")
        return _names(sys.stdin.buffer, separator)
    try:
        stream = open(args.files_from, "rb")
    except OSError as exc:
        fail(f"cannot read --files-from {args.files_from}: {exc.strerror}")
    return _names(stream, separator)


def _write_parquet(records: Iterable[Any], out: _Output, progress: _Progress | None) -> int:
    """Writes the records (as scan_json gives them) as Parquet row groups while they arrive;
    the exit status."""
    from vorandix.arrow import record_batches, write_parquet

    failed = False

    def watched() -> Iterator[Any]:
        nonlocal failed
        for item in records:
            if type(item) is not tuple and "error" in item:
                failed = True
            if progress is not None:
                progress.update(item)
            yield item

    write_parquet(record_batches(watched()), out)
    return int(failed)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if not args.paths and args.files_from is None:
        parser.error("give at least one PATH, or --files-from FILE")
    if args.null and args.files_from is None:
        parser.error("-0 applies to --files-from")
    if args.files_from == STDIN and STDIN in args.paths:
        parser.error("standard input cannot be both a PATH and the --files-from list")
    if args.format == "parquet":
        if args.output is None:
            parser.error("--format parquet needs -o FILE")
        if args.output == STDOUT and sys.stdout.isatty():
            parser.error("--format parquet writes no terminal: redirect -o -, or give a FILE")
        if args.pretty:
            parser.error("--pretty applies to JSON Lines")
        from vorandix._optional import require

        try:
            require("pyarrow.parquet", "arrow", "--format parquet")
        except ImportError as exc:
            parser.error(str(exc))
    names = _open_names(args, parser.error)
    if args.output in (None, STDOUT):
        out = _Output(sys.stdout.buffer, "standard output")
    else:
        try:
            out = _Output(open(args.output, "wb"), args.output)
        except OSError as exc:
            parser.error(f"cannot write {args.output}: {exc.strerror}")
    try:
        return _write(args, names, out)
    except OSError:
        if out.error is None or isinstance(out.error, BrokenPipeError):
            raise
        # The records written so far are not all there is: say so, rather than a traceback
        # and the status of a run whose every record was written.
        reason = out.error.strerror or str(out.error)
        sys.stderr.write(f"{parser.prog}: error: cannot write {out.name}: {reason}\n")
        if out.file is sys.stdout.buffer:
            _quiet_stdout()  # its final flush at exit would fail again
        return 2


def _write(args: argparse.Namespace, names: Iterable[bytes], out: _Output) -> int:
    """Writes every record to `out`; the exit status."""
    progress = _Progress(args) if not args.quiet and sys.stderr.isatty() else None
    indent = 2 if args.pretty else None
    status = 0
    records = _records(args, names)
    flushed = time.monotonic()
    complete = False
    try:
        if args.format == "parquet":
            status = _write_parquet(records, out, progress)
        else:
            for item in records:
                if type(item) is not tuple and "error" in item:
                    status = 1
                out.write(_line(item, indent))
                if progress is not None:
                    progress.update(item)
                now = time.monotonic()
                if now - flushed >= _FLUSH_SECONDS:
                    out.flush()
                    flushed = now
            out.flush()
        complete = True
    finally:
        records.close()
        if progress is not None:
            progress.close(complete)
        if out.file is not sys.stdout.buffer:
            out.close()
    return status


def _quiet_stdout() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def _run() -> int:
    try:
        return main()
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (for example `| head`): stop quietly, and keep the interpreter's
        # final flush of stdout from failing again.
        _quiet_stdout()
        return 1


if __name__ == "__main__":
    sys.exit(_run())
