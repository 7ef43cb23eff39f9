#!/usr/bin/env python3
"""Writes the fuzz harnesses' seed corpora: small valid inputs that cover
the layouts the readers know (Level 5 in both byte orders, compressed or
not, small elements, narrow storage, every array class; v4 records; ENVI
headers). Standard library only. Run from anywhere:
    tests/fuzz/make_seeds.py
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
MAT = os.path.join(HERE, "corpus", "matfile")
ENVI = os.path.join(HERE, "corpus", "envi_header")

MI_INT8, MI_UINT8, MI_INT16, MI_UINT16, MI_INT32, MI_UINT32 = 1, 2, 3, 4, 5, 6
MI_SINGLE, MI_DOUBLE, MI_INT64, MI_UINT64, MI_MATRIX, MI_COMPRESSED, MI_UTF8 = 7, 9, 12, 13, 14, 15, 16
FMT = {MI_INT8: "b", MI_UINT8: "B", MI_INT16: "h", MI_UINT16: "H", MI_INT32: "i", MI_UINT32: "I",
       MI_SINGLE: "f", MI_DOUBLE: "d", MI_INT64: "q", MI_UINT64: "Q"}


class Writer:
    def __init__(self, big=False):
        self.e = ">" if big else "<"
        self.big = big

    def header(self):
        text = b"MATLAB 5.0 MAT-file, Platform: seeds, Created by: lumora make_seeds.py".ljust(116, b" ")
        return text + b"\0" * 8 + struct.pack(self.e + "H", 0x0100) + (b"MI" if self.big else b"IM")

    def element(self, t, payload, small=False):
        if small and len(payload) <= 4:
            return struct.pack(self.e + "I", (len(payload) << 16) | t) + payload.ljust(4, b"\0")
        return struct.pack(self.e + "II", t, len(payload)) + payload + b"\0" * ((8 - len(payload) % 8) % 8)

    def values(self, t, vals):
        return struct.pack(self.e + FMT[t] * len(vals), *vals)

    def matrix(self, name, cls, dims, parts=(), flags=0, small=False):
        body = self.element(MI_UINT32, struct.pack(self.e + "II", cls | flags, 0))
        body += self.element(MI_INT32, self.values(MI_INT32, dims))
        body += self.element(MI_INT8, name.encode(), small)
        for t, payload in parts:
            body += self.element(t, payload, small)
        return struct.pack(self.e + "II", MI_MATRIX, len(body)) + body

    def numeric(self, name, cls, dims, t, vals, **kw):
        return self.matrix(name, cls, dims, [(t, self.values(t, vals))], **kw)

    def compressed(self, matrix):
        stream = zlib.compress(matrix)
        return struct.pack(self.e + "II", MI_COMPRESSED, len(stream)) + stream


def count(dims):
    n = 1
    for d in dims:
        n *= d
    return n


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    assert len(data) < 10 * 1024, name
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def mat_seeds():
    le, be = Writer(), Writer(big=True)
    write(MAT, "le_compressed_double.mat",
          le.header() + le.compressed(le.numeric("x", 6, [3, 4], MI_DOUBLE, [i * 0.5 for i in range(12)])))
    write(MAT, "le_uncompressed_uint8.mat",
          le.header() + le.numeric("gt", 9, [4, 4], MI_UINT8, [i % 5 for i in range(16)]))
    write(MAT, "be_compressed_single.mat",
          be.header() + be.compressed(be.numeric("cube", 7, [2, 3, 2], MI_SINGLE, [float(i) for i in range(12)])))
    write(MAT, "be_uncompressed_int16.mat",
          be.header() + be.numeric("lab", 10, [2, 2], MI_INT16, [0, 1, 2, 3]))
    # MATLAB stores whole-valued doubles in a narrower type.
    write(MAT, "double_stored_as_uint8.mat",
          le.header() + le.compressed(le.numeric("gt", 6, [3, 3], MI_UINT8, [0, 1, 2, 0, 1, 2, 3, 3, 3])))
    write(MAT, "logical.mat", le.header() + le.numeric("mask", 9, [2, 3], MI_UINT8, [1, 0, 1, 1, 0, 0], flags=0x0200))
    write(MAT, "wide_integers.mat",
          le.header() + le.compressed(le.numeric("a", 14, [2, 2, 2], MI_INT64, [-(2 ** 40), 1, 2, 3, 4, 5, 6, 7]))
          + le.numeric("b", 15, [1, 3], MI_UINT64, [0, 2 ** 63, 2 ** 64 - 1])
          + le.numeric("c", 13, [1, 2], MI_UINT32, [7, 2 ** 32 - 1]))
    write(MAT, "small_elements.mat",
          le.header() + le.numeric("v", 9, [1, 1], MI_UINT8, [7], small=True)
          + le.compressed(le.numeric("w", 7, [1, 1], MI_SINGLE, [2.5], small=True)))
    write(MAT, "empty_and_complex.mat",
          le.header() + struct.pack("<II", MI_MATRIX, 0)
          + le.numeric("e", 6, [0, 3], MI_DOUBLE, [])
          + le.matrix("z", 6, [1, 2], [(MI_DOUBLE, le.values(MI_DOUBLE, [1, 2])),
                                       (MI_DOUBLE, le.values(MI_DOUBLE, [3, 4]))], flags=0x0800))
    inner = le.numeric("", 6, [1, 1], MI_DOUBLE, [1.0])
    field_names = b"a".ljust(32, b"\0")
    mixed = (le.matrix("note", 4, [1, 5], [(MI_UINT16, le.values(MI_UINT16, [104, 101, 108, 108, 111]))])
             + le.compressed(cell_matrix(le, "box", inner))
             + le.compressed(struct_matrix(le, "meta", field_names, inner))
             + le.matrix("sp", 5, [2, 2], [(MI_INT32, le.values(MI_INT32, [0, 1])),
                                           (MI_INT32, le.values(MI_INT32, [0, 1, 2])),
                                           (MI_DOUBLE, le.values(MI_DOUBLE, [1.0, 1.0]))]))
    write(MAT, "every_class.mat", le.header() + mixed)
    # A compressed variable whose header is a stored deflate block and whose
    # data is a separate deflate run, as lumora's own writer makes them.
    m = le.numeric("cube", 7, [2, 2, 2], MI_SINGLE, [float(i) for i in range(8)])
    head, data = m[:-32], m[-32:]
    stored = zlib.compressobj(0, zlib.DEFLATED, -15)
    raw = stored.compress(head) + stored.flush(zlib.Z_FULL_FLUSH)
    rest = zlib.compressobj(6, zlib.DEFLATED, -15)
    raw += rest.compress(data) + rest.flush()
    stream = b"\x78\x9c" + raw + struct.pack(">I", zlib.adler32(m))
    write(MAT, "stored_then_deflated.mat", le.header() + struct.pack("<II", MI_COMPRESSED, len(stream)) + stream)
    write(MAT, "scene.mat",
          le.header() + le.compressed(le.numeric("cube", 7, [4, 4, 3], MI_SINGLE, [i / 7 for i in range(48)]))
          + le.compressed(le.numeric("gt", 9, [4, 4], MI_UINT8, [i % 3 for i in range(16)])))

    def v4(big, mopt, rows, cols, name, payload, imag=0):
        e = ">" if big else "<"
        return struct.pack(e + "5i", mopt, rows, cols, imag, len(name) + 1) + name.encode() + b"\0" + payload
    write(MAT, "v4.mat", v4(False, 0, 2, 2, "x", struct.pack("<4d", 1, 2, 3, 4))
          + v4(False, 51, 1, 3, "t", struct.pack("<3B", 97, 98, 99))
          + v4(False, 10, 1, 2, "s", struct.pack("<2f", 1.5, 2.5)))
    write(MAT, "v4_big_endian.mat", v4(True, 1000, 1, 2, "y", struct.pack(">2d", 5, 6))
          + v4(True, 1030, 2, 1, "u", struct.pack(">2H", 1, 65535)))


def cell_matrix(w, name, inner):
    body = w.element(MI_UINT32, struct.pack(w.e + "II", 1, 0)) + w.element(MI_INT32, w.values(MI_INT32, [1, 1]))
    body += w.element(MI_INT8, name.encode()) + inner
    return struct.pack(w.e + "II", MI_MATRIX, len(body)) + body


def struct_matrix(w, name, field_names, inner):
    body = w.element(MI_UINT32, struct.pack(w.e + "II", 2, 0)) + w.element(MI_INT32, w.values(MI_INT32, [1, 1]))
    body += w.element(MI_INT8, name.encode()) + w.element(MI_INT32, w.values(MI_INT32, [32]), small=True)
    body += w.element(MI_INT8, field_names) + inner
    return struct.pack(w.e + "II", MI_MATRIX, len(body)) + body


def envi_seeds():
    write(ENVI, "full.hdr", b"""ENVI
