"""Records as JSON lines: the command's output, and the text the Parquet output's columns are
built from (``vorandix._batch.Rows``)."""

from __future__ import annotations

import json
import json.encoder
import os

TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing at start-up
if TYPE_CHECKING:
    from typing import Any


def path_fields(path: str) -> dict[str, str]:
    """"path" as JSON can carry it: a name that is not valid UTF-8 is shown with U+FFFD for its
    invalid bytes, and its bytes are kept in "path_bytes" as lower-case hex."""
    try:
        path.encode("utf-8")
        return {"path": path}
    except UnicodeEncodeError:
        try:
            raw = os.fsencode(path)
        except UnicodeEncodeError:  # a lone surrogate that no file name decodes to
            raw = path.encode("utf-8", "surrogatepass")
        return {"path": raw.decode("utf-8", "replace"), "path_bytes": raw.hex()}


def json_line(item: Any, indent: int | None = None) -> bytes:
    """The line for a record, or for (path, report's JSON text) as ``scan_json`` yields it."""
    if type(item) is tuple:
        # What json.dumps writes for {"path": ..., **report}, without building the dict.
        path: str = item[0]
        report: bytes = item[1]
        try:
            head = b'{"path": ' + _quote(path).encode("utf-8")
        except UnicodeEncodeError:  # surrogate escapes: a name that is not valid UTF-8
            head = b"{" + json.dumps(path_fields(path), ensure_ascii=False)[1:-1].encode("utf-8")
        if report == b"{}":
            return head + b"}\n"
        return head + b", " + report[1:] + b"\n"
    fields = path_fields(item["path"])
    record = {**fields, **{key: value for key, value in item.items() if key != "path"}}
    return json.dumps(record, ensure_ascii=False, indent=indent).encode("utf-8") + b"\n"


_quote = json.encoder.encode_basestring  # json.dumps of a str with ensure_ascii=False
