"""Records as Arrow tables: nothing lost on the way to Parquet and back."""

import json
import math
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


@pytest.mark.parametrize("format", ["jsonl", "parquet"])
def test_o_dash_is_standard_output(tmp_path, format):
    import pyarrow as pa

    to_file = command("--format", format, "-o", tmp_path / "out", DATA)
    to_stdout = command("--format", format, "-o", "-", DATA)
    assert (to_stdout.returncode, to_stdout.stderr) == (to_file.returncode, b"")
    assert not (tmp_path / "-").exists() and not os.path.exists("-")
    if format == "parquet":
        assert pq.read_table(pa.BufferReader(to_stdout.stdout)) == pq.read_table(tmp_path / "out")
    else:
        assert to_stdout.stdout == (tmp_path / "out").read_bytes()


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


@pytest.mark.parametrize(
    "record, key",
    [
        ({"file": {"size_bytes": 1.5}}, "file.size_bytes"),
        ({"jpeg": {"segments": [{"offset": 0, "length": 2.25}]}}, "jpeg.segments.length"),
        ({"png": {"truncated": {"chunks": 0.5}}}, "png.truncated.chunks"),
    ],
)
def test_a_fraction_for_an_integer_is_refused_not_truncated(record, key):
    # pyarrow would store 1 for 1.5; a whole float is stored as the integer it is.
    with pytest.raises(ValueError, match=f"record 0: key '{key}': .* is not an integer"):
        vorandix.to_arrow([{"path": "a", **record}])
    whole = vorandix.to_arrow([{"path": "a", "file": {"size_bytes": 2.0}}])
    assert whole.column("file").to_pylist()[0]["size_bytes"] == 2


@pytest.mark.parametrize(
    "columns, error",
    [
        ({"x": [1]}, "not a table of"),  # every row would be {}
        ({"path": [1]}, "not a table of"),
        ({"path": ["a"], "file": [{"sha1": "ab"}]}, "key 'sha1' is not in"),
    ],
)
def test_from_arrow_refuses_a_table_of_another_schema(columns, error):
    import pyarrow as pa

    with pytest.raises(ValueError, match=error):
        list(vorandix.from_arrow(pa.table(columns)))
    subset = {"file": [{"size_bytes": 1}]}  # still read
    assert list(vorandix.from_arrow(pa.table(subset))) == [{"file": {"size_bytes": 1}}]


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


def rows_table(lines):
    """The table vorandix._batch.Rows builds from JSON lines, as scan_batches imports it."""
    import pyarrow as pa

    from vorandix import _batch
    from vorandix.arrow import _Taken

    rows = _batch.Rows(vorandix.schema().__arrow_c_schema__())
    for line in lines:
        assert rows.add_line(line)
    batch = pa.record_batch(_Taken(vorandix.schema(), rows.take()))
    batch.validate(full=True)
    return pa.Table.from_batches([batch])


TEXTS = {"quote": 'a"b\\c', "controls": "\n\t\x01\x7f", "wide": "é€😀", "empty": ""}


@pytest.mark.parametrize("ensure_ascii", [False, True])
def test_rows_built_from_json_lines_equal_to_arrow(ensure_ascii):
    records = BUILT + [{"path": "texts.png", "png": {"text": TEXTS, "gamma": 1}}]
    # As the command writes them: a path that is not UTF-8 as display text and hex bytes.
    fields = vorandix._lines.path_fields
    lines = [json.dumps({**r, **fields(r["path"])}, ensure_ascii=ensure_ascii) for r in records]
    lines = [line.encode() for line in lines]
    assert rows_table(lines) == vorandix.to_arrow(records)


GOOD = [{"path": "a", "png": {"width": 1, "text": {"k": "v"}}}, {"path": "b", "errors": []}]


