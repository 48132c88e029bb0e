#include "obj.h"

#include <tiny_obj_loader.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "../engine/tau_error.h"
#include "bmp.h"
#include "obj_text.h"
#include "png_file.h"

namespace koru {
namespace io {

// Shared with the plain reader (obj_text.h).
std::string one_line(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

namespace {

using V4 = IGraphicsEngine::VECTOR4;
using Material = IGraphicsEngine::MATERIAL;
using Vertex = IGraphicsEngine::VERTEX;

// Corners whose faces turn by more than this from each other get their own normals.
const float crease_cosine = 0.5f; // cos 60 degrees
// Colour of MTL materials that give a texture but no Kd.
const float default_diffuse = 0.8f;

std::string where(const std::string& file, int line) { return file + ":" + std::to_string(line); }

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool has_suffix(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> tokens_of(const std::string& line)
{
    std::vector<std::string> tokens;
    std::istringstream in(line);
    for (std::string token; in >> token;)
        tokens.push_back(token);
    return tokens;
}

bool parse_float(const std::string& text, float& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtof(text.c_str(), &end);
    return !text.empty() && end != nullptr && *end == '\0' && errno == 0 && std::isfinite(value);
}

// Reads a file as lines without their line ends; throws when it can not be opened.
std::vector<std::string> read_lines(const std::string& path, const std::string& opener)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Load_Error(opener + "can not open '" + path + "'");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// What the line-by-line check of the files learned: where things are named,
// for messages, and what tinyobjloader does not tell.
struct Mtl_Entry {
    std::string file;    // the MTL file, as opened
    bool has_kd = false;
    int texture_line = 0; // line of map_Kd
};

struct Checked_Files {
    std::vector<std::pair<std::string, int>> used_materials; // usemtl name and line
    bool has_mtl = false;
    std::map<std::string, Mtl_Entry> mtl;
};

// Numbers of one statement: `least` to `most` of them, then at most a comment.
void check_numbers(const std::vector<std::string>& tokens, std::size_t least, std::size_t most,
                   const std::string& at, const char* what)
{
    std::size_t count = 0;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        float value;
        if (tokens[i][0] == '#')
            break;
        if (!parse_float(tokens[i], value) || count == most)
            throw Load_Error(at + ": " + what + ", not '" + tokens[i] + "'");
        ++count;
    }
    if (count < least)
        throw Load_Error(at + ": " + what);
}

// One face index: 1-based, or negative counting back from the last defined.
void check_index(const std::string& text, long defined, const std::string& at, const char* kind)
{
    char* end = nullptr;
    errno = 0;
    const long index = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || index == 0 || index > INT_MAX || index < INT_MIN)
        throw Load_Error(at + ": bad " + kind + " index '" + text + "' in a face");
    const long resolved = index > 0 ? index : defined + index + 1;
    if (resolved < 1 || resolved > defined)
        throw Load_Error(at + ": a face refers to " + kind + " " + text + ", but " + std::to_string(defined) +
                         " are defined so far");
}

void check_face(const std::vector<std::string>& tokens, const long counts[3], const std::string& at)
{
    if (tokens.size() < 4)
        throw Load_Error(at + ": a face needs at least three corners");
    static const char* const kinds[3] = {"vertex", "texture coordinate", "normal"};
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        std::string parts[3];
        int n_parts = 0;
        std::size_t start = 0;
        for (;;) {
            const std::size_t slash = tokens[i].find('/', start);
            if (n_parts == 3)
                throw Load_Error(at + ": bad face corner '" + tokens[i] + "'");
            parts[n_parts++] = tokens[i].substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
        for (int k = 0; k < n_parts; ++k) {
            // Only the texture coordinate may be left out, as in v//vn.
            if (parts[k].empty() && k == 1 && n_parts == 3)
                continue;
            check_index(parts[k], counts[k], at, kinds[k]);
        }
    }
}

void check_mtl(const std::string& path, const std::string& opener, Checked_Files& checked)
{
    const std::vector<std::string> lines = read_lines(path, opener);
    Mtl_Entry* current = nullptr;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const std::vector<std::string> tokens = tokens_of(lines[l]);
        if (tokens.empty() || tokens[0][0] == '#')
            continue;
        const std::string at = where(path, static_cast<int>(l + 1));
        const std::string& keyword = tokens[0];
        if (keyword == "newmtl") {
            if (tokens.size() < 2)
                throw Load_Error(at + ": newmtl needs a material name");
            current = &checked.mtl[tokens[1]];
            *current = Mtl_Entry();
            current->file = path;
            continue;
        }
        const bool colour = keyword == "Kd";
        const bool texture = keyword == "map_Kd";
        if (!colour && !texture)
            continue; // the other statements do not change what the engine draws
        if (current == nullptr)
            throw Load_Error(at + ": " + keyword + " before the first newmtl");
        if (colour) {
            check_numbers(tokens, 3, 3, at, "Kd needs three numbers (r g b)");
            current->has_kd = true;
        } else {
            if (tokens.size() < 2)
                throw Load_Error(at + ": map_Kd needs a file name");
            current->texture_line = static_cast<int>(l + 1);
        }
    }
}

// Checks every line of the OBJ file and the MTL files it names, so that a
// malformed file is refused with the line, before tinyobjloader reads it.
Checked_Files check_files(const std::string& path)
{
    const std::vector<std::string> lines = read_lines(path, "");
    Checked_Files checked;
    long counts[3] = {0, 0, 0}; // v, vt, vn so far
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const std::vector<std::string> tokens = tokens_of(lines[l]);
        if (tokens.empty() || tokens[0][0] == '#')
            continue;
        const std::string at = where(path, static_cast<int>(l + 1));
        const std::string& keyword = tokens[0];
        if (keyword == "v") {
            check_numbers(tokens, 3, 7, at, "a vertex needs three numbers (x y z)");
            ++counts[0];
        } else if (keyword == "vt") {
            check_numbers(tokens, 1, 3, at, "a texture coordinate needs one to three numbers (u v w)");
            ++counts[1];
        } else if (keyword == "vn") {
            check_numbers(tokens, 3, 3, at, "a normal needs three numbers (x y z)");
            ++counts[2];
        } else if (keyword == "f") {
            check_face(tokens, counts, at);
        } else if (keyword == "usemtl") {
            if (tokens.size() < 2)
                throw Load_Error(at + ": usemtl needs a material name");
            checked.used_materials.emplace_back(tokens[1], static_cast<int>(l + 1));
        } else if (keyword == "mtllib") {
            if (tokens.size() < 2)
                throw Load_Error(at + ": mtllib needs a file name");
            for (std::size_t i = 1; i < tokens.size(); ++i)
                check_mtl(directory_of(path) + tokens[i], at + ": MTL file: ", checked);
            checked.has_mtl = true;
        } else if (keyword == "o" || keyword == "g" || keyword == "s" || keyword == "l" || keyword == "p" ||
                   keyword == "vp" || keyword == "cstype" || keyword == "deg" || keyword == "curv" ||
                   keyword == "curv2" || keyword == "surf" || keyword == "parm" || keyword == "trim" ||
                   keyword == "hole" || keyword == "scrv" || keyword == "sp" || keyword == "end" ||
                   keyword == "bmat" || keyword == "step" || keyword == "mg" || keyword == "lod" ||
                   keyword == "usemap" || keyword == "maplib" || keyword == "bevel" || keyword == "c_interp" ||
                   keyword == "d_interp" || keyword == "shadow_obj" || keyword == "trace_obj" ||
                   keyword == "ctech" || keyword == "stech") {
            // Groups, smoothing groups, lines, points and free-form geometry: nothing to draw.
        } else {
            throw Load_Error(at + ": unknown statement '" + keyword + "'");
        }
    }
    return checked;
}

// tinyobjloader's warnings less the ones for usemtl names it found in no MTL file.
std::string without_missing_materials(const std::string& warnings)
{
    std::istringstream in(warnings);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("material [", 0) != 0 && !line.empty())
            kept += line + "\n";
    return kept;
}