description = {
  Synthetic scene for the fuzz seeds,
  two lines long}
samples = 5
lines   = 4
bands   = 3
header offset = 0
file type = ENVI Standard
data type = 4
interleave = bsq
sensor type = Unknown
byte order = 0
reflectance scale factor = 10000
wavelength units = Nanometers
wavelength = {
 400.0, 404.5,
 409.25}
band names = {b1, b2, b3}
; a comment line
fwhm = {1, 1, 1}
""")
    write(ENVI, "minimal.hdr", b"ENVI\nsamples=1\nlines=1\nbands=1\ndata type=1\n")
    write(ENVI, "bom_crlf_bip.hdr", b"\xef\xbb\xbfENVI\r\nsamples = 7\r\nlines = 2\r\nbands = 4\r\n"
          b"data type = 12\r\ninterleave = BIP\r\nbyte order = 1\r\nheader offset = 128\r\n")
    write(ENVI, "bil_double.hdr", b"ENVI\nsamples = 3\nlines = 3\nbands = 2\ndata type = 5\ninterleave = bil\n"
          b"map info = {UTM, 1.0, 1.0, 500000.0, 4000000.0, 30.0, 30.0, 10, North, WGS-84}\n")


if __name__ == "__main__":
    mat_seeds()
    envi_seeds()
