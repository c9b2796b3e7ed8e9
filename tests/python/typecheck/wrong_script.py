"""Mistakes mypy --strict must catch; each line marked `# error: CODE` must be reported."""

import _vorandix
import vorandix

info = vorandix.parse("photo.png")
label = info["png"]["width"] + "px"  # error: operator
_vorandix.parse_bytes("text")  # error: arg-type
info["pgn"]  # error: typeddict-item
latitude = info["exif"]["gps_decimal"]["latitude"] + 1.0  # error: operator
count: str = info["zip"]["entry_count"]  # error: assignment
vorandix.parse(b"photo.png")  # error: arg-type
for record in vorandix.scan("photos", hash=False):
    print(record["error"]["code"])  # error: typeddict-item
