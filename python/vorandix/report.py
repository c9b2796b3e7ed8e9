"""The shape of a result: one TypedDict per section, and ``Report`` for the whole dict.

``parse`` and ``parse_bytes`` (of ``vorandix`` and of ``_vorandix``) return a ``Report``. Its
keys are the sections that found something, plus ``errors`` when a reader failed. A key marked
"optional" below appears only when the input carries that fact; the README says when.

Every format section may carry ``truncated``: the dotted path of each field that a size limit
cut (``"segments"``, ``"entries"``, ``"text.Title"``, ``"info.title"``) mapped to the limit that
cut it (items for a list, bytes for a text).

Use the classes to annotate your own code::

    from vorandix.report import Report

    def megapixels(info: Report) -> float:
        png = info["png"]
        return png["width"] * png["height"] / 1e6

The keys of each section (this listing is made from the classes themselves):
"""

# No `from __future__ import annotations` here: TypedDict reads NotRequired from evaluated
# annotations, and the listing below is made from them at import time.
import types
import typing
from typing import NotRequired, Required, TypedDict

#: A size limit's cuts in one section: dotted field path -> the limit (items or bytes).
Truncated = dict[str, int]


class FileSection(TypedDict):
    """``file``: facts about the whole byte stream; name, extension and times for a path."""

    size_bytes: int
    sha256: NotRequired[str]  # left out with hash=False, as crc32 and entropy_bits_per_byte
    crc32: NotRequired[str]
    mime_detected: NotRequired[str]
    extension_canonical: NotRequired[str]
    entropy_bits_per_byte: NotRequired[float]
    name: NotRequired[str]
    extension_claimed: NotRequired[str]
    modified_unix: NotRequired[int]
    created_unix: NotRequired[int]


class JpegSegment(TypedDict):
    """One marker segment of ``jpeg.segments``."""

    marker: str
    name: str
    offset: int
    length: int
    payload: NotRequired[str]
    jfif_version: NotRequired[str]
    density: NotRequired[str]
    comment: NotRequired[str]


class JpegSection(TypedDict):
    """``jpeg``: marker segments up to the first scan, the frame header, a quality estimate."""

    segments: list[JpegSegment]
    width: NotRequired[int]
    height: NotRequired[int]
    bit_depth: NotRequired[int]
    components: NotRequired[int]
    progressive: NotRequired[bool]
    color_space_guess: NotRequired[str]
    quality_estimate: NotRequired[int]
    xmp_packet_chars: NotRequired[int]
    scan_data_offset: NotRequired[int]
    truncated: NotRequired[Truncated]


class PngChunk(TypedDict):
    """One chunk of ``png.chunks``."""

    type: str
    offset: int
    length: int


class PngSection(TypedDict):
    """``png``: the chunks, the IHDR header, tEXt entries, time, gamma and density."""

    chunks: list[PngChunk]
    width: NotRequired[int]
    height: NotRequired[int]
    bit_depth: NotRequired[int]
    color_type: NotRequired[str]
    interlaced: NotRequired[bool]
    text: NotRequired[dict[str, str]]
    last_modified: NotRequired[str]
    gamma: NotRequired[float]
    dpi: NotRequired[float]
    truncated: NotRequired[Truncated]


class GifSection(TypedDict):
    """``gif``: the logical screen, the colour table and the frame count."""

    version: str
    width: int
    height: int
    color_resolution_bits: int
    global_color_table: bool
    global_color_table_size: NotRequired[int]
    frames: int
    animated: bool
    loop_count: NotRequired[int]
    truncated: NotRequired[Truncated]


class BmpSection(TypedDict):
    """``bmp``: the file header and, for information headers, the image's size and format."""

    file_size_header: int
    dib_header_size: int
    width: NotRequired[int]
    height: NotRequired[int]
    top_down: NotRequired[bool]
    bit_depth: NotRequired[int]
    compression: NotRequired[str]
    truncated: NotRequired[Truncated]


class GpsDecimal(TypedDict):
    """``exif.gps_decimal``: signed degrees; None where a denominator is zero."""

    latitude: float | None
    longitude: float | None


class ExifSection(TypedDict, total=False):
    """``exif``: tag name -> exiv2's rendering, per image file directory; the GPS position."""

    primary: dict[str, str]
    thumbnail: dict[str, str]
    ifd2: dict[str, str]
    ifd3: dict[str, str]
    gps_decimal: GpsDecimal
    truncated: Truncated


class RiffSection(TypedDict):
    """``riff``: the form type; WAVE's audio format; WebP's format, size and flags."""

    form_type: str
    media_kind: NotRequired[str]
    audio_format_tag: NotRequired[int]
    channels: NotRequired[int]
    sample_rate: NotRequired[int]
    bits_per_sample: NotRequired[int]
    webp_format: NotRequired[str]
    width: NotRequired[int]
    height: NotRequired[int]
    has_alpha: NotRequired[bool]
    has_animation: NotRequired[bool]
    has_exif: NotRequired[bool]
    truncated: NotRequired[Truncated]


