"""The "zip" section: end record, central directory walk, totals and container kind."""

import struct
import zipfile

import pytest

from _vorandix import parse, parse_bytes

from conftest import DATA, parse_sample

LOCAL = b"PK\x03\x04" + bytes(26)  # a local header's signature and fixed part, never read


def entry(name, method=8, time=0, date=0, csize=0, usize=0, extra=b"", comment=b"",
          sig=b"PK\x01\x02", name_len=None):
    """One central directory header (46 bytes, then name, extra field, comment)."""
    n = len(name) if name_len is None else name_len
    fields = struct.pack(
        "<HHHHHHIIIHHHHHII", 20, 20, 0, method, time, date, 0, csize, usize, n, len(extra),
        len(comment), 0, 0, 0, 0,
    )
    return sig + fields + name + extra + comment


def end_record(count, offset, comment=b"", size=0):
    return b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, count, count, size, offset,
                                       len(comment)) + comment


def archive(*entries, count=None, comment=b"", prefix=LOCAL, tail=b""):
    directory = b"".join(entries)
    count = len(entries) if count is None else count
    return prefix + directory + tail + end_record(count, len(prefix), comment, len(directory))


def zip_section(data):
    return parse_bytes(data)["zip"]


def names(data):
    return [e["name"] for e in zip_section(data)["entries"]]


def test_empty_archive():
    data = end_record(0, 0)
    assert zip_section(data) == {"entry_count": 0, "entries": [], "container_kind": "plain zip"}


def test_full_section_of_a_small_archive():
    data = archive(
        entry(b"a.txt", method=8, date=(44 << 9) | (1 << 5) | 31, time=(23 << 11) | (59 << 5) | 29,
              csize=10, usize=40),
        entry(b"dir/", method=0),
    )
    assert zip_section(data) == {
        "entry_count": 2,
        "compression_ratio": 0.25,
        "container_kind": "plain zip",
        "entries": [
            {"name": "a.txt", "method": "deflate", "compressed": 10, "uncompressed": 40,
             "modified": "2024-01-31T23:59:58"},
            {"name": "dir/", "method": "stored", "compressed": 0, "uncompressed": 0,
             "modified": "1980-00-00T00:00:00"},
        ],
    }


@pytest.mark.parametrize(
    "data, message",
    [
        (LOCAL + bytes(100), "no end-of-central-directory record"),
        (b"PK\x03\x04", "no end-of-central-directory record"),
        (b"PK\x05\x06", "truncated end-of-central-directory record"),
        (end_record(0, 0)[:21], "truncated end-of-central-directory record"),
        # A signature in the last 21 bytes wins over a complete record before it.
        (end_record(0, 0) + b"PK\x05\x06" + bytes(17), "truncated end-of-central-directory record"),
    ],
)
def test_end_record_errors(data, message):
    result = parse_bytes(data)
    assert "zip" not in result
    assert {"extractor": "zip", "message": "malformed zip: " + message} in result["errors"]


def test_signature_in_comment_moves_the_record():
    # The comment holds a second record that declares 7 entries and points at the real
    # directory; the last signature in the input is the one read.
    real = entry(b"inner.txt", csize=1, usize=2)
    fake = end_record(7, len(LOCAL))
    data = archive(real, comment=b"note " + fake + b" end")
    section = zip_section(data)
    assert section["entry_count"] == 7
    assert names(data) == ["inner.txt"]


def test_zip64_style_record_lists_nothing():
    data = LOCAL + end_record(0xFFFF, 0xFFFFFFFF)
    assert zip_section(data) == {"entry_count": 65535, "entries": [], "container_kind": "plain zip"}


