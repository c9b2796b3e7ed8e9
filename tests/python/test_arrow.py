"""Records as Arrow tables: nothing lost on the way to Parquet and back."""

import json
import os
import random
import subprocess
import sys

import pyarrow.parquet as pq
import pytest

import vorandix
from _vorandix import parse
from conftest import DATA


def through_parquet(records, tmp_path):
    table = vorandix.to_arrow(records)
    assert table.schema == vorandix.schema()
    pq.write_table(table, tmp_path / "t.parquet")
    return list(vorandix.from_arrow(pq.read_table(tmp_path / "t.parquet")))


def command(*args):
    return subprocess.run(
        [sys.executable, "-m", "vorandix", "-q", *map(str, args)], capture_output=True
    )


BUILT = [
    {"path": "gone.jpg", "error": {"kind": "not_found", "message": "gone.jpg: No such file"}},
    {"path": "caf\udce9.txt", "file": {"size_bytes": 2**64 - 1, "entropy_bits_per_byte": -0.0}},
    {"path": "\udcff\udcfe/x.png", "png": {"chunks": [], "truncated": {"chunks": 100000}}},
    {
        "path": "limits.pdf",
        "pdf": {"info": {"title": "T"}, "object_count": 0, "truncated": {"info.title": 65536}},
        "zip": {"entries": [{"name": "a", "compressed": 0}], "truncated": {"entries": 65536}},
        "errors": [{"extractor": "gzip", "message": "malformed gzip: header too short"}] * 2,
    },
    {"path": "nan-gps.jpg", "exif": {"gps_decimal": {"latitude": None, "longitude": 1.5}}},
    {"path": "tags.jpg", "exif": {"primary": {"Tag(Exif, 59932)": "1", "Make": '"x"'}}},
    {"path": "empty-lists.mp4", "mp4": {"top_level_boxes": [], "compatible_brands": []}},
]


def test_every_sample_and_built_record_survives_parquet(tmp_path):
    samples = [
        {"path": str(p), **parse(p)} for p in sorted(DATA.rglob("*")) if p.is_file()
    ]
    records = samples + BUILT
    assert through_parquet(records, tmp_path) == records


def make_tree(root, count, seed=13):
    """count files made from the samples: copies, cut copies, copies with a flipped byte, and
    empty files, some with names that are not valid UTF-8, spread over 30 folders."""
    rng = random.Random(seed)
    samples = [p.read_bytes() for p in sorted(DATA.rglob("*")) if p.is_file()]
    for i in range(count):
        data = rng.choice(samples)
        how = i % 4
        if how == 1:
            data = data[: rng.randrange(len(data) + 1)]
        elif how == 2 and data:
            at = rng.randrange(min(len(data), 64))
            data = data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1 :]
        elif how == 3 and i % 20 == 3:
            data = b""
        folder = os.path.join(os.fsencode(root), b"d%02d" % (i % 30))
        os.makedirs(folder, exist_ok=True)
        name = b"f%05d" % i + (b"-\xff\xfe" if i % 7 == 0 else b"") + b".bin"
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def test_a_tree_of_mixed_files_survives_the_command_in_row_groups(tmp_path):
    tree, out = tmp_path / "tree", tmp_path / "tree.parquet"
    make_tree(tree, 3000)
    done = command("--format", "parquet", "-o", out, tree, tmp_path / "missing")
    assert (done.returncode, done.stderr) == (1, b"")
    records = list(vorandix.scan([tree, tmp_path / "missing"]))
    assert len(records) == 3001
    assert len({k for r in records for k in r}) >= 15  # every section, errors and error
    assert pq.ParquetFile(out).num_row_groups == 3
    assert list(vorandix.from_arrow(pq.read_table(out))) == records
    # The JSON Lines of the same tree, paths that are not UTF-8 included, make the same table.
    command("-o", tmp_path / "tree.jsonl", tree, tmp_path / "missing")
    with open(tmp_path / "tree.jsonl", "rb") as f:
        assert vorandix.to_arrow([json.loads(line) for line in f]) == pq.read_table(out)


@pytest.mark.parametrize(
    "args, message",
    [
        (["--format", "parquet", "."], b"--format parquet needs -o FILE"),
        (["--format", "parquet", "--pretty", "-o", "x", "."], b"--pretty applies to JSON Lines"),
    ],
)
def test_parquet_usage_errors(args, message):
    done = command(*args)
    assert done.returncode == 2 and message in done.stderr


def test_paths_that_are_not_utf8_have_a_display_string_and_their_bytes():
    table = vorandix.to_arrow(
        [
            {"path": "caf\udce9"},  # as scan gives it
            {"path": "caf\ufffd", "path_bytes": "636166e9"},  # as the JSON Lines hold it
            {"path": "café"},
        ]
    )
    assert table.column("path").to_pylist() == ["caf\ufffd", "caf\ufffd", "café"]
    assert table.column("path_bytes").to_pylist() == [b"caf\xe9", b"caf\xe9", None]
    assert [r["path"] for r in vorandix.from_arrow(table)] == ["caf\udce9", "caf\udce9", "café"]


@pytest.mark.parametrize(
    "record, key",
    [
        ({"path": "a", "tiff": {}}, "tiff"),
        ({"path": "a", "jpeg": {"segments": [], "dpi": 72.0}}, "jpeg.dpi"),
        ({"path": "a", "jpeg": {"segments": [{"marker": "FFD8", "xmp": 1}]}}, "jpeg.segments.xmp"),
        ({"path": "a", "id3": {"frames": {"lyrics": "la"}}}, "id3.frames.lyrics"),
        ({"path": "a", "error": {"kind": "io", "message": "m", "errno": 5}}, "error.errno"),
    ],
)
def test_a_key_outside_the_schema_is_refused_not_dropped(record, key):
    with pytest.raises(ValueError, match=f"record 0: key '{key}' is not in vorandix.schema"):
        vorandix.to_arrow([record])


def test_import_works_without_the_extras_and_each_function_names_its_extra():
    code = (
        "import sys\n"
        "sys.modules['pyarrow'] = sys.modules['dask'] = None\n"
        "import vorandix\n"
        "for call in (vorandix.schema, lambda: vorandix.to_arrow([])):\n"
        "    try:\n"
        "        call()\n"
        "    except ImportError as exc:\n"
        "        print(exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == [
        "vorandix.schema needs pyarrow, which is not installed: pip install 'vorandix[arrow]'",
        "vorandix.to_arrow needs pyarrow, which is not installed: pip install 'vorandix[arrow]'",
    ]
