"""Makes a repaired wheel's licence true: the texts of the libraries it carries, and its metadata.

    python scripts/wheel_licenses.py WHEEL OUTDIR

WHEEL is a wheel that ``auditwheel repair`` wrote: the libraries it copied sit in
``vorandix.libs/`` under names like ``libexiv2-1a685b4d.so.0.27.6``. For each of them this finds
the system package that installed the original (dpkg on Debian, rpm in the manylinux images), puts
that package's licence texts into the wheel under ``*.dist-info/licenses/bundled/``, lists them
as License-File, and replaces the source's ``License-Expression: MIT`` with the licence of the
wheel as a whole. The result goes to OUTDIR under the same file name.

A library that is not in LICENCES stops the script: what a wheel ships must be checked first.
"""

from __future__ import annotations

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path
from typing import NoReturn

# SPDX identifier of each library a wheel may carry, matched on the original file name.
# OpenSSL 1.1 (libcrypto.so.1.1) is left out on purpose: its licence is not GPL-compatible.
LICENCES = [
    (re.compile(r"libexiv2\.so\.0\.27\.\d+"), "GPL-2.0-or-later"),
    (re.compile(r"libcrypto\.so\.3(\.\d+)*"), "Apache-2.0"),
    (re.compile(r"libdeflate\.so\.0(\.\d+)*"), "MIT"),
]
OWN_LICENCE = "MIT"
# auditwheel appends the first 8 hex digits of the library's hash to its stem.
BUNDLED_NAME = re.compile(r"^(?P<stem>.+)-[0-9a-f]{8}(?P<suffix>\.so(\.\d+)*)$")
COMMON_LICENCE = re.compile(r"/usr/share/common-licenses/([A-Za-z0-9.+-]+)")


def fail(message: str) -> NoReturn:
    sys.exit(f"wheel_licenses: {message}")


def original_path(bundled: str) -> Path:
    """The system library that auditwheel copied to `bundled`, found through the loader's cache."""
    match = BUNDLED_NAME.match(bundled)
    if not match:
        fail(f"{bundled}: not a name auditwheel gives a copied library")
    name = match["stem"] + match["suffix"]
    ldconfig = shutil.which("ldconfig") or "/sbin/ldconfig"
    cache = subprocess.run([ldconfig, "-p"], capture_output=True, text=True, check=True).stdout
    for line in cache.splitlines():
        _, arrow, target = line.partition(" => ")
        if arrow and Path(os.path.realpath(target.strip())).name == name:
            return Path(os.path.realpath(target.strip()))
    fail(f"{name}: not in the loader's cache (ldconfig -p)")


def spdx_of(path: Path) -> str:
    for pattern, spdx in LICENCES:
        if pattern.fullmatch(path.name):
            return spdx
    fail(f"{path.name} is bundled but its licence is not known: check it, then add it to LICENCES")


def licence_texts(path: Path) -> tuple[str, dict[str, bytes]]:
    """The package that owns `path`, and its licence texts keyed by their name in the wheel."""
    if shutil.which("dpkg-query"):
        out = subprocess.run(["dpkg-query", "-S", str(path)], capture_output=True, text=True)
        package = out.stdout.split(":", 1)[0].strip()
        copyright = Path("/usr/share/doc") / package / "copyright"
        if out.returncode != 0 or not copyright.is_file():
            fail(f"{path}: no Debian package with a copyright file owns it")
        text = copyright.read_bytes()
        texts = {f"{package}/copyright": text}
        # Debian's copyright files name the long licences (GPL-2, Apache-2.0) by their path only.
        for name in sorted(set(COMMON_LICENCE.findall(text.decode("utf-8", "replace")))):
            texts[f"common-licenses/{name}"] = Path("/usr/share/common-licenses", name).read_bytes()
        return package, texts
    package = subprocess.run(["rpm", "-qf", "--qf", "%{NAME}", str(path)], capture_output=True,
                             text=True, check=True).stdout.strip()
    files = subprocess.run(["rpm", "-qL", package], capture_output=True, text=True,
                           check=True).stdout.split()
    if not files:
        fail(f"{path}: package {package} lists no licence file")
    return package, {f"{package}/{Path(f).name}": Path(f).read_bytes() for f in files}


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(wheel: Path, outdir: Path) -> None:
    with zipfile.ZipFile(wheel) as zin:
        infos = [info for info in zin.infolist() if not info.is_dir()]
        entries = {info.filename: zin.read(info) for info in infos}
    dist_info = next(n.split("/")[0] for n in entries if n.endswith(".dist-info/METADATA"))
    bundled = sorted(Path(n).name for n in entries if re.fullmatch(r"[^/]+\.libs/[^/]+", n))

    spdx = [OWN_LICENCE]
    texts: dict[str, bytes] = {}
    for name in bundled:
        path = original_path(name)
        spdx.append(spdx_of(path))
        package, found = licence_texts(path)
        texts.update(found)
        print(f"wheel_licenses: {name} <- {path} ({package}, {spdx[-1]})")
    # The copyleft licence that governs the combination first, then the others it carries.
    expression = " AND ".join(sorted(set(spdx), key=lambda s: (not s.startswith("GPL"), s)))

    metadata = entries[f"{dist_info}/METADATA"].decode()
    head, _, body = metadata.partition("\n\n")
    fields = [line for line in head.split("\n") if not line.startswith("License-Expression:")]
    at = next(i for i, line in enumerate(fields) if line.startswith("Version:")) + 1
    fields.insert(at, f"License-Expression: {expression}")
    fields += [f"License-File: bundled/{name}" for name in texts]
    entries[f"{dist_info}/METADATA"] = ("\n".join(fields) + "\n\n" + body).encode()

    record = f"{dist_info}/RECORD"
    added = [zipfile.ZipInfo(f"{dist_info}/licenses/bundled/{name}", (2020, 1, 1, 0, 0, 0))
             for name in texts]
    for info, data in zip(added, texts.values()):
        info.external_attr = 0o644 << 16
        entries[info.filename] = data
    # RECORD lists every other file with its digest, and comes last.
    infos = [i for i in infos if i.filename != record] + added + [zipfile.ZipInfo(record)]
    lines = [record_line(i.filename, entries[i.filename]) for i in infos[:-1]] + [f"{record},,"]
    entries[record] = ("\n".join(lines) + "\n").encode()
    infos[-1].date_time = infos[0].date_time
    infos[-1].external_attr = 0o644 << 16
    outdir.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(outdir / wheel.name, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in infos:
            info.compress_type = zipfile.ZIP_DEFLATED
            zout.writestr(info, entries[info.filename])
    print(f"wheel_licenses: {outdir / wheel.name}: License-Expression: {expression}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(Path(sys.argv[1]), Path(sys.argv[2]))