Texture read_png(const std::string& path, const std::string& at)
{
    Texture texture;
    std::string reason;
    if (!ReadPng(path, texture.width, texture.height, texture.rgba, reason))
        throw Load_Error(at + ": can not read the PNG texture '" + path + "': " + reason);
    return texture;
}

Texture read_texture(const std::string& path, const std::string& at)
{
    const std::string name = lower(path);
    if (has_suffix(name, ".png"))
        return read_png(path, at);
    if (!has_suffix(name, ".bmp"))
        throw Load_Error(at + ": texture '" + path + "' is neither a BMP nor a PNG file");
    IMAGE image;
    try {
        LoadBMP(path, image);
    } catch (const TAU_ERROR::Error& error) {
        throw Load_Error(at + ": " + error.message);
    }
    Texture texture;
    texture.width = image.width;
    texture.height = image.height;
    texture.rgba.assign(image.data, image.data + image.ByteCount());
    return texture;
}

Material make_material(const float diffuse[3])
{
    Material m;
    for (int c = 0; c < 3; ++c) {
        m.diffuse[c] = diffuse[c];
        m.ambient[c] = 0.25f * diffuse[c];
        m.specular[c] = 0.15f;
    }
    m.spec_power = 40.0f;
    for (auto& p : m.param)
        p.i = 0;
    return m;
}

