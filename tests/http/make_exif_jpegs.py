#!/usr/bin/env python3
"""Builds the JPEG pictures with EXIF segments used by the JPEG tests.

Pictures and thumbnail are ffmpeg's own baseline JPEGs; the script only puts
an EXIF APP1 segment (big-endian TIFF, as cameras write it) behind their
start-of-image marker:

  ffmpeg -f lavfi -i testsrc=size=64x48 -frames:v 1 -q:v 20 main.jpg
  ffmpeg -f lavfi -i testsrc=size=16x12 -frames:v 1 -q:v 20 thumb.jpg
  make_exif_jpegs.py main.jpg thumb.jpg data/exif_thumbnail.jpg data/exif_ffc0.jpg

exif_thumbnail.jpg: IFD1 carries the 16x12 thumbnail, a whole JPEG with its
own SOI, start of frame and EOI, inside the APP1 segment.
exif_ffc0.jpg: no thumbnail, but the XResolution rational of IFD0 holds the
bytes FF C0 00 11 08 01 E0 02 80, which read as a baseline start of frame
would say 640x480.
"""
import struct
import sys


def ifd(entries, data_at, next_ifd):
    """entries: (tag, type, count, value bytes); values over 4 bytes go to
    data_at onwards. Returns (ifd bytes, data bytes)."""
    out = struct.pack('>H', len(entries))
    data = b''
    for tag, kind, count, value in entries:
        if len(value) <= 4:
            field = value.ljust(4, b'\0')
        else:
            field = struct.pack('>I', data_at + len(data))
            data += value
        out += struct.pack('>HHI', tag, kind, count) + field
    return out + struct.pack('>I', next_ifd), data


def app1(tiff):
    body = b'Exif\0\0' + tiff
    return b'\xff\xe1' + struct.pack('>H', len(body) + 2) + body


def with_thumbnail(thumb):
    # TIFF header, IFD0 (Orientation) at 8, IFD1 right behind it.
    ifd0_at = 8
    ifd0_size = 2 + 12 + 4
    ifd1_at = ifd0_at + ifd0_size
    ifd1_size = 2 + 3 * 12 + 4
    thumb_at = ifd1_at + ifd1_size
    ifd0, _ = ifd([(0x0112, 3, 1, struct.pack('>H', 1))], 0, ifd1_at)
    ifd1, _ = ifd([(0x0103, 3, 1, struct.pack('>H', 6)),
                   (0x0201, 4, 1, struct.pack('>I', thumb_at)),
                   (0x0202, 4, 1, struct.pack('>I', len(thumb)))], 0, 0)
    return app1(b'MM\0\x2a' + struct.pack('>I', ifd0_at) + ifd0 + ifd1 + thumb)


def with_ffc0():
    ifd0_at = 8
    data_at = ifd0_at + 2 + 2 * 12 + 4
    rational = bytes.fromhex('ffc00011 0801e002')
    ifd0, data = ifd([(0x0112, 3, 1, struct.pack('>H', 1)),
                      (0x011a, 5, 1, rational)], data_at, 0)
    # ResolutionUnit-style padding keeps the 0x80 of the false width behind it.
    return app1(b'MM\0\x2a' + struct.pack('>I', ifd0_at) + ifd0 + data + b'\x80\0')


def splice(jpeg, segment):
    assert jpeg[:2] == b'\xff\xd8'
    return jpeg[:2] + segment + jpeg[2:]


def main():
    main_jpeg = open(sys.argv[1], 'rb').read()
    thumb = open(sys.argv[2], 'rb').read()
    open(sys.argv[3], 'wb').write(splice(main_jpeg, with_thumbnail(thumb)))
    open(sys.argv[4], 'wb').write(splice(main_jpeg, with_ffc0()))


if __name__ == '__main__':
    main()