@pytest.mark.parametrize(
    "data, expected",
    [
        # Declared count is reported as stored; the walk follows the headers.
        (archive(entry(b"a"), entry(b"b"), entry(b"c"), count=1), ["a", "b", "c"]),
        (archive(entry(b"a"), count=9), ["a"]),
        # A wrong signature ends the walk.
        (archive(entry(b"a"), entry(b"b", sig=b"PK\x03\x04"), entry(b"c")), ["a"]),
        # Extra field and comment are skipped by their declared lengths.
        (archive(entry(b"a", extra=b"\x01\x00\x04\x00abcd", comment=b"hello"), entry(b"b")),
         ["a", "b"]),
        # A header cut by the end of the input ends the walk.
        (LOCAL + entry(b"a") + end_record(2, len(LOCAL)) + entry(b"b")[:45], ["a"]),
        # A name running past the end is cut there.
        (LOCAL + end_record(1, len(LOCAL) + 22) + entry(b"abc", name_len=40), ["abc"]),
        # A directory offset past the input lists nothing.
        (LOCAL + end_record(1, 10**6), []),
        # A stub before the archive shifts it away from its stored (archive-relative) offsets.
        (LOCAL + bytes(40) + archive(entry(b"x"), prefix=b""), []),
    ],
)
def test_walk_ends_quietly(data, expected):
    assert names(data) == expected


def test_name_cut_by_end_reports_its_fields():
    data = LOCAL + end_record(1, len(LOCAL) + 22) + entry(b"abc", csize=5, usize=6, name_len=40)
    assert zip_section(data)["entries"] == [
        {"name": "abc", "method": "deflate", "compressed": 5, "uncompressed": 6,
         "modified": "1980-00-00T00:00:00"}
    ]


@pytest.mark.parametrize(
    "raw", [b"caf\xe9.txt", b"\xff\xfe", b"\xe2\x82", b"ok\xf0\x9f\x98\x80.txt", b"\xed\xa0\x80"]
)
def test_names_are_utf8_with_replacement(raw):
    assert names(archive(entry(raw))) == [raw.decode("utf-8", "replace")]


@pytest.mark.parametrize(
    "method, label",
    [(0, "stored"), (8, "deflate"), (9, "deflate64"), (14, "lzma"), (93, "zstd"),
     (99, "AES encrypted"), (12, "other"), (1, "other"), (65535, "other")],
)
def test_method_labels(method, label):
    assert zip_section(archive(entry(b"f", method=method)))["entries"][0]["method"] == label


@pytest.mark.parametrize(
    "date, time, text",
    [
        (0, 0, "1980-00-00T00:00:00"),
        (0xFFFF, 0xFFFF, "2107-15-31T31:63:62"),
        ((43 << 9) | (6 << 5) | 15, (9 << 11) | (30 << 5) | 6, "2023-06-15T09:30:12"),
        ((20 << 9) | (2 << 5) | 29, (23 << 11) | (59 << 5) | 29, "2000-02-29T23:59:58"),
    ],
)
def test_dos_times_are_printed_unvalidated(date, time, text):
    assert zip_section(archive(entry(b"f", date=date, time=time)))["entries"][0]["modified"] == text


@pytest.mark.parametrize(
    "sizes, ratio",
    [
        ([(1234, 10000)], 0.123),
        ([(1235, 10000)], 0.124),
        ([(300, 100)], 3.0),
        ([(1, 3), (1, 3)], 0.333),
        # The totals are 64-bit: two 4 GiB-1 fields do not wrap.
        ([(0xFFFFFFFF, 0xFFFFFFFF), (0xFFFFFFFF, 0xFFFFFFFF)], 1.0),
        ([(0xFFFFFFFF, 1), (0, 0xFFFFFFFF)], 1.0),
        ([(0, 0), (5, 0)], None),
    ],
)
def test_compression_ratio(sizes, ratio):
    data = archive(*(entry(b"f%d" % i, csize=c, usize=u) for i, (c, u) in enumerate(sizes)))
    assert zip_section(data).get("compression_ratio") == ratio


@pytest.mark.parametrize(
    "entry_names, kind",
    [
        ([b"mimetype", b"word/document.xml"], "Word document (docx)"),
        ([b"xl/"], "Excel workbook (xlsx)"),
        ([b"ppt/slides/slide1.xml", b"xl/x"], "Excel workbook (xlsx)"),
        ([b"ppt/x", b"META-INF/MANIFEST.MF"], "PowerPoint (pptx)"),
        ([b"AndroidManifest.xml", b"META-INF/MANIFEST.MF"], "Java archive (jar)"),
        ([b"AndroidManifest.xml"], "Android package (apk)"),
        ([b"mimetype"], "EPUB/OpenDocument"),
        ([b"Word/document.xml", b"XL/a", b"ppt", b"meta-inf/manifest.mf", b"mimetype.txt"],
         "plain zip"),
        ([b"sub/word/document.xml", b"sub/xl/a", b"/mimetype"], "plain zip"),
        # Classification sees the decoded name: an invalid byte never equals a known name.
        ([b"mimetyp\xe9"], "plain zip"),
    ],
)
def test_container_kind(entry_names, kind):
    assert zip_section(archive(*(entry(n) for n in entry_names)))["container_kind"] == kind


