#!/usr/bin/env python3
"""bmp_to_png.py <picture> <out.png> [scale]

Turns a decrypted 24-bit BMP picture (trailing bytes past the pixel data are
ignored) into a PNG, each pixel enlarged to scale x scale. Python's standard
library only. Made docs/sample.png with:
  tools/bmp_to_png.py examples/sample.decrypted docs/sample.png 4
"""
import struct
import sys
import zlib


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def main(src, dst, scale=1):
    data = open(src, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    if struct.unpack_from("<H", data, 28)[0] != 24:
        sys.exit("only 24-bit pictures are supported")
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height):  # BMP rows run bottom up
        row = data[offset + (height - 1 - y) * stride:][: width * 3]
        rgb = b"".join(bytes((row[i + 2], row[i + 1], row[i])) * scale for i in range(0, width * 3, 3))
        rows += [b"\x00" + rgb] * scale
    header = struct.pack(">IIBBBBB", width * scale, height * scale, 8, 2, 0, 0, 0)
    with open(dst, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
                  + png_chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + png_chunk(b"IEND", b""))


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) == 4 else 1)