V4 position_of(const tinyobj::attrib_t& attrib, int v)
{
    const float* p = &attrib.vertices[3 * static_cast<std::size_t>(v)];
    return V4(p[0], p[1], p[2], 1.0f);
}

struct Triangle {
    tinyobj::index_t corner[3];
    int material; // index into the mesh's materials
    V4 normal;    // cross product: length twice the area
};

V4 unit_or(const V4& n, const V4& fallback)
{
    const float length = std::sqrt(TAU_MATH::Dot3(n, n));
    if (!(length > 0.0f) || !std::isfinite(length))
        return fallback;
    return V4(n[0] / length, n[1] / length, n[2] / length, 0.0f);
}

// Normals of the corners that the file gives none: the faces around each
// position fall into groups that turn less than the crease angle from the
// group's first face, and a corner takes its group's area-weighted normal.
struct Corner_Normals {
    std::vector<std::array<int, 3>> group;   // per triangle and corner
    std::vector<std::vector<V4>> normal_of;  // per position and group
};

Corner_Normals corner_normals(const std::vector<Triangle>& triangles, std::size_t n_positions)
{
    std::vector<std::vector<std::pair<std::size_t, int>>> corners_at(n_positions);
    for (std::size_t t = 0; t < triangles.size(); ++t)
        for (int k = 0; k < 3; ++k)
            if (triangles[t].corner[k].normal_index < 0)
                corners_at[triangles[t].corner[k].vertex_index].emplace_back(t, k);

    Corner_Normals result;
    result.group.assign(triangles.size(), {-1, -1, -1});
    result.normal_of.resize(n_positions);
    const V4 up(0.0f, 0.0f, 1.0f, 0.0f);
    for (std::size_t p = 0; p < n_positions; ++p) {
        std::vector<V4> seeds, sums;
        for (const auto& [t, k] : corners_at[p]) {
            const V4 n = unit_or(triangles[t].normal, up);
            std::size_t g = 0;
            while (g < seeds.size() && TAU_MATH::Dot3(seeds[g], n) < crease_cosine)
                ++g;
            if (g == seeds.size()) {
                seeds.push_back(n);
                sums.push_back(V4(0.0f, 0.0f, 0.0f, 0.0f));
            }
            sums[g] = sums[g] + triangles[t].normal;
            result.group[t][k] = static_cast<int>(g);
        }
        for (std::size_t g = 0; g < sums.size(); ++g)
            result.normal_of[p].push_back(unit_or(sums[g], seeds[g]));
    }
    return result;
}

} // namespace

