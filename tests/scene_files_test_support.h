// Small scene files of every format the importer reads, written by the
// tests themselves: a cube of edge 2 standing with its lowest corner at
// (0, 1, 2), so that every format gives 24 vertices (flat faces), 12
// triangles and the box (0, 1, 2)-(2, 3, 4). glTF and Collada place the
// cube through a node translation; the others hold placed positions.
#pragma once

#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>
#include <gtest/gtest.h>
#include <stb_image_write.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace scene_files {

inline std::string folder(const std::string& name)
{
    const std::string dir = std::string(KORU_TEST_OUTPUT_DIR) + "/" + name;
    EXPECT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
    return dir;
}

inline std::string write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

template <class T>
void append(std::string& bytes, T value)
{
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Corners about the origin and the quads wound outwards (0-based).
const float corner[8][3] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                            {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
const int quad[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4}, {3, 7, 6, 2}, {0, 4, 7, 3}, {1, 2, 6, 5}};
const float offset[3] = {1, 2, 3};

inline std::string placed(int c)
{
    std::string text;
    for (int a = 0; a < 3; ++a)
        text += (a ? " " : "") + std::to_string(corner[c][a] + offset[a]);
    return text;
}

// Red through an MTL file that also defines a material no face uses.
inline std::string write_obj(const std::string& dir)
{
    write(dir + "/cube.mtl", "newmtl red\nKd 1 0 0\nnewmtl unused\nKd 0 1 0\nmap_Kd not_there.png\n");
    std::string text = "mtllib cube.mtl\nusemtl red\n";
    for (int c = 0; c < 8; ++c)
        text += "v " + placed(c) + "\n";
    for (const auto& q : quad)
        text += "f " + std::to_string(q[0] + 1) + " " + std::to_string(q[1] + 1) + " " + std::to_string(q[2] + 1) +
                " " + std::to_string(q[3] + 1) + "\n";
    return write(dir + "/cube.obj", text);
}

inline std::string ply_header(const char* format)
{
    return std::string("ply\nformat ") + format +
           " 1.0\nelement vertex 8\nproperty float x\nproperty float y\nproperty float z\n"
           "element face 6\nproperty list uchar int vertex_indices\nend_header\n";
}

inline std::string write_ply_ascii(const std::string& dir)
{
    std::string text = ply_header("ascii");
    for (int c = 0; c < 8; ++c)
        text += placed(c) + "\n";
    for (const auto& q : quad)
        text += "4 " + std::to_string(q[0]) + " " + std::to_string(q[1]) + " " + std::to_string(q[2]) + " " +
                std::to_string(q[3]) + "\n";
    return write(dir + "/cube_ascii.ply", text);
}

inline std::string write_ply_binary(const std::string& dir)
{
    std::string bytes = ply_header("binary_little_endian");
    for (int c = 0; c < 8; ++c)
        for (int a = 0; a < 3; ++a)
            append<float>(bytes, corner[c][a] + offset[a]);
    for (const auto& q : quad) {
        append<uint8_t>(bytes, 4);
        for (int k = 0; k < 4; ++k)
            append<int32_t>(bytes, q[k]);
    }
    return write(dir + "/cube_binary.ply", bytes);
}

// Binary STL: 80 header bytes, the count, then normal, corners and 2 bytes per triangle.
inline std::string write_stl(const std::string& dir)
{
    std::string bytes(80, ' ');
    bytes.replace(0, 10, "koru cube ");
    append<uint32_t>(bytes, 12);
    for (const auto& q : quad)
        for (int half = 0; half < 2; ++half) {
            const int tri[3] = {q[0], q[1 + half], q[2 + half]};
            for (int a = 0; a < 3; ++a)
                append<float>(bytes, 0.0f);
            for (int k = 0; k < 3; ++k)
                for (int a = 0; a < 3; ++a)
                    append<float>(bytes, corner[tri[k]][a] + offset[a]);
            append<uint16_t>(bytes, 0);
        }
    return write(dir + "/cube.stl", bytes);
}

// Positions (8 x VEC3 float) then indices (36 x uint16).
inline std::string gltf_cube_buffer()
{
    std::string bytes;
    for (int c = 0; c < 8; ++c)
        for (int a = 0; a < 3; ++a)
            append<float>(bytes, corner[c][a]);
    for (const auto& q : quad)
        for (int half = 0; half < 2; ++half) {
            append<uint16_t>(bytes, static_cast<uint16_t>(q[0]));
            append<uint16_t>(bytes, static_cast<uint16_t>(q[1 + half]));
            append<uint16_t>(bytes, static_cast<uint16_t>(q[2 + half]));
        }
    return bytes;
}

inline std::string gltf_cube_json(const std::string& buffer)
{
    return R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],
"nodes":[{"mesh":0,"translation":[1,2,3]}],
"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1,"material":0}]}],
"materials":[{"pbrMetallicRoughness":{"baseColorFactor":[1,0,0,1],"metallicFactor":0}}],
"buffers":[{)" + buffer + R"("byteLength":168}],
"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":96},{"buffer":0,"byteOffset":96,"byteLength":72}],
"accessors":[{"bufferView":0,"componentType":5126,"count":8,"type":"VEC3","min":[-1,-1,-1],"max":[1,1,1]},
{"bufferView":1,"componentType":5123,"count":36,"type":"SCALAR"}]})";
}

