"""What a user writes: mypy --strict must accept all of it."""

import pathlib

import _vorandix
import vorandix
from vorandix.report import ExifSection, Report


def describe(path: pathlib.Path) -> str:
    info: Report = vorandix.parse(path)
    lines = [f"{info['file']['size_bytes']} bytes, sha256 {info['file']['sha256']}"]
    if "png" in info:
        png = info["png"]
        lines.append(f"{png.get('width', 0)}x{png.get('height', 0)} px, {len(png['chunks'])} chunks")
        lines += [f"{k}: {v}" for k, v in png.get("text", {}).items()]
    if "exif" in info:
        exif: ExifSection = info["exif"]
        gps = exif.get("gps_decimal")
        if gps is not None and gps["latitude"] is not None:
            lines.append(f"latitude {gps['latitude'] + 0.0:.5f}")
        lines.append(exif.get("primary", {}).get("XResolution", "?"))
    elf = _vorandix.parse_bytes(b"\x7fELF")["elf"]
    lines.append(elf["class"] + " " + elf["machine"])
    for error in info.get("errors", []):
        lines.append(error["extractor"] + ": " + error["message"])
    for name, limit in info.get("zip", {}).get("truncated", {}).items():
        lines.append(f"{name} cut at {limit + 1 - 1}")
    for record in vorandix.scan([path.parent], jobs=2, hash=False):
        if "error" in record:
            lines.append(record["path"] + ": " + record["error"]["kind"])
        elif "file" in record:
            lines.append(record["path"] + " " + record["file"].get("sha256", "no digest"))
    with path.open("rb") as f:
        lines.append(str(vorandix.parse_file(f, name=path.name)["file"]["size_bytes"]))
    return "\n".join(lines) + vorandix.__version__


print(describe(pathlib.Path("photo.jpg")))