@pytest.mark.parametrize(
    "line, message",
    [
        ('{"path": "x", "jpeg": {"segments": [{"marker": "D8", "xmp": 1}]}}', "jpeg.segments.xmp"),
        ('{"path": "x", "tiff": {}}', "key 'tiff' is not in"),
        ('{"path": "x", "png": {"width": "1"}}', "'png.width': a string where"),
        ('{"path": "x", "png": {"width": -1}}', "'png.width': expected an integer of 0"),
        ('{"path": "x", "png": {"width": 1.5}}', "'png.width': expected an integer of 0"),
        ('{"path": "x", "png": {"width": 18446744073709551616}}', "out of range"),
        ('{"path": "x", "png": {"gamma": 9007199254740993}}', "a double cannot hold"),
        ('{"path": "x", "png": {"interlaced": 1}}', "'png.interlaced': a number where"),
        ('{"path": "x", "png": {"chunks": {}}}', "'png.chunks': an object where"),
        ('{"path": "x", "png": {"text": {"k": 1}}}', "'png.text': a number where"),
        ('{"path": "x", "png": {"width": 1, "width": 2}}', "given twice"),
        ('{"path": "x"} {}', "text after the record"),
        ('{"path": "x", "png": {"text": {"k": "v}}}', "a cut string"),
        ('{"path": "x\\q"}', "a bad escape"),
        ('{"path": "\\ud800"}', "a lone surrogate"),
        ('{"path": "x", "path_bytes": "abc"}', "hex of odd length"),
        ('{"path": "x", "path_bytes": "zz"}', "not hex"),
        ("[]", "a record is a JSON object"),
    ],
)
def test_a_record_that_does_not_fit_is_refused_and_the_rows_before_it_stay(line, message):
    from vorandix import _batch

    rows = _batch.Rows(vorandix.schema().__arrow_c_schema__())
    good = [json.dumps(r).encode() for r in GOOD]
    assert rows.add_line(good[0])
    with pytest.raises(ValueError, match=message):
        rows.add_line(line.encode())
    with pytest.raises(ValueError, match="not UTF-8"):
        rows.add_line(b'{"path": "caf\xe9"}')
    assert rows.add_line(good[1]) and len(rows) == 2
    import pyarrow as pa

    from vorandix.arrow import _Taken

    batch = pa.record_batch(_Taken(vorandix.schema(), rows.take()))
    batch.validate(full=True)
    assert pa.Table.from_batches([batch]) == vorandix.to_arrow(GOOD)


def test_scan_batches_equal_to_arrow_of_scan_and_write_parquet_takes_them(tmp_path):
    import pyarrow as pa

    import vorandix.arrow

    make_tree(tmp_path / "tree", 600)
    inputs = [DATA, tmp_path / "tree", tmp_path / "missing"]
    batches = list(vorandix.arrow.scan_batches(inputs, rows_per_batch=256))
    assert [b.num_rows for b in batches] == [256, 256, 154]
    expected = vorandix.to_arrow(list(vorandix.scan(inputs)))
    assert pa.Table.from_batches(batches) == expected
    out = tmp_path / "t.parquet"
    assert vorandix.arrow.write_parquet(iter(batches), out, rows_per_group=200) == 666
    assert pq.ParquetFile(out).num_row_groups == 5  # 256 = 200 + 56, twice, and 154
    assert pq.read_table(out) == expected
    for options in ({}, {"use_dictionary": True, "write_statistics": True}):
        with open(out, "wb") as f:  # a file object is written through, and left open
            vorandix.arrow.write_parquet(iter(batches), f, **options)
            assert not f.closed
        assert pq.read_table(out) == expected
        stream = pa.BufferOutputStream()  # and so is pyarrow's own
        vorandix.arrow.write_parquet(iter(batches), stream, **options)
        assert pq.read_table(pa.BufferReader(stream.getvalue())) == expected
        group = pq.ParquetFile(out).metadata.row_group(0)  # the caller's options win
        chunks = {c.path_in_schema: c for c in map(group.column, range(group.num_columns))}
        stats = [chunks[name].is_stats_set for name in ("path", "file.size_bytes", "jpeg.width")]
        assert stats == [True, True, bool(options)]
        assert any("DICT" in e for e in chunks["file.mime_detected"].encodings) is bool(options)
        writer = pq.ParquetFile(out).metadata.created_by  # vorandix encodes the defaults itself
        assert writer.startswith("parquet-cpp" if options else "vorandix version")


