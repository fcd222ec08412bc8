#!/usr/bin/python3
"""Independent reader of the 16-bit logo bitmaps: prints the header fields,
then the 5-bit red, green and blue of each pixel asked for (x,y from the top
left). Fails loudly on anything but an uncompressed 16-bit BMP whose length
matches its rows padded to 4 bytes."""
import struct
import sys

data = open(sys.argv[1], 'rb').read()
magic, file_size, _, offset = struct.unpack_from('<2sIII', data, 0)
info_size, width, height, planes, bpp, compression = struct.unpack_from('<IiiHHI', data, 14)
assert magic == b'BM', magic
assert info_size == 40 and planes == 1 and bpp == 16 and compression == 0, (info_size, planes, bpp, compression)
assert height > 0, 'rows must be stored bottom-up'
stride = (width * 2 + 3) // 4 * 4
assert file_size == len(data) == offset + stride * height, (file_size, len(data), offset, stride, height)
assert data[34:54] == bytes(20)
print(width, height, bpp, compression, file_size, offset)
for point in sys.argv[2:]:
    x, y = (int(v) for v in point.split(','))
    row = height - 1 - y
    (v,) = struct.unpack_from('<H', data, offset + row * stride + 2 * x)
    print((v >> 10) & 31, (v >> 5) & 31, v & 31)