class Mp4Box(TypedDict):
    """One box of ``mp4.top_level_boxes``."""

    type: str
    size: int


class Mp4Section(TypedDict):
    """``mp4``: the top-level boxes, the brands and the movie duration."""

    top_level_boxes: list[Mp4Box]
    major_brand: NotRequired[str]
    minor_version: NotRequired[int]
    compatible_brands: NotRequired[list[str]]
    timescale: NotRequired[int]
    duration_units: NotRequired[int]
    duration_seconds: NotRequired[float]
    truncated: NotRequired[Truncated]


class Id3Frames(TypedDict, total=False):
    """``id3.frames``: the recognised text frames."""

    title: str
    artist: str
    album: str
    year: str
    genre: str
    track: str
    album_artist: str
    composer: str


class Id3Section(TypedDict):
    """``id3``: the ID3v2 tag header and its common text frames."""

    version: str
    unsynchronisation: bool
    extended_header: bool
    tag_size: int
    frames: NotRequired[Id3Frames]
    truncated: NotRequired[Truncated]


# "class" is a keyword, so this one is spelt the functional way.
ElfSection = TypedDict(
    "ElfSection",
    {
        "class": str,
        "endianness": str,
        "abi": str,
        "type": str,
        "machine": str,
        "truncated": NotRequired[Truncated],
    },
)
ElfSection.__doc__ = "``elf``: labels from the identification bytes of the ELF header."


class PdfInfo(TypedDict, total=False):
    """``pdf.info``: the document information strings, as written."""

    title: str
    author: str
    subject: str
    creator: str
    producer: str
    keywords: str
    creation_date: str
    modification_date: str


class PdfSection(TypedDict):
    """``pdf``: the version, object and page counts, flags and information strings."""

    version: NotRequired[str]
    object_count: int
    page_count: int
    linearized: bool
    encrypted: bool
    info: NotRequired[PdfInfo]
    truncated: NotRequired[Truncated]


class ZipEntry(TypedDict):
    """One central-directory entry of ``zip.entries``."""

    name: str
    method: str
    compressed: int
    uncompressed: int
    modified: str


class ZipSection(TypedDict):
    """``zip``: the central directory's entries, the container kind and the overall ratio."""

    entry_count: int
    container_kind: str
    entries: list[ZipEntry]
    compression_ratio: NotRequired[float]
    truncated: NotRequired[Truncated]


class GzipSection(TypedDict):
    """``gzip``: the first member's header."""

    compression_method: str
    os: str
    modification_time_unix: NotRequired[int]
    original_filename: NotRequired[str]
    truncated: NotRequired[Truncated]


class ErrorRecord(TypedDict):
    """One failed reader in ``errors``."""

    extractor: str
    message: str


class Report(TypedDict, total=False):
    """The dict returned by ``parse`` and ``parse_bytes``: one key per section found.

    ``file`` is there for every input except one whose read failed part-way (then ``errors``
    says so).
    """

    file: FileSection
    jpeg: JpegSection
    png: PngSection
    gif: GifSection
    bmp: BmpSection
    riff: RiffSection
    exif: ExifSection
    id3: Id3Section
    mp4: Mp4Section
    elf: ElfSection
    pdf: PdfSection
    gzip: GzipSection
    zip: ZipSection
    errors: list[ErrorRecord]


class RecordError(TypedDict):
    """``error`` of a record for a file that could not be described."""

    kind: str  # one of vorandix.ERROR_KINDS
    message: str


class Record(Report, total=False):
    """One record of ``vorandix.scan``: the file's path and its report, or the path and an
    ``error`` when the file could not be described."""

    path: Required[str]
    error: RecordError


def _type_text(tp: object) -> str:
    if tp is type(None):
        return "None"
    origin = typing.get_origin(tp)
    args = typing.get_args(tp)
    if origin is NotRequired:
        return _type_text(args[0])
    if origin is types.UnionType or origin is typing.Union:
        return " | ".join(_type_text(a) for a in args)
    if origin is not None:
        return f"{getattr(origin, '__name__', origin)}[{', '.join(_type_text(a) for a in args)}]"
    return str(getattr(tp, "__name__", tp))


def _listing() -> str:
    lines = []
    for value in list(globals().values()):
        if typing.is_typeddict(value):
            summary = (value.__doc__ or "").strip().splitlines()[0]
            lines.append(f"\n{value.__name__}: {summary}")
            for key in sorted(value.__annotations__):
                optional = "  (optional)" if key in value.__optional_keys__ else ""
                lines.append(f"    {key}: {_type_text(value.__annotations__[key])}{optional}")
    return "\n".join(lines)


__doc__ = (__doc__ or "") + _listing()
