"""Checks an installed vorandix from the outside, as a user gets it.

    python -I scripts/check_install.py [--bundled]

It parses a sample, whose EXIF section needs exiv2, SHA-256 libcrypto and CRC-32 libdeflate,
and finds the typing markers among the installed files. With --bundled (a repaired wheel) it
also requires the module to resolve each of those libraries inside the installation, and the wheel's
licence to name exiv2's.
"""

import hashlib
import importlib.metadata
import pathlib
import subprocess
import sys
import zlib

import _vorandix
import vorandix

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "exif" / "camera.jpg"
LIBRARIES = ("libexiv2", "libcrypto", "libdeflate")


def expect(condition: bool, message: str) -> None:
    if not condition:
        sys.exit(f"check_install: {message}")


def main(bundled: bool) -> None:
    data = SAMPLE.read_bytes()
    info = vorandix.parse(SAMPLE)
    expect(info.get("exif", {}).get("primary", {}).get("Make") == "Acme", f"no EXIF: {info}")
    expect(info["file"]["sha256"] == hashlib.sha256(data).hexdigest(), "wrong SHA-256")
    expect(info["file"]["crc32"] == f"{zlib.crc32(data):08x}", "wrong CRC-32")

    files = {str(f) for f in importlib.metadata.files("vorandix") or []}
    for marker in ("vorandix/py.typed", "_vorandix-stubs/__init__.pyi", "vorandix/report.py"):
        expect(marker in files, f"{marker} is not installed")
    if not bundled:
        return

    # What the dynamic linker resolves for the module itself: the interpreter may load the
    # system's libcrypto for hashlib beside it.
    module = pathlib.Path(_vorandix.__file__).resolve()
    libs = module.parent / "vorandix.libs"
    ldd = subprocess.run(["ldd", str(module)], capture_output=True, text=True, check=True).stdout
    resolved = dict(line.split()[0:3:2] for line in ldd.splitlines() if " => " in line)
    for library in LIBRARIES:
        paths = [path for name, path in resolved.items() if name.startswith(library)]
        expect(len(paths) == 1, f"the module does not link {library} once: {ldd}")
        expect(pathlib.Path(paths[0]).parent == libs, f"{library} resolves outside the wheel: {ldd}")
    licence = importlib.metadata.metadata("vorandix")["License-Expression"]
    expect("GPL-2.0-or-later" in licence, f"the wheel's licence does not name exiv2's: {licence}")
    texts = [f for f in files if "/licenses/bundled/" in f]
    expect(len(texts) >= len(LIBRARIES), f"licence texts of the bundled libraries missing: {texts}")
    print(f"check_install: {', '.join(LIBRARIES)} resolved in {libs}; {licence}")


if __name__ == "__main__":
    main("--bundled" in sys.argv[1:])