IGraphicsEngine::MATERIAL NeutralGrey()
{
    const float grey[3] = {0.6f, 0.6f, 0.6f};
    return make_material(grey);
}

Mesh LoadMesh(const std::string& path)
{
    const Checked_Files checked = check_files(path);

    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials;
    std::string warn, err;
    if (!tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, path.c_str(), directory_of(path).c_str(),
                          false) ||
        !err.empty())
        throw Load_Error(path + ": " + (err.empty() ? std::string("can not be read") : one_line(err)));
    if (checked.has_mtl)
        for (const auto& used : checked.used_materials) {
            bool found = false;
            for (const tinyobj::material_t& m : materials)
                found = found || m.name == used.first;
            if (!found)
                throw Load_Error(where(path, used.second) + ": material '" + used.first +
                                 "' is not in the MTL file");
        }
    else
        warn = without_missing_materials(warn); // usemtl without an MTL file: the neutral grey
    if (!warn.empty())
        throw Load_Error(path + ": " + one_line(warn));

    // Materials in MTL order, each texture file read once.
    Mesh mesh;
    std::map<std::string, int> texture_of_file;
    std::vector<int> texture_of_material;
    for (const tinyobj::material_t& m : materials) {
        const auto entry = checked.mtl.find(m.name);
        const bool has_kd = entry != checked.mtl.end() && entry->second.has_kd;
        const float fallback[3] = {default_diffuse, default_diffuse, default_diffuse};
        mesh.materials.push_back(make_material(has_kd ? m.diffuse : fallback));
        int texture = -1;
        if (!m.diffuse_texname.empty() && entry != checked.mtl.end()) {
            const std::string file = directory_of(entry->second.file) + m.diffuse_texname;
            const auto known = texture_of_file.find(file);
            if (known != texture_of_file.end()) {
                texture = known->second;
            } else {
                // Texture indices travel in one byte, 255 meaning none.
                if (mesh.textures.size() == TAU_GRAPHICS::kNoTexture)
                    throw Load_Error(where(entry->second.file, entry->second.texture_line) + ": more than " +
                                     std::to_string(TAU_GRAPHICS::kNoTexture) + " textures");
                mesh.textures.push_back(read_texture(file, where(entry->second.file, entry->second.texture_line)));
                texture = static_cast<int>(mesh.textures.size()) - 1;
                texture_of_file[file] = texture;
            }
        }
        texture_of_material.push_back(texture);
    }
    int grey = -1; // added when a face has no material

    // Polygons fanned from their first corner, in file order.
    std::vector<Triangle> triangles;
    for (const tinyobj::shape_t& shape : shapes) {
        std::size_t first = 0;
        for (std::size_t f = 0; f < shape.mesh.num_face_vertices.size(); ++f) {
            const std::size_t corners = shape.mesh.num_face_vertices[f];
            int material = shape.mesh.material_ids[f];
            if (material < 0 || static_cast<std::size_t>(material) >= materials.size()) {
                if (grey < 0) {
                    mesh.materials.push_back(NeutralGrey());
                    texture_of_material.push_back(-1);
                    grey = static_cast<int>(mesh.materials.size()) - 1;
                }
                material = grey;
            }
            for (std::size_t c = 1; c + 1 < corners; ++c) {
                Triangle t;
                t.corner[0] = shape.mesh.indices[first];
                t.corner[1] = shape.mesh.indices[first + c];
                t.corner[2] = shape.mesh.indices[first + c + 1];
                t.material = material;
                const V4 a = position_of(attrib, t.corner[0].vertex_index);
                t.normal = TAU_MATH::Cross3(position_of(attrib, t.corner[1].vertex_index) - a,
                                            position_of(attrib, t.corner[2].vertex_index) - a);
                triangles.push_back(t);
            }
            first += corners;
        }
    }
    if (triangles.empty())
        throw Load_Error(path + ": no faces to draw");

    const Corner_Normals computed = corner_normals(triangles, attrib.vertices.size() / 3);

    // One vertex per position, normal, texture coordinate and material.
    std::map<std::array<int, 4>, unsigned> vertex_of;
    for (std::size_t t = 0; t < triangles.size(); ++t) {
        for (int k = 0; k < 3; ++k) {
            const tinyobj::index_t& c = triangles[t].corner[k];
            const int p = c.vertex_index;
            // File normals by their index, computed ones by their group, below zero.
            const int normal = c.normal_index >= 0 ? c.normal_index : -1 - computed.group[t][k];
            const std::array<int, 4> key = {p, normal, c.texcoord_index, triangles[t].material};
            const auto known = vertex_of.find(key);
            if (known != vertex_of.end()) {
                mesh.indices.push_back(known->second);
                continue;
            }
            Vertex v;
            v.pos = position_of(attrib, p);
            if (c.normal_index >= 0) {
                const float* n = &attrib.normals[3 * static_cast<std::size_t>(c.normal_index)];
                v.norm = unit_or(V4(n[0], n[1], n[2], 0.0f), unit_or(triangles[t].normal, V4(0, 0, 1, 0)));
            } else {
                v.norm = computed.normal_of[p][computed.group[t][k]];
            }
            v.tex_coord = c.texcoord_index >= 0
                              ? TAU_MATH::VECTOR<2, float>(attrib.texcoords[2 * static_cast<std::size_t>(c.texcoord_index)],
                                                           attrib.texcoords[2 * static_cast<std::size_t>(c.texcoord_index) + 1])
                              : TAU_MATH::VECTOR<2, float>(0.0f, 0.0f);
            v.material_id = triangles[t].material;
            const int texture = texture_of_material[triangles[t].material];
            v.tex_id[0] = texture >= 0 && c.texcoord_index >= 0 ? static_cast<unsigned char>(texture)
                                                                : TAU_GRAPHICS::kNoTexture;
            const unsigned index = static_cast<unsigned>(mesh.vertices.size());
            vertex_of[key] = index;
            mesh.vertices.push_back(v);
            mesh.indices.push_back(index);
        }
    }

    for (int a = 0; a < 3; ++a) {
        mesh.box_min[a] = mesh.vertices[0].pos[a];
        mesh.box_max[a] = mesh.vertices[0].pos[a];
    }
    for (const Vertex& v : mesh.vertices)
        for (int a = 0; a < 3; ++a) {
            mesh.box_min[a] = std::fmin(mesh.box_min[a], v.pos[a]);
            mesh.box_max[a] = std::fmax(mesh.box_max[a], v.pos[a]);
        }
    return mesh;
}

