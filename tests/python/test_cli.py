"""python -m vorandix: JSON per file, '-' for standard input, errors on stderr."""

import json
import subprocess
import sys


def run(*args, stdin=b""):
    return subprocess.run(
        [sys.executable, "-m", "vorandix", *map(str, args)], input=stdin, capture_output=True
    )


def test_one_file_prints_one_object(tmp_path):
    p = tmp_path / "a.gif"
    p.write_bytes(b"GIF89a" + bytes(10))
    out = run(p)
    assert out.returncode == 0 and out.stderr == b""
    result = json.loads(out.stdout)
    assert result["file"]["name"] == "a.gif"
    assert "path" not in result


def test_several_files_print_one_line_each_and_errors_go_to_stderr(tmp_path):
    a, b = tmp_path / "a.bin", tmp_path / "b.bin"
    a.write_bytes(b"A")
    b.write_bytes(b"BB")
    missing = tmp_path / "missing"
    out = run(a, missing, b)
    assert out.returncode == 1
    lines = out.stdout.decode().splitlines()
    assert [json.loads(line)["path"] for line in lines] == [str(a), str(b)]
    assert [json.loads(line)["file"]["size_bytes"] for line in lines] == [1, 2]
    err = out.stderr.decode().splitlines()
    assert len(err) == 1 and str(missing) in err[0] and "No such file" in err[0]


def test_dash_reads_standard_input():
    out = run("-", stdin=b"\x89PNG\r\n\x1a\n")
    assert out.returncode == 0
    file = json.loads(out.stdout)["file"]
    assert file["size_bytes"] == 8 and file["mime_detected"] == "image/png"
    assert "name" not in file
