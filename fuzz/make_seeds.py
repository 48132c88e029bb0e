#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/TARGET.

The scene_api and kdtree seeds are encoded for the byte reader of
fuzz_support.h (one byte picks a choice; values are a special-value index,
a small fixed-point number or raw float bits), so that the fuzzer starts
from call sequences and scenes that get somewhere.
"""
import base64
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Bytes::value(): the special values, in order.
SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 10.0, -10.0, 1e-7, -1e-7, 1e-30, 1e30, -1e30,
           3.4028234663852886e38, -3.4028234663852886e38, 1.1754943508222875e-38, 1.401298464324817e-45,
           math.nan, -math.nan, math.inf, -math.inf, 16777217.0, 3.0e38, 65535.0]


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def value(x):
    """Bytes::value() reading x."""
    if isinstance(x, str):  # a special value by name
        return [{"nan": 17, "inf": 19, "-inf": 20, "max": 13, "huge": 22}[x]]
    if x * 8 == int(x * 8) and -128 <= x * 8 <= 127:
        return [128, int(x * 8) & 0xFF]
    return [232] + list(struct.pack("<f", x))


def coordinate(x):
    """Bytes::coordinate() reading x (a multiple of 1/16 within +-8)."""
    return [0, int(x * 16) & 0xFF]


def vector(x, y, z):
    return value(x) + value(y) + value(z) + [1]  # w = 1


# --- scene_api: calls as fuzz_scene_api.cpp reads them -----------------------
INIT, RELEASE, TRIANGLES, SPHERES, MATERIAL, LIGHT, SET_LIGHT, GET_LIGHT, GET_MATERIAL, TEXTURE = 0, 1, 2, 4, 5, 6, 7, 8, 9, 10
CAM_POS, CAM_ROT, CAM_DIR, CAM_MATRIX, MOVE, BUILD, FRAME = 11, 12, 13, 14, 15, 16, 18
SIZES = [1, 2, 3, 4, 5, 8, 9, 16, 0, -1, -640]


def init(w, h):
    return [INIT, SIZES.index(w), SIZES.index(h)]


def material(ambient):
    body = struct.pack("<3f3f3ff4i", ambient, ambient, ambient, 0.6, 0.6, 0.6, 0.3, 0.3, 0.3, 20.0, 0, 0, 0, 0)
    return [MATERIAL] + list(body) + [1]  # keep the power


def light(x, y, z):
    return [LIGHT] + vector(x, y, z) + [1]  # default colour and attenuation


def triangles(corners, indices, material_id=0, tex=255):
    # count_of: a byte >= 4 (mod 16) means 'below(small + 1)'
    nv, ni = len(corners), len(indices)
    out = [TRIANGLES, 16 + 4, nv, 16 + 4, ni]
    for (x, y, z) in corners[:16]:
        out += vector(x, y, z) + value(0) + value(0) + value(1) + value(0.25) + value(0.75)
        out += [0, material_id]  # an ordinary material id
        out += [1, tex] if tex < 9 else [0, tex]  # a small texture number, or any byte
    for i in indices:
        out += [1, i]  # below(8) != 0: an index below nv
    return out + [1, 1]  # arrays not null


def frame():
    return [FRAME, 1, 0]


def build():
    return [BUILD]


quad = [(-2, -2, 0), (2, -2, 0), (2, 2, 0), (-2, 2, 0)]
write("scene_api", "lit_quad", init(8, 8) + material(0.2) + light(0, 1, 5) +
      triangles(quad, [0, 1, 2, 0, 2, 3]) + build() + frame())
write("scene_api", "camera_moves", init(5, 3) + material(0.5) + light(1, 1, 1) +
      triangles(quad, [0, 1, 2]) + build() + [CAM_POS] + vector(0, 0, 4) + [CAM_ROT] + value(10) + value(20) +
      value(0) + value(0) + [MOVE] + vector(0.5, 0, -1) + frame() + [CAM_MATRIX, 0, 1, 1, 5] + value("nan") + frame())
write("scene_api", "release_and_again", init(4, 4) + material(0.1) + triangles(quad, [0, 1, 2]) + [RELEASE] +
      triangles(quad, [0, 1, 2]) + build() + frame() + init(2, 2) + build() + frame() + init(3, 3))
write("scene_api", "textured", init(4, 4) + material(0.3) + light(0, 0, 3) +
      [TEXTURE, 1, 2] + list(range(24)) + [1, 0, 0, 0, 0] + [TEXTURE, 4, 4, 1, 0, 0, 0, 0] +
      triangles(quad, [0, 1, 2, 2, 3, 0], tex=0) + build() + frame())
write("scene_api", "spheres_and_lights", init(8, 8) + material(0.4) +
      [SPHERES, 4, 2] + vector(0, 0, 0) + value(1) + [0] + [0, 1] +
      vector(1, 1, 1) + value(0.5) + [0] + [0, 2] + [1] +
      light(2, 2, 2) + [SET_LIGHT] + vector(1, 1, 1) + [1, 1] + [GET_LIGHT, 1, GET_MATERIAL, 1] +
      triangles(quad, [0, 1, 2]) + build() + frame())


# --- kdtree: scenes as fuzz_kdtree.cpp reads them --------------------------
def kd_header(mode, scale_index, n):
    return [mode, scale_index] + list(struct.pack("<I", n - 1))


def ordinary(tris, scale_index=0, spheres=()):
    out = kd_header(5, scale_index, len(tris))
    for t in tris:
        for c in t:
            out += coordinate(c)
        out += [1]  # keep the corners
    if not spheres:
        return out + [1]
    out += [0, len(spheres)]
    for (x, y, z, r) in spheres:
        out += coordinate(x) + coordinate(y) + coordinate(z) + [1] + coordinate(r)
    return out


tris = [(-1, -1, 0, 1, -1, 0, 0, 1, 0), (-1, -1, 1, 1, -1, 1, 0, 1, 1), (0, 0, -2, 2, 0, -2, 0, 2, 3)]
write("kdtree", "ordinary", ordinary(tris))
write("kdtree", "any_values", kd_header(0, 0, 2) + sum((value(v) for v in
      [0, 0, 0, 1, 0, 0, "nan", 1, 0, 0, 0, 0, "inf", 0, 0, 0, 1, 0]), []) + [1])
write("kdtree", "coincident_point", kd_header(1, 3, 2000) + coordinate(1) * 9 + [0, 1])
write("kdtree", "coplanar_tilted", kd_header(2, 4, 40) + [0, 8, 0, 4, 1] + coordinate(0.5) * 240 + [1])
write("kdtree", "sheets", kd_header(3, 0, 30) + coordinate(1) + coordinate(-1) + value(0) +
      sum(([k % 3, k % 4] + coordinate((k % 7) - 3) * 6 for k in range(30)), []) + [1])
write("kdtree", "copies_shared", kd_header(4, 0, 1) + sum((value(v) for v in [0, 0, 0, 1, 0, 0, 0, 1, 0]), []) +
      [0xE8, 0x03, 0, 0, 0, 0x0C] + [1])
write("kdtree", "huge_scale_spheres", ordinary(tris, 7, [(0, 0, 0, 1), (1, 2, 3, 0.5), (-1, 0, 0, 2)]))
write("kdtree", "tiny_scale_spheres", ordinary(tris, 2, [(0, 0, 0, 1), (0.5, 0, 0, 0.25)]))


# --- bmp: small files, good and damaged -------------------------------------
def bmp(width, height, bits=24, offset=54, info=40, signature=b"BM", cut=None):
    row = (width * 3 + 3) // 4 * 4
    pixels = bytearray()
    for y in range(abs(height)):
        line = bytearray((x * 37 + y * 11 + c * 5) & 0xFF for x in range(width) for c in range(3))
        pixels += line + bytes(row - len(line))
    head = signature + struct.pack("<IHHI", 54 + len(pixels), 0, 0, offset)
    head += struct.pack("<IiiHHIIiiII", info, width, height, 1, bits, 0, len(pixels), 2835, 2835, 0, 0)
    data = head + pixels
    return data if cut is None else data[:cut]


write("bmp", "2x2", bmp(2, 2))
write("bmp", "4x2", bmp(4, 2))
write("bmp", "3x5", bmp(3, 5))
write("bmp", "1x1", bmp(1, 1))
write("bmp", "32_bits", bmp(2, 2, bits=32))
write("bmp", "top_down", bmp(2, -2))
write("bmp", "cut_short", bmp(4, 4, cut=60))
write("bmp", "v5_header", bmp(2, 2, info=124))

# --- import: scene files, the first byte picking the format -------------------
FORMATS = ["obj", "ply", "stl", "gltf", "glb", "dae", "fbx"]


def scene(name, fmt, data):
    write("import", name, bytes([FORMATS.index(fmt)]) + data)


scene("quad", "obj", b"v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nf 1 2 3 4\n")
scene("cube", "obj", b"""o cube
v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1
vn 0 0 1\nvt 0 0\nvt 1 1
f 1/1/1 2/2/1 3/1/1 4/2/1\nf 5//1 6//1 7//1 8//1\nf 1 2 6 5\nf 2 3 7 6\nf 3 4 8 7\nf 4 1 5 8
""")
scene("relative_indices", "obj", b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf -3 -2 -1\ng second\nv 0 0 1\nf -4 -3 -1\n")
scene("materials_and_groups", "obj", b"mtllib scene.mtl\nusemtl red\ns 1\ng a\nv 0 0 0\nv 1 0 0\nv 0 1 0\n"
      b"f 1 2 3\nusemtl blue\nl 1 2\np 3\nf 3 2 1\n")
scene("odd_numbers", "obj", b"\xef\xbb\xbfv 1e30 -1e-50 0\nv 1e39 0 0\nv 0 0x1p3 0\nv 0 0 -0\nf 1 2 3\nf 2 3 4\n")
scene("polygon", "obj", b"v 0 0 0\nv 2 0 0\nv 3 1 0\nv 2 2 0\nv 0 2 0\nv -1 1 0\nf 1 2 3 4 5 6\n")

PLY_HEADER = ("ply\nformat {} 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
              "element face 2\nproperty list uchar int vertex_indices\nend_header\n")
QUAD = [(-1, -1, 0), (1, -1, 0), (1, 1, 0), (-1, 1, 0)]
scene("ply_ascii", "ply", PLY_HEADER.format("ascii").encode() +
      b"".join(b"%d %d %d\n" % p for p in QUAD) + b"3 0 1 2\n4 0 1 2 3\n")
scene("ply_binary", "ply", PLY_HEADER.format("binary_little_endian").encode() +
      b"".join(struct.pack("<3f", *p) for p in QUAD) +
      struct.pack("<B3i", 3, 0, 1, 2) + struct.pack("<B4i", 4, 0, 1, 2, 3))


def stl_triangle(a, b, c):
    return struct.pack("<3f", 0, 0, 1) + b"".join(struct.pack("<3f", *p) for p in (a, b, c)) + b"\0\0"


scene("stl_binary", "stl", b"koru".ljust(80, b" ") + struct.pack("<I", 2) +
      stl_triangle(*QUAD[:3]) + stl_triangle(QUAD[0], QUAD[2], QUAD[3]))
scene("stl_ascii", "stl", b"solid quad\nfacet normal 0 0 1\nouter loop\nvertex -1 -1 0\nvertex 1 -1 0\n"
      b"vertex 1 1 0\nendloop\nendfacet\nendsolid quad\n")

GLTF_BIN = b"".join(struct.pack("<3f", *p) for p in QUAD) + struct.pack("<6H", 0, 1, 2, 0, 2, 3)


def gltf_json(buffer):
    return ('{"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],'
            '"nodes":[{"mesh":0,"translation":[0,0,1]}],'
            '"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1,"material":0}]}],'
            '"materials":[{"pbrMetallicRoughness":{"baseColorFactor":[1,0,0,1]}}],'
            '"buffers":[{' + buffer + '"byteLength":60}],'
            '"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":48},{"buffer":0,"byteOffset":48,"byteLength":12}],'
            '"accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3","min":[-1,-1,0],"max":[1,1,0]},'
            '{"bufferView":1,"componentType":5123,"count":6,"type":"SCALAR"}]}').encode()


def glb(json, binary):
    json += b" " * (-len(json) % 4)
    binary += b"\0" * (-len(binary) % 4)
    body = struct.pack("<II", len(json), 0x4E4F534A) + json + struct.pack("<II", len(binary), 0x004E4942) + binary
    return b"glTF" + struct.pack("<II", 2, 12 + len(body)) + body


scene("gltf_data_uri", "gltf", gltf_json('"uri":"data:application/octet-stream;base64,' +
                                          base64.b64encode(GLTF_BIN).decode() + '",'))
scene("glb", "glb", glb(gltf_json(""), GLTF_BIN))