@pytest.mark.parametrize(
    "head, applies",
    [(b"PK\x03\x04", True), (b"PK\x05\x06", True), (b"PK\x01\x02", False), (b"PK\x07\x08", False),
     (b"pk\x03\x04", False)],
)
def test_applies_only_to_local_header_or_end_record(head, applies):
    result = parse_bytes(head + bytes(30) + end_record(0, 0))
    assert ("zip" in result) == applies
    assert "errors" not in result


SAMPLES = {
    "plain.zip": "plain zip",
    "stored.zip": "plain zip",
    "methods.zip": "plain zip",
    "document.docx": "Word document (docx)",
    "book.xlsx": "Excel workbook (xlsx)",
    "slides.pptx": "PowerPoint (pptx)",
    "library.jar": "Java archive (jar)",
    "app.apk": "Android package (apk)",
    "book.epub": "EPUB/OpenDocument",
}

METHODS = {0: "stored", 8: "deflate", 14: "lzma", 12: "other"}


@pytest.mark.parametrize("file_name, kind", sorted(SAMPLES.items()))
def test_samples_agree_with_zipfile(file_name, kind):
    path = DATA / "docs" / file_name
    infos = zipfile.ZipFile(path).infolist()
    section = parse(path)["zip"]
    assert section["container_kind"] == kind
    assert section["entry_count"] == len(infos)
    assert section["entries"] == [
        {
            "name": i.filename,
            "method": METHODS[i.compress_type],
            "compressed": i.compress_size,
            "uncompressed": i.file_size,
            "modified": "%04d-%02d-%02dT%02d:%02d:%02d" % i.date_time,
        }
        for i in infos
    ]
    c = sum(i.compress_size for i in infos)
    u = sum(i.file_size for i in infos)
    assert section["compression_ratio"] == pytest.approx(c / u, abs=0.0005)


def test_sample_with_signature_in_comment():
    data = (DATA / "docs" / "commented.zip").read_bytes()
    at = data.rindex(b"PK\x05\x06")
    assert at > data.index(b"PK\x05\x06")  # the real record comes first
    (count,) = struct.unpack_from("<H", data, at + 10)
    (offset,) = struct.unpack_from("<I", data, at + 16)
    assert offset > len(data)
    assert parse_bytes(data)["zip"] == {
        "entry_count": count, "entries": [], "container_kind": "plain zip",
    }


def test_path_and_bytes_agree_on_large_directory(tmp_path):
    # Enough headers to cross the file reader's windows several times.
    entries = [entry(b"dir/file-%05d.txt" % i, csize=i, usize=2 * i + 1, extra=bytes(i % 7))
               for i in range(3000)]
    data = archive(*entries, comment=b"c" * 1000)
    path = tmp_path / "big.zip"
    path.write_bytes(data)
    by_path = parse(path)["zip"]
    assert by_path == parse_bytes(data)["zip"]
    assert len(by_path["entries"]) == 3000
    assert by_path["entries"][-1]["name"] == "dir/file-02999.txt"


@pytest.mark.parametrize("file_name", sorted(SAMPLES) + ["commented.zip"])
def test_path_and_bytes_agree_on_samples(file_name):
    parse_sample(DATA / "docs" / file_name)


@pytest.mark.parametrize("tail", [0, 65513, 65514, 65515, 65516, 65517, 65518, 300000])
def test_record_found_however_far_back(tmp_path, tail):
    # Trailing bytes after the record (a comment whose length field lies): the search has no
    # limit, and a signature straddling the reader's search blocks is still seen.
    data = archive(entry(b"a"), entry(b"b")) + b"x" * tail
    path = tmp_path / "tail.zip"
    path.write_bytes(data)
    assert names(data) == ["a", "b"]
    assert parse(path)["zip"] == parse_bytes(data)["zip"]
