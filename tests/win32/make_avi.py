#!/usr/bin/env python3
"""Writes an uncompressed 24-bit AVI 1.0 file (bottom-up rows, with idx1)
from top-down BGR24 frames, as the Windows platform's AVIFile reads them:
    make_avi.py RAW WIDTH HEIGHT RATE SCALE OUT.avi
RAW holds the frames one after another (for example from
ffmpeg -f rawvideo -pix_fmt bgr24). Rows are padded to 4 bytes, as in any DIB."""
import struct
import sys


def chunk(fourcc, body):
    pad = b"\0" if len(body) & 1 else b""
    return fourcc + struct.pack("<I", len(body)) + body + pad


def main():
    raw_path, width, height, rate, scale, out_path = sys.argv[1:7]
    width, height, rate, scale = int(width), int(height), int(rate), int(scale)
    row = width * 3
    stride = (row + 3) & ~3
    packed = row * height
    size = stride * height
    raw = open(raw_path, "rb").read()
    frames = [raw[i:i + packed] for i in range(0, len(raw) - packed + 1, packed)]
    n = len(frames)
    if n == 0:
        sys.exit("make_avi: no frames")

    avih = struct.pack("<14I", int(1000000 * scale / rate), size * rate // scale, 0, 0x10, n, 0, 1, size,
                       width, height, 0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"\0\0\0\0", 0, 0, 0, 0, scale, rate, 0, n, size,
                       0xFFFFFFFF, 0, 0, 0, width, height)
    strf = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, size, 0, 0, 0, 0)
    hdrl = b"hdrl" + chunk(b"avih", avih) + chunk(b"LIST", b"strl" + chunk(b"strh", strh) + chunk(b"strf", strf))

    movi = bytearray(b"movi")
    index = bytearray()
    for frame in frames:
        bottom_up = b"".join(frame[(height - 1 - y) * row:(height - y) * row] + b"\0" * (stride - row)
                             for y in range(height))
        offset = len(movi)  # from the "movi" tag, as idx1 counts
        movi += chunk(b"00db", bottom_up)
        index += struct.pack("<4sIII", b"00db", 0x10, offset, size)

    body = b"AVI " + chunk(b"LIST", hdrl) + chunk(b"LIST", bytes(movi)) + chunk(b"idx1", bytes(index))
    with open(out_path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


if __name__ == "__main__":
    main()