void AddMesh(IGraphicsEngine& engine, const Mesh& mesh, const IGraphicsEngine::MATRIX4& placement)
{
    if (mesh.vertices.size() > static_cast<std::size_t>(INT_MAX))
        throw TAU_ERROR::Out_Of_Range("Too many vertices");
    if (mesh.indices.size() > static_cast<std::size_t>(INT_MAX))
        throw TAU_ERROR::Out_Of_Range("Too many indices");

    std::vector<int> material_index;
    for (const Material& m : mesh.materials)
        material_index.push_back(static_cast<int>(engine.AddMaterial(m)) - 1);
    std::vector<unsigned char> texture_index;
    for (const Texture& t : mesh.textures)
        texture_index.push_back(static_cast<unsigned char>(engine.AddTexture(
            t.rgba.data(), static_cast<unsigned>(t.width), static_cast<unsigned>(t.height), 0)));

    std::vector<Vertex> placed(mesh.vertices);
    for (Vertex& v : placed) {
        v.pos = placement * v.pos;
        v.norm = unit_or(placement * v.norm, v.norm);
        v.material_id = material_index[v.material_id];
        if (v.tex_id[0] != TAU_GRAPHICS::kNoTexture)
            v.tex_id[0] = texture_index[v.tex_id[0]];
    }
    engine.AddTriangles(placed.data(), static_cast<int>(placed.size()), mesh.indices.data(),
                        static_cast<int>(mesh.indices.size()));
}

} // namespace io
} // namespace koru