def encoded(table, rows_per_group, page_bytes):
    """`table` through vorandix's own Parquet encoder, in row groups of `rows_per_group`."""
    import pyarrow as pa

    from vorandix import _batch
    from vorandix.arrow import _arrow_schema_entry, _statistics_columns

    entry = [(b"ARROW:schema", _arrow_schema_entry())]
    encoder = _batch.ParquetEncoder(
        table.schema.__arrow_c_schema__(), entry, "t", _statistics_columns(), page_bytes
    )
    parts = [b"PAR1"]
    for batch in table.to_batches(max_chunksize=rows_per_group):
        parts.append(encoder.row_group(batch.__arrow_c_array__()[1]))
    return pq.ParquetFile(pa.BufferReader(b"".join([*parts, encoder.footer()])))


def assert_encoded_as_pyarrow_writes(table, rows_per_group, page_bytes):
    """Our file of `table` reads back as `table`, with pyarrow's schemas and statistics."""
    import pyarrow as pa

    from vorandix.arrow import _writer_options

    ours = encoded(table, rows_per_group, page_bytes)
    sink = pa.BufferOutputStream()
    pq.write_table(table, sink, row_group_size=rows_per_group, **_writer_options({}))
    theirs = pq.ParquetFile(pa.BufferReader(sink.getvalue()))
    assert ours.read() == table
    assert ours.schema.equals(theirs.schema) and ours.schema_arrow == theirs.schema_arrow
    assert ours.metadata.num_row_groups == theirs.metadata.num_row_groups

    def facts(column):  # the sign of a zero bound counts
        s = column.statistics
        bounds = [(v, math.copysign(1, v)) if isinstance(v, float) else v for v in (s.min, s.max)]
        return s.has_min_max, bounds, s.null_count

    for g in range(theirs.metadata.num_row_groups):
        for c in range(theirs.metadata.num_columns):
            mine = ours.metadata.row_group(g).column(c)
            want = theirs.metadata.row_group(g).column(c)
            assert mine.is_stats_set == want.is_stats_set, want.path_in_schema
            if want.is_stats_set:
                assert facts(mine) == facts(want), (g, want.path_in_schema)


@pytest.mark.parametrize("rows_per_group, page_bytes", [(1024, 1 << 20), (5, 1 << 20), (7, 1)])
def test_the_parquet_encoder_writes_what_pyarrow_writes(rows_per_group, page_bytes):
    samples = [{"path": str(p), **parse(p)} for p in sorted(DATA.rglob("*")) if p.is_file()]
    long = [{"path": "x" * 5000}]  # too long for statistics: a group without min and max
    table = vorandix.to_arrow(samples + BUILT + long).slice(1)  # batches start at an offset
    assert_encoded_as_pyarrow_writes(table, rows_per_group, page_bytes)


@pytest.mark.parametrize("zeros", [(0.0, -0.0), (-0.0, 0.0)])
def test_a_zero_bound_is_written_with_the_sign_readers_expect(zeros):
    # -0.0 for a zero minimum, +0.0 for a zero maximum, whichever zero came first.
    records = [{"path": str(z), "file": {"entropy_bits_per_byte": z}} for z in zeros]
    assert_encoded_as_pyarrow_writes(vorandix.to_arrow(records), 1024, 1 << 20)


WORDS = ["", "a", "b", "é", "日本語", "x" * 70, "nul\x00byte"]


def random_value(rng, kind):
    """A value of the Arrow type `kind`, or None: nested as deep as the type, lists and maps
    empty or not, integers at their limits, signed zeros."""
    import pyarrow as pa

    if rng.random() < 0.3:
        return None
    if pa.types.is_struct(kind):
        fields = ((f.name, random_value(rng, f.type)) for f in kind)
        return {name: value for name, value in fields if value is not None}
    if pa.types.is_map(kind):
        items = range(rng.randrange(4))
        return {rng.choice(WORDS): random_value(rng, kind.item_type) for _ in items}
    if pa.types.is_list(kind):
        return [random_value(rng, kind.value_type) for _ in range(rng.randrange(4))]
    choices = {
        pa.uint64(): [0, 1, 2**63, 2**64 - 1, rng.randrange(2**64)],
        pa.int64(): [0, -1, -(2**63), 2**63 - 1, rng.randrange(-(2**63), 2**63)],
        pa.float64(): [0.0, -0.0, 1.5, -2.25, float("inf"), rng.random()],
        pa.bool_(): [False, True],
        pa.string(): WORDS,
    }
    return rng.choice(choices[kind]) if kind in choices else None  # path_bytes: from the path


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_the_parquet_encoder_writes_random_records_as_pyarrow_does(seed):
    rng = random.Random(seed)
    fields = [f for f in vorandix.schema() if f.name not in ("path", "path_bytes")]
    records = []
    for i in range(300):
        values = ((f.name, random_value(rng, f.type)) for f in fields)
        sections = {k: v for k, v in values if v is not None}
        records.append({"path": rng.choice(WORDS) + str(i), **sections})
    table = vorandix.to_arrow(records)
    assert_encoded_as_pyarrow_writes(table, rng.randrange(1, 100), rng.choice([1, 100, 1 << 20]))


