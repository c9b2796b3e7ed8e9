"""The "pdf" section: version, object and page counts, flags and information strings."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _vorandix import parse, parse_bytes

from conftest import DATA, parse_sample


def pdf_section(data):
    return parse_bytes(data)["pdf"]


def test_minimal_file():
    assert pdf_section(b"%PDF-1.4\n") == {
        "version": "1.4",
        "object_count": 0,
        "page_count": 0,
        "linearized": False,
        "encrypted": False,
    }


@pytest.mark.parametrize(
    "head, version",
    [
        (b"%PDF-1.7\r\n", "1.7"),
        (b"%PDF-1.7\r", "1.7"),
        (b"%PDF-1.7 x\n", "1.7 x"),
        (b"%PDF-\n", ""),
        (b"%PDF-1234567890\n", "1234567890"),  # line end at position 15
        (b"%PDF-12345678901\n", None),  # line end at position 16
        (b"%PDF-1.4", None),
        (b"%PDF-1.\xff\n", "1.\ufffd"),
        # Only the first line end counts, whichever of the two it is.
        (b"%PDF-2.0\n\r", "2.0"),
    ],
)
def test_version(head, version):
    assert pdf_section(head).get("version") == version


@pytest.mark.parametrize(
    "body, objects, pages",
    [
        (b"1 0 obj\n2 0 obj\n3 0 object", 3, 0),
        (b"obj\nendobj 4 0 obj", 1, 0),
        (b"/Type /Page ", 0, 1),
        (b"/Type /Pages", 0, 0),
        (b"/Type/Pages/Kids[3 0 R]/Type/Page/Parent", 0, 1),
        (b"/Type/PageLabel /Type /Page>>", 0, 2),
        (b"/Type  /Page /Type\n/Page /Type\t/Page", 0, 0),
        (b"/Type/Page", 0, 1),  # at the very end of the file
        (b"/Type /Page", 0, 1),
        (b"/Type/Page/Type/Page", 0, 2),
    ],
)
def test_counts(body, objects, pages):
    section = pdf_section(b"%PDF-1.4\n" + body)
    assert (section["object_count"], section["page_count"]) == (objects, pages)


@pytest.mark.parametrize(
    "body, linearized, encrypted",
    [
        (b"<</Linearized 1>>", True, False),
        (b"/Encrypt 5 0 R", False, True),
        (b"/EncryptMetadata false", False, True),
        (b"/Linearize /Encryp /encrypt", False, False),
    ],
)
def test_flags(body, linearized, encrypted):
    section = pdf_section(b"%PDF-1.4\n" + body)
    assert (section["linearized"], section["encrypted"]) == (linearized, encrypted)


@pytest.mark.parametrize(
    "body, title",
    [
        (b"/Title (Plain)", "Plain"),
        (b"/Title(A (nested) name)", "A (nested) name"),
        (b"/Title (x\\)y)", "x)y"),
        (b"/Title (line\\nbreak)", "line\nbreak"),
        (b"/Title (\\101\\102)", "AB"),
        (b"/Title (back\\\\slash)", "back\\slash"),
        (b"/Title (a\\(b) tail)", "a(b"),
        (b"/Title \t\r\n\x0c (spaced)", "spaced"),
        (b"/Title (never closed (really", "never closed (really"),
        (b"/Title (ends in a backslash\\", "ends in a backslash"),
        (b"/Title (", ""),
        (b"/Title ()", ""),
        (b"/Title (caf\xe9)", "caf\u00e9"),
        (b"/Title (\xfe\xff\x00H\x00i)", "Hi"),
        # Only the first /Title counts: a hex string, a reference or a name there gives nothing.
        (b"/Title <FEFF0048> /Title (Later)", None),
        (b"/Title 12 0 R /Title (Later)", None),
        (b"/Title /Other (x)", None),
        (b"/Title\x00(nul is not whitespace)", None),
        (b"/Title", None),
        (b"/Title   ", None),
        # An outline item before the information dictionary wins.
        (b"<</Title (Chapter 1) /Parent 3 0 R>> <</Title (The document)>>", "Chapter 1"),
        (b"/Titles (x)", None),
        # Escapes (the regression inputs hold more), then the bytes read as a text string.
        (b"/Title (a\\tb\\rc\\bd\\fe\\q)", "a\tb\rc\bd\feq"),
        (b"/Title (\\0x\\12x\\1011\\777)", "\x00x\nxA1\u00ff"),  # \777: overflow ignored
        (b"/Title (cut\\61", "cut1"),
        (b"/Title (one\\\ntwo\\\rthree\\\n\nfour)", "onetwothree\nfour"),
        # UTF-16BE: an escaped ")" in a unit, a surrogate pair, a lone half, an odd last byte.
        (b"/Title (\xfe\xff\x00\\)\xd8\x3d\xde\x00\xd8\x3d\x00A\x00)",
         ")\U0001f600\ufffdA\ufffd"),
        (b"/Title (Gr\xc3\xbc\xc3\x9fe)", "Gr\u00fc\u00dfe"),
        (b"/Title (\x93\x8d\x18\x7f\x9f\xad)", "\ufb01\u201c\u02d8\ufffd\ufffd\ufffd"),  # PDFDoc
    ],
)
def test_title_literal_strings(body, title):
    section = pdf_section(b"%PDF-1.4\n" + body)
    assert section.get("info", {}).get("title") == title


def test_all_information_keys():
    body = (
        b"<</Title (T) /Author (A) /Subject (S) /Creator (C) /Producer (P) /Keywords (K)"
        b" /CreationDate (D:20240131120000Z) /ModDate (D:20240201080000+01'00')>>"
    )
    assert pdf_section(b"%PDF-1.4\n" + body)["info"] == {
        "title": "T",
        "author": "A",
        "subject": "S",
        "creator": "C",
        "producer": "P",
        "keywords": "K",
        "creation_date": "D:20240131120000Z",
        "modification_date": "D:20240201080000+01'00'",
    }


def test_search_runs_over_the_whole_buffer():
    # Patterns far from the start, and strings that run through the rest of the file.
    body = b"stream\n" + bytes(300000) + b"\nendstream /Author (x(" + b"y" * 100000
    section = pdf_section(b"%PDF-1.6\n" + body + b"\n1 0 obj /Type/Page")
    assert section["object_count"] == 1
    assert section["page_count"] == 1
    assert section["info"]["author"] == "x(" + "y" * 100000 + "\n1 0 obj /Type/Page"


INFO_NAMES = [
    (b"/Title", "title"), (b"/Author", "author"), (b"/Subject", "subject"),
    (b"/Creator", "creator"), (b"/Producer", "producer"), (b"/Keywords", "keywords"),
    (b"/CreationDate", "creation_date"), (b"/ModDate", "modification_date"),
]


ESCAPES = {ord(k): v for k, v in zip("nrtbf\n\r", [b"\n", b"\r", b"\t", b"\b", b"\f", b"", b""])}


def decoded(text: bytes) -> str:
    # The tokens below make no mark, no octal escape, no byte PDFDocEncoding reads otherwise.
    try:
        return text.decode()
    except UnicodeDecodeError:
        return text.decode("latin-1")


def reference_section(data: bytes) -> dict:
    """The section by plain searches over the bytes, one per pattern."""
    pages = sum(
        1
        for pattern in (rb"/Type/Page", rb"/Type /Page")
        for m in re.finditer(re.escape(pattern), data)
        if data[m.end() : m.end() + 1] != b"s"
    )
    out = {
        "object_count": data.count(b" obj"),
        "page_count": pages,
        "linearized": b"/Linearized" in data,
        "encrypted": b"/Encrypt" in data,
    }
    ends = [i for i, b in enumerate(data[:16]) if b in b"\r\n"]
    if ends:
        out["version"] = data[5 : ends[0]].decode("utf-8", "replace")
    info = {}
    for name, key in INFO_NAMES:
        pos = data.find(name)
        if pos < 0:
            continue
        pos += len(name)
        while pos < len(data) and data[pos] in b"\t\n\x0c\r ":
            pos += 1
        if pos >= len(data) or data[pos] != ord("("):
            continue
        text, depth, pos = bytearray(), 1, pos + 1
        while pos < len(data):
            b, pos = data[pos], pos + 1
            if b == ord("\\"):
                if pos == len(data):
                    break
                c, pos = data[pos], pos + 1
                if c == ord("\r") and data[pos : pos + 1] == b"\n":
                    pos += 1
                text += ESCAPES.get(c, bytes([c]))
                continue
            depth += {ord("("): 1, ord(")"): -1}.get(b, 0)
            if depth == 0:
                break
            text.append(b)
        info[key] = decoded(bytes(text))
    if info:
        out["info"] = info
    return out


TOKENS = [
    b"/Type", b"/Page", b"s", b" ", b"/", b"obj", b" obj", b"j", b"\n", b"\r", b"(", b")",
    b"\\", b"x", b"\xe9", b"<", b"/Linearized", b"/Encrypt", b"/Encryp",
] + [name for name, _ in INFO_NAMES]


@settings(max_examples=500, deadline=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=60).map(b"".join))
def test_matches_plain_searches(body):
    data = b"%PDF-1." + body
    assert pdf_section(data) == reference_section(data)


BLOCK = 1 << 20  # the reader's scanning block


@pytest.mark.parametrize(
    "pattern",
    [b" obj", b"/Type/Page", b"/Type /Pages", b"/Type/Page/", b"/CreationDate (d)", b"/Linearized",
     b"/Encrypt"],
)
def test_patterns_across_block_boundaries(tmp_path, pattern):
    path = tmp_path / "boundary.pdf"
    for shift in range(-2, len(pattern) + 2):
        data = b"%PDF-1.4\n".ljust(BLOCK - shift, b"x") + pattern + b"x" * 40
        path.write_bytes(data)
        expected = reference_section(data)
        assert pdf_section(data) == expected, shift
        assert parse(path)["pdf"] == expected, shift


@pytest.mark.parametrize(
    "head, tail, text",
    [
        # The backslash is the last byte of the first piece read after "(": the escaped ")"
        # in the next piece must not end the string.
        (b"\\", b")b", ")b"),
        # An octal escape, and a backslash before CR LF, split between the two pieces.
        (b"\\1", b"01", "A"),
        (b"\\\r", b"\nb", "b"),
    ],
)
def test_literal_string_across_pieces(tmp_path, head, tail, text):
    prefix = b"a" * (BLOCK - len(head))
    data = b"%PDF-1.4\n/Title (" + prefix + head + tail + b") /Author (x)"
    path = tmp_path / "long-title.pdf"
    path.write_bytes(data)
    expected = {"title": prefix.decode() + text, "author": "x"}
    assert pdf_section(data)["info"] == expected
    assert parse(path)["pdf"]["info"] == expected


INFO = {
    "author": "Ada Tester",
    "creation_date": "D:20240101000000Z00'00'",
    "creator": "make_docs.py",
    "keywords": "alpha, beta",
    "modification_date": "D:20240101000000Z00'00'",
    "producer": "GPL Ghostscript 10.00.0",
    "subject": "Metadata test",
    "title": "Sample (draft) report",
}

SAMPLES = {
    "report.pdf": {
        "version": "1.5", "object_count": 17, "page_count": 3, "linearized": False,
        "encrypted": False, "info": INFO,
    },
    "report-linearized.pdf": {
        "version": "1.5", "object_count": 16, "page_count": 3, "linearized": True,
        "encrypted": False, "info": INFO,
    },
    # Encrypted strings are written as hex strings, which are not read.
    "report-encrypted.pdf": {
        "version": "1.7", "object_count": 15, "page_count": 3, "linearized": False,
        "encrypted": True,
    },
    # Pages and the information dictionary packed into compressed object streams.
    "report-objstm.pdf": {
        "version": "1.5", "object_count": 6, "page_count": 0, "linearized": False,
        "encrypted": False,
    },
}


@pytest.mark.parametrize("file_name", sorted(SAMPLES))
def test_samples(file_name):
    path = DATA / "docs" / file_name
    assert parse_sample(path)["pdf"] == SAMPLES[file_name]