inline std::string write_gltf(const std::string& dir)
{
    write(dir + "/cube.bin", gltf_cube_buffer());
    return write(dir + "/cube.gltf", gltf_cube_json(R"("uri":"cube.bin",)"));
}

// A binary glTF: header, the JSON chunk padded with blanks, the BIN chunk with zeros.
inline std::string glb(std::string json, std::string bin)
{
    json.append((4 - json.size() % 4) % 4, ' ');
    bin.append((4 - bin.size() % 4) % 4, '\0');
    std::string bytes = "glTF";
    append<uint32_t>(bytes, 2);
    append<uint32_t>(bytes, static_cast<uint32_t>(12 + 8 + json.size() + 8 + bin.size()));
    append<uint32_t>(bytes, static_cast<uint32_t>(json.size()));
    append<uint32_t>(bytes, 0x4E4F534Au);
    bytes += json;
    append<uint32_t>(bytes, static_cast<uint32_t>(bin.size()));
    append<uint32_t>(bytes, 0x004E4942u);
    return bytes + bin;
}

inline std::string write_glb(const std::string& dir)
{
    return write(dir + "/cube.glb", glb(gltf_cube_json(""), gltf_cube_buffer()));
}

inline std::string write_collada(const std::string& dir)
{
    std::string positions, polygons;
    for (int c = 0; c < 8; ++c)
        for (int a = 0; a < 3; ++a)
            positions += std::to_string(corner[c][a]) + " ";
    for (const auto& q : quad)
        for (int k = 0; k < 4; ++k)
            polygons += std::to_string(q[k]) + " ";
    return write(dir + "/cube.dae", R"(<?xml version="1.0" encoding="utf-8"?>
<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
<asset><unit name="meter" meter="1"/><up_axis>Y_UP</up_axis></asset>
<library_effects><effect id="red-fx"><profile_COMMON><technique sid="common"><phong>
<diffuse><color>1 0 0 1</color></diffuse></phong></technique></profile_COMMON></effect></library_effects>
<library_materials><material id="red" name="red"><instance_effect url="#red-fx"/></material></library_materials>
<library_geometries><geometry id="cube" name="cube"><mesh>
<source id="cube-pos"><float_array id="cube-pos-array" count="24">)" + positions + R"(</float_array>
<technique_common><accessor source="#cube-pos-array" count="8" stride="3"><param name="X" type="float"/>
<param name="Y" type="float"/><param name="Z" type="float"/></accessor></technique_common></source>
<vertices id="cube-vtx"><input semantic="POSITION" source="#cube-pos"/></vertices>
<polylist material="mat" count="6"><input semantic="VERTEX" source="#cube-vtx" offset="0"/>
<vcount>4 4 4 4 4 4</vcount><p>)" + polygons + R"(</p></polylist></mesh></geometry></library_geometries>
<library_visual_scenes><visual_scene id="scene"><node id="cube-node"><translate>1 2 3</translate>
<instance_geometry url="#cube"><bind_material><technique_common><instance_material symbol="mat" target="#red"/>
</technique_common></bind_material></instance_geometry></node></visual_scene></library_visual_scenes>
<scene><instance_visual_scene url="#scene"/></scene>
</COLLADA>
)");
}