@pytest.mark.parametrize("layout", ["fewer columns", "other types", "a null path"])
def test_the_parquet_encoder_refuses_rows_of_another_layout(layout):
    import pyarrow as pa

    from vorandix import _batch

    target = vorandix.schema()
    if layout == "fewer columns":
        rows = pa.record_batch({"path": ["a"]})
    elif layout == "other types":
        rows = pa.record_batch({name: [1] for name in target.names})
    else:  # pyarrow builds it, though `path` is declared without nulls
        columns = [pa.array([None], pa.string())]
        rows = pa.RecordBatch.from_arrays(columns + [pa.nulls(1, f.type) for f in target][1:],
                                          schema=target)
    encoder = _batch.ParquetEncoder(target.__arrow_c_schema__(), [], "t", [])
    with pytest.raises(ValueError, match="not laid out as their schema says"):
        encoder.row_group(rows.__arrow_c_array__()[1])


@pytest.mark.parametrize(
    "offsets, problem",
    [([0, 2, 1], "offsets going back"), ([0, 2, 9], "shorter"), ([-1, 2, 3], "negative")],
)
def test_the_parquet_encoder_reads_only_inside_the_arrays(offsets, problem):
    import struct

    import pyarrow as pa

    from vorandix import _batch

    # pyarrow checks the offsets it is given: these change under it once it has.
    raw = bytearray(struct.pack("<3i", 0, 2, 3))
    buffers = [None, pa.py_buffer(raw)]
    lists = pa.Array.from_buffers(pa.list_(pa.int64()), 2, buffers, children=[pa.array([1, 2, 3])])
    rows = pa.RecordBatch.from_arrays([lists], names=["xs"])
    raw[:] = struct.pack("<3i", *offsets)
    encoder = _batch.ParquetEncoder(rows.schema.__arrow_c_schema__(), [], "t", [])
    with pytest.raises(ValueError, match=problem):
        encoder.row_group(rows.__arrow_c_array__()[1])


def test_write_parquet_keeps_the_groups_written_before_a_failure(tmp_path):
    import pyarrow as pa

    from vorandix.arrow import write_parquet

    def records():
        yield from GOOD
        raise RuntimeError("the walk failed")

    with pytest.raises(RuntimeError, match="the walk failed"):
        write_parquet(records(), tmp_path / "cut.parquet", rows_per_group=1)
    assert list(vorandix.from_arrow(pq.read_table(tmp_path / "cut.parquet"))) == GOOD
    # A failure on the writing thread is raised on the caller's.
    with pytest.raises(ValueError, match="schema"):
        write_parquet([pa.record_batch({"x": [1]})], tmp_path / "other.parquet")


FULL_DISK = """
import sys, vorandix, vorandix.arrow as arrow
if sys.argv[2] != "default":
    arrow._SINK_BUFFER = int(sys.argv[2])  # so that a row group's write fails, not the last flush
batches = arrow.scan_batches(sys.argv[1], rows_per_batch=8)
records = batches if sys.argv[3] else vorandix.scan(sys.argv[1])
try:
    with open("/dev/full", "wb") as f:
        arrow.write_parquet(records, f)
except OSError as exc:
    print(exc.errno)
"""


@pytest.mark.parametrize("buffer, batches", [("default", ""), ("default", "yes"), ("1024", "yes")])
def test_write_parquet_to_a_full_file_object_raises_and_prints_nothing(buffer, batches):
    # In a process of its own: pyarrow writes again when it collects what could not close.
    out = subprocess.run(
        [sys.executable, "-c", FULL_DISK, DATA, buffer, batches], capture_output=True, text=True
    )
    assert (out.returncode, out.stdout, out.stderr) == (0, "28\n", "")
