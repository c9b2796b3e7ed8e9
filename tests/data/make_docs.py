"""Writes the document and archive samples into docs/: PDFs, ZIP-family archives, gzip files.

Run from this folder: python3 make_docs.py
Needs Ghostscript (ps2pdf), qpdf, zip and gzip on the PATH; the tests only read the results.
Times are fixed (TZ=UTC, set file times) so that archive entries carry known stamps; the PDFs
still carry the moment they were made in their dates and IDs.
"""

import os
import pathlib
import subprocess
import tempfile
import zipfile

OUT = pathlib.Path(__file__).resolve().parent / "docs"
ENV = dict(os.environ, TZ="UTC", SOURCE_DATE_EPOCH="1704067200")
STAMP = 1704110400  # 2024-01-01T12:00:00Z

REPORT_PS = b"""%!PS
[ /Title (Sample \\(draft\\) report) /Author (Ada Tester) /Subject (Metadata test)
  /Keywords (alpha, beta) /Creator (make_docs.py) /DOCINFO pdfmark
/Helvetica findfont 24 scalefont setfont
72 720 moveto (First page) show showpage
72 720 moveto (Second page) show showpage
72 720 moveto (Third page) show showpage
"""


def run(*args: str, cwd: pathlib.Path | None = None) -> None:
    subprocess.run(args, check=True, env=ENV, cwd=cwd)


def make_pdfs(tmp: pathlib.Path) -> None:
    ps = tmp / "report.ps"
    ps.write_bytes(REPORT_PS)
    report = OUT / "report.pdf"
    run("ps2pdf", "-dCompatibilityLevel=1.5", str(ps), str(report))
    run("qpdf", "--linearize", str(report), str(OUT / "report-linearized.pdf"))
    run(
        "qpdf", "--encrypt", "user", "owner", "256", "--", str(report),
        str(OUT / "report-encrypted.pdf"),
    )
    # Page objects packed into compressed object streams are invisible to a byte scan.
    run("qpdf", "--object-streams=generate", str(report), str(OUT / "report-objstm.pdf"))


def write_tree(root: pathlib.Path, files: dict[str, bytes]) -> None:
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        os.utime(path, (STAMP, STAMP))
    for d in sorted({p for p in root.rglob("*") if p.is_dir()}, reverse=True):
        os.utime(d, (STAMP, STAMP))


def make_cli_zips(tmp: pathlib.Path) -> None:
    tree = tmp / "tree"
    write_tree(
        tree,
        {
            "notes.txt": b"plain text that compresses well " * 40,
            "data/numbers.csv": b"".join(b"%d,%d\n" % (i, i * i) for i in range(200)),
            "data/random.bin": bytes((i * 7919) % 251 for i in range(600)),
        },
    )
    run("zip", "-q", "-r", "-X", str(OUT / "plain.zip"), "notes.txt", "data", cwd=tree)
    run("zip", "-q", "-0", "-r", "-X", str(OUT / "stored.zip"), "notes.txt", "data", cwd=tree)
    # An archive comment that itself holds an end-record signature.
    comment = tmp / "comment.txt"
    comment.write_bytes(b"made for tests PK\x05\x06 inside the comment")
    run("zip", "-q", "-X", str(OUT / "commented.zip"), "notes.txt", cwd=tree)
    data = (OUT / "commented.zip").read_bytes()
    end = data.rindex(b"PK\x05\x06")
    body = comment.read_bytes()
    data = data[: end + 20] + len(body).to_bytes(2, "little") + body
    (OUT / "commented.zip").write_bytes(data)


LAYOUTS = {
    "document.docx": [
        "[Content_Types].xml", "_rels/.rels", "word/document.xml", "word/styles.xml",
        "docProps/core.xml",
    ],
    "book.xlsx": [
        "[Content_Types].xml", "_rels/.rels", "xl/workbook.xml", "xl/worksheets/sheet1.xml",
        "docProps/app.xml",
    ],
    "slides.pptx": [
        "[Content_Types].xml", "_rels/.rels", "ppt/presentation.xml", "ppt/slides/slide1.xml",
    ],
    "library.jar": ["META-INF/MANIFEST.MF", "com/example/Main.class"],
    # Signed only with the newer scheme, so without META-INF/MANIFEST.MF (which would win).
    "app.apk": ["AndroidManifest.xml", "classes.dex", "res/layout/main.xml", "resources.arsc"],
    "book.epub": ["mimetype", "META-INF/container.xml", "OEBPS/content.opf", "OEBPS/ch1.xhtml"],
}


def make_python_zips() -> None:
    for file_name, names in LAYOUTS.items():
        with zipfile.ZipFile(OUT / file_name, "w") as z:
            for i, name in enumerate(names):
                info = zipfile.ZipInfo(name, date_time=(2023, 6, 15, 9, 30, 12 + 2 * i))
                # EPUB wants its "mimetype" first and stored.
                stored = name == "mimetype"
                info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
                body = b"application/epub+zip" if stored else (f"<{name}/>\n" * 20).encode()
                z.writestr(info, body)
    # Methods beyond deflate: lzma (14) has a label, bzip2 (12) does not.
    with zipfile.ZipFile(OUT / "methods.zip", "w") as z:
        for name, method in [("a.lzma.txt", zipfile.ZIP_LZMA), ("b.bz2.txt", zipfile.ZIP_BZIP2)]:
            info = zipfile.ZipInfo(name, date_time=(2020, 2, 29, 23, 59, 58))
            info.compress_type = method
            z.writestr(info, b"abcabcabc" * 50)


def make_gzips(tmp: pathlib.Path) -> None:
    src = tmp / "notes.txt"
    src.write_bytes(b"gzip sample text\n" * 30)
    os.utime(src, (STAMP, STAMP))
    with open(OUT / "notes.txt.gz", "wb") as out:
        subprocess.run(["gzip", "-N", "-9", "-c", str(src)], check=True, stdout=out, env=ENV)
    with open(OUT / "anonymous.gz", "wb") as out:
        subprocess.run(["gzip", "-n", "-c", str(src)], check=True, stdout=out, env=ENV)


def main() -> None:
    OUT.mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory() as t:
        tmp = pathlib.Path(t)
        make_pdfs(tmp)
        make_cli_zips(tmp)
        make_python_zips()
        make_gzips(tmp)


if __name__ == "__main__":
    main()
