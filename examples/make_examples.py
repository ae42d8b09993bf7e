#!/usr/bin/env python3
"""Writes the example input maps in the form a person's editor saves them.

Each examples/src/NAME.map is readable UTF-8 with LF line ends, which mapbake
converts as it stands; the result examples/NAME.txt is its UTF-16 twin, the
token-file form that the UTF-16 reader's tests and the README's demo use:
UTF-16LE with CR LF line ends, starting with the UTF-16 file header
(byte-order mark, "TORVI", "A" and ten "@") and the stream header line
"VUXA0i0t______" (format version 0, file type i for input maps, file version
0, t for the text encoding). Both forms bake to the same run-time map.

Run it again after editing a .map file: python3 examples/make_examples.py
"""
from pathlib import Path

FILE_HEADER = "TORVIA" + "@" * 10
STREAM_HEADER = "VUXA0i0t______\r\n"


def to_source_form(text: str) -> bytes:
    body = text.replace("\r\n", "\n").replace("\n", "\r\n")
    return b"\xff\xfe" + (FILE_HEADER + STREAM_HEADER + body).encode("utf-16-le")


def main() -> None:
    here = Path(__file__).resolve().parent
    for source in sorted((here / "src").glob("*.map")):
        target = here / (source.stem + ".txt")
        target.write_bytes(to_source_form(source.read_text(encoding="utf-8")))
        print(f"{source.relative_to(here.parent)} -> {target.relative_to(here.parent)}")


if __name__ == "__main__":
    main()
