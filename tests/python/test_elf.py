"""The "elf" section: class, byte order, ABI, type and machine from the first 20 bytes."""

import json
import struct

import pytest
from conftest import DATA, parse_sample

from _vorandix import parse_bytes


def ident(cls=2, data=1, abi=0, etype=2, machine=62, order=None) -> bytes:
    order = order or ("<" if data == 1 else ">")
    return (b"\x7fELF" + bytes([cls, data, 1, abi]) + bytes(8)
            + struct.pack(order + "HH", etype, machine))


def elf(data: bytes) -> dict:
    return parse_bytes(data)["elf"]


LINUX_X86_64 = {"class": "64-bit", "endianness": "little", "abi": "System V",
                "type": "executable", "machine": "x86-64"}


@pytest.mark.parametrize(
    "header, changed",
    [
        (ident(), {}),
        (ident(etype=4), {"type": "core dump"}),
        (ident(etype=0), {"type": "other"}),
        (ident(etype=0xFE00), {"type": "other"}),
        (ident(cls=1, machine=3), {"class": "32-bit", "machine": "x86"}),
        (ident(cls=0), {"class": "32-bit"}),
        (ident(cls=3), {"class": "32-bit"}),
        (ident(abi=97), {"abi": "other"}),
        (ident(machine=8), {"machine": "other"}),
        # Big-endian fields: bytes 00 28 are ARM only when EI_DATA says big-endian.
        (ident(data=2, machine=40, cls=1), {"endianness": "big", "machine": "ARM",
                                            "class": "32-bit"}),
        (ident(data=1, machine=40, order=">"), {"machine": "other", "type": "other"}),
        (ident(data=2, etype=2, machine=183), {"endianness": "big", "machine": "AArch64"}),
        # Any EI_DATA but 1 is big-endian, for the label and the decoding alike.
        (ident(data=0, etype=3, machine=62), {"endianness": "big", "type": "shared object"}),
        (ident(data=7, etype=3, machine=62, order="<"),
         {"endianness": "big", "type": "other", "machine": "other"}),
    ],
)
def test_identification(header, changed):
    assert elf(header) == {**LINUX_X86_64, **changed}
    # Nothing after byte 20 is read.
    assert elf(header + b"\xff" * 100) == elf(header)


@pytest.mark.parametrize("length", [4, 5, 16, 19])
def test_short_input_is_an_io_error(length):
    result = parse_bytes(ident()[:length])
    assert "elf" not in result
    assert result["errors"] == [
        {"extractor": "elf", "message": "I/O error: failed to fill whole buffer"}
    ]


SAMPLES = json.loads((DATA / "media" / "expected.json").read_text())


@pytest.mark.parametrize("name", [n for n, s in SAMPLES.items() if "elf" in s])
def test_samples(name):
    path = DATA / "media" / name
    assert parse_sample(path)["elf"] == SAMPLES[name]["elf"]
