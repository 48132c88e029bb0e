// What the scene importer's parts share: files read once, the OBJ/MTL line
// check, textures decoded and their paths resolved. Not part of the
// library's interface.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "../engine/scene_io.h"

struct aiMesh;

namespace koru {
namespace io {

// Files as bytes, each read once. Only regular files are read: a folder, a
// FIFO or a device is refused at once. `memory_only`: nothing is read from
// disk, only what was put in.
class File_Cache {
public:
    explicit File_Cache(bool memory_only = false) : memory_only(memory_only) {}
    void put(const std::string& path, std::string bytes) { files[path] = std::move(bytes); }
    // The file's bytes; throws Load_Error starting with `opener` when it can not be read.
    const std::string& read(const std::string& path, const std::string& opener);
    // The same, or null when the file can not be read.
    const std::string* find(const std::string& path);
    bool exists(const std::string& path);

private:
    bool memory_only;
    std::map<std::string, std::string> files;
};

// Texts of other libraries on one line, without trailing blanks.
std::string one_line(std::string text);
std::string folder_of(const std::string& path); // with its final '/', or empty
std::string lower(std::string text);

// An MTL material as its file gives it.
struct Mtl_Entry {
    std::string file;     // the MTL file, as opened
    bool has_kd = false;
    std::string texture;  // map_Kd's file name, as written
    int texture_line = 0; // line of map_Kd
};

// The material CheckObj gives faces before the first usemtl.
constexpr const char* obj_default_material = "koru_obj_default_material";

struct Obj_Check {
    bool has_mtl = false;
    std::map<std::string, Mtl_Entry> mtl;
};

// Checks every line of an OBJ text and of the MTL files it names, so that a
// malformed file is refused with its line: numbers are decimal and finite
// (hexadecimal ones are refused rather than read as 0), faces refer to
// defined vertices, materials used are defined. A byte-order mark at the
// start of `text` is removed, and what assimp reads wrong is rewritten in
// `text` (and the MTL files in `files`). Throws Load_Error.
Obj_Check CheckObj(std::string& text, const std::string& path, File_Cache& files);

// Checks a PLY file's header, and that its body is as long as the header
// asks at least. Throws Load_Error naming the header line.
void CheckPly(const std::string& bytes, const std::string& name);

// Refuses numbers in text from byte `from` on (line `first_line`) that are
// not decimal: assimp reads "0x1p3", "inf" or "nan" as 0. `keywords`: the
// lines whose numbers are checked, by their first word, blank-separated
// (empty: every line, every word).
void CheckDecimalText(const std::string& text, std::size_t from, int first_line, const std::string& name,
                      const std::string& keywords);

// Gives every face corner a vertex of its own in a mesh without normals (or
// with all of them zero, which count as none), so that smoothing can keep
// creases. Throws Load_Error for faces that refer to missing vertices.
void UnshareVertices(aiMesh& mesh, const std::string& name);

// Normals of a triangle mesh without them: each corner averages the faces
// around its position that turn less than the crease angle from each other,
// weighted by area (linear in the corners, however many share a position).
void SmoothNormals(aiMesh& mesh, float crease_angle_degrees);

// Shares the vertices of a mesh that are identical bit for bit in every
// attribute: the first of each kind keeps its place in their order, faces
// refer to it. False, with the mesh unchanged, for a mesh with bones or
// morph targets.
bool JoinIdenticalVertices(aiMesh& mesh);

// A texture file name of a scene, from the folder of the file that names
// it: Windows separators become '/', absolute paths are kept.
std::string ResolveTexturePath(const std::string& folder, const std::string& name);

// Decodes PNG, JPEG, BMP, TGA (or what else stb_image reads) from bytes to
// RGBA, the bottom row first. Returns false with the reason in `error`.
bool DecodeTexture(const unsigned char* bytes, std::size_t size, Texture& texture, std::string& error);

} // namespace io
} // namespace koru