// FBX as assimp's own writer makes it from the OBJ cube (ASCII FBX: its
// binary FBX of 5.2 is one its reader refuses). No FBX file is written here
// by hand.
inline std::string write_fbx(const std::string& dir)
{
    Assimp::Importer importer;
    const aiScene* obj = importer.ReadFile(write_obj(dir), 0);
    EXPECT_NE(obj, nullptr);
    Assimp::Exporter exporter;
    const std::string path = dir + "/cube.fbx";
    EXPECT_EQ(obj == nullptr ? AI_FAILURE : exporter.Export(obj, "fbxa", path), AI_SUCCESS)
        << exporter.GetErrorString();
    return path;
}

// Each format's file and whether its cube is red (formats without
// materials get the neutral grey).
struct Format_Case {
    const char* format;
    std::string (*write)(const std::string& dir);
    bool red;
};

inline std::vector<Format_Case> format_cases()
{
    return {{"obj", write_obj, true},          {"ply ascii", write_ply_ascii, false},
            {"ply binary", write_ply_binary, false}, {"stl", write_stl, false},
            {"gltf", write_gltf, true},        {"glb", write_glb, true},
            {"collada", write_collada, true},  {"fbx", write_fbx, true}};
}

// A 16 x 16 JPEG in four quadrants: red bottom left, green bottom right,
// blue top left, white top right (the file holds the top row first).
inline std::string quadrant_jpeg()
{
    std::vector<unsigned char> rgb(16 * 16 * 3);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const bool top = y < 8, right = x >= 8;
            unsigned char* p = &rgb[3 * (16 * y + x)];
            p[0] = (!top && !right) || (top && right) ? 255 : 0;
            p[1] = (!top && right) || (top && right) ? 255 : 0;
            p[2] = top ? 255 : 0;
        }
    std::string jpeg;
    stbi_write_jpg_to_func(
        [](void* context, void* data, int size) {
            static_cast<std::string*>(context)->append(static_cast<char*>(data), static_cast<std::size_t>(size));
        },
        &jpeg, 16, 16, 3, rgb.data(), 95);
    return jpeg;
}

// A square of side 2 at z = 0 facing +z, textured with the embedded JPEG
// (u to the right, v up as the engine has them; glTF's v runs down).
inline std::string write_textured_glb(const std::string& dir)
{
    std::string bin;
    const float square[4][5] = {{-1, -1, 0, 0, 1}, {1, -1, 0, 1, 1}, {1, 1, 0, 1, 0}, {-1, 1, 0, 0, 0}};
    for (const auto& v : square)
        for (int a = 0; a < 3; ++a)
            append<float>(bin, v[a]);
    for (const auto& v : square)
        for (int a = 3; a < 5; ++a)
            append<float>(bin, v[a]);
    for (const uint16_t i : {0, 1, 2, 0, 2, 3})
        append<uint16_t>(bin, i);
    const std::string jpeg = quadrant_jpeg();
    const std::size_t image_at = bin.size();
    bin += jpeg;
    const std::string json = R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],
"meshes":[{"primitives":[{"attributes":{"POSITION":0,"TEXCOORD_0":1},"indices":2,"material":0}]}],
"materials":[{"pbrMetallicRoughness":{"baseColorTexture":{"index":0},"metallicFactor":0}}],
"textures":[{"source":0}],"images":[{"bufferView":3,"mimeType":"image/jpeg"}],
"buffers":[{"byteLength":)" + std::to_string(bin.size()) + R"(}],
"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":48},{"buffer":0,"byteOffset":48,"byteLength":32},
{"buffer":0,"byteOffset":80,"byteLength":12},{"buffer":0,"byteOffset":)" + std::to_string(image_at) +
                             R"(,"byteLength":)" + std::to_string(jpeg.size()) + R"(}],
"accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3","min":[-1,-1,0],"max":[1,1,0]},
{"bufferView":1,"componentType":5126,"count":4,"type":"VEC2"},
{"bufferView":2,"componentType":5123,"count":6,"type":"SCALAR"}]})";
    return write(dir + "/textured.glb", glb(json, bin));
}

} // namespace scene_files
