"""What the build says to someone who lacks a library."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_missing_libraries_are_named_in_one_line(tmp_path):
    tools = os.path.dirname(sys.executable)
    cmake, ninja = shutil.which("cmake", path=tools), shutil.which("ninja", path=tools)
    if not (cmake and ninja):
        pytest.skip("cmake and ninja are installed beside the interpreter by scripts/setup.sh")
    # No .pc file can be found, and OpenSSL's search is switched off: every library is missing.
    env = {**os.environ, "PKG_CONFIG_LIBDIR": str(tmp_path / "none")}
    result = subprocess.run(
        [cmake, "-S", ROOT, "-B", tmp_path / "build", "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
         "-DVORANDIX_BUILD_MODULE=OFF", "-DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON"],
        env=env, capture_output=True, text=True,
    )
    said = [line.strip() for line in result.stderr.splitlines() if "vorandix" in line]
    assert result.returncode != 0
    assert said == ["vorandix: missing libraries; install them with: "
                    "apt-get install libssl-dev libdeflate-dev libexiv2-dev"], result.stderr
    assert "Call Stack" not in result.stderr
