// The scene importer (engine/scene_io.h), built on assimp: the file is read
// once through a cache that assimp's own file system reads from, OBJ files
// are checked line by line first (obj_check.cpp), and assimp's meshes,
// materials and textures become the engine's records.
#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <assimp/MemoryIOWrapper.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "../engine/tau_error.h"
#include "../store/capacity.h"
#include "scene_files.h"

namespace koru {
namespace io {

namespace {

using V4 = IGraphicsEngine::VECTOR4;
using Material = IGraphicsEngine::MATERIAL;
using Vertex = IGraphicsEngine::VERTEX;

// Colour of MTL materials that give a texture but no Kd.
const float default_diffuse = 0.8f;
// Phong exponent of materials that give none.
const float default_spec_power = 40.0f;
const float default_specular = 0.15f;
// Share of the diffuse colour that ambient light reflects, for materials without their own.
const float ambient_share = 0.25f;

// assimp reads every file through the cache: each once, regular files only.
class Cache_IO_System : public Assimp::IOSystem {
public:
    explicit Cache_IO_System(File_Cache& files) : files(files) {}
    bool Exists(const char* file) const override { return files.exists(file); }
    char getOsSeparator() const override { return '/'; }
    Assimp::IOStream* Open(const char* file, const char* mode) override
    {
        if (std::strchr(mode, 'w') != nullptr || std::strchr(mode, 'a') != nullptr)
            return nullptr;
        const std::string* bytes = files.find(file);
        if (bytes == nullptr)
            return nullptr;
        return new Assimp::MemoryIOStream(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size(), false);
    }
    void Close(Assimp::IOStream* stream) override { delete stream; }

private:
    File_Cache& files;
};

std::string extension_of(const std::string& path)
{
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    return lower(path.substr(dot + 1));
}

Material make_material(const float diffuse[3])
{
    Material m;
    for (int c = 0; c < 3; ++c) {
        m.diffuse[c] = diffuse[c];
        m.ambient[c] = ambient_share * diffuse[c];
        m.specular[c] = default_specular;
    }
    m.spec_power = default_spec_power;
    for (auto& p : m.param)
        p.i = 0;
    return m;
}

float clamp01(float x) { return std::isfinite(x) ? std::fmin(std::fmax(x, 0.0f), 1.0f) : 0.0f; }

// Materials of every format but OBJ: the file's colours where it has them,
// the OBJ mapping's values where not, and its reflectivity for the
// whole-scene tracer.
Material general_material(const aiMaterial& source)
{
    aiColor4D colour;
    float diffuse[3] = {0.6f, 0.6f, 0.6f};
    if (source.Get(AI_MATKEY_BASE_COLOR, colour) == AI_SUCCESS ||
        source.Get(AI_MATKEY_COLOR_DIFFUSE, colour) == AI_SUCCESS) {
        diffuse[0] = clamp01(colour.r);
        diffuse[1] = clamp01(colour.g);
        diffuse[2] = clamp01(colour.b);
    }
    Material m = make_material(diffuse);
    if (source.Get(AI_MATKEY_COLOR_AMBIENT, colour) == AI_SUCCESS && colour.r + colour.g + colour.b > 0.0f) {
        m.ambient[0] = clamp01(colour.r);
        m.ambient[1] = clamp01(colour.g);
        m.ambient[2] = clamp01(colour.b);
    }
    if (source.Get(AI_MATKEY_COLOR_SPECULAR, colour) == AI_SUCCESS) {
        m.specular[0] = clamp01(colour.r);
        m.specular[1] = clamp01(colour.g);
        m.specular[2] = clamp01(colour.b);
    }
    float value = 0.0f;
    if (source.Get(AI_MATKEY_SHININESS, value) == AI_SUCCESS && std::isfinite(value) && value >= 1.0f)
        m.spec_power = std::fmin(value, 10000.0f);
    if (source.Get(AI_MATKEY_REFLECTIVITY, value) == AI_SUCCESS)
        m.param[0].f = clamp01(value);
    return m;
}

bool is_default_material(const aiMaterial& source)
{
    aiString name;
    return source.Get(AI_MATKEY_NAME, name) == AI_SUCCESS && std::strcmp(name.C_Str(), AI_DEFAULT_MATERIAL_NAME) == 0;
}

std::string material_name(const aiMaterial& source)
{
    aiString name;
    return source.Get(AI_MATKEY_NAME, name) == AI_SUCCESS ? std::string(name.C_Str()) : std::string();
}

// An image that assimp holds: compressed bytes, or raw BGRA texels with the top row first.
Texture embedded_texture(const aiTexture& image, const std::string& at)
{
    Texture texture;
    if (image.mHeight == 0) {
        std::string error;
        if (!DecodeTexture(reinterpret_cast<const unsigned char*>(image.pcData), image.mWidth, texture, error))
            throw Load_Error(at + ": can not read its embedded texture: " + error);
        return texture;
    }
    texture.width = static_cast<int>(image.mWidth);
    texture.height = static_cast<int>(image.mHeight);
    texture.rgba.resize(4 * static_cast<std::size_t>(image.mWidth) * image.mHeight);
    for (unsigned y = 0; y < image.mHeight; ++y)
        for (unsigned x = 0; x < image.mWidth; ++x) {
            const aiTexel& t = image.pcData[static_cast<std::size_t>(y) * image.mWidth + x];
            const std::size_t row = image.mHeight - 1 - y;
            unsigned char* p = &texture.rgba[4 * (row * image.mWidth + x)];
            p[0] = t.r;
            p[1] = t.g;
            p[2] = t.b;
            p[3] = t.a;
        }
    return texture;
}

struct Import {
    std::string name;   // for messages
    std::string path;   // as assimp opens it
    std::string format; // extension
    bool obj = false;
    Obj_Check obj_check;
};

// Materials the faces use, in the file's order, with their textures.
void convert_materials(const aiScene& ai, const Import& import, const Load_Options& options, File_Cache& files,
                       Scene& scene, std::vector<int>& material_of, std::vector<int>& texture_of)
{
    std::set<unsigned> used;
    for (unsigned m = 0; m < ai.mNumMeshes; ++m)
        if (ai.mMeshes[m]->mNumFaces > 0)
            used.insert(ai.mMeshes[m]->mMaterialIndex);
    // The store keeps one material slot to itself.
    const std::size_t material_room = static_cast<std::size_t>(max_materials - 1);
    if (used.size() > material_room)
        throw Load_Error(import.name + ": its faces use " + std::to_string(used.size()) +
                         " materials; the engine holds " + std::to_string(material_room));

    material_of.assign(ai.mNumMaterials, -1);
    std::map<std::string, int> texture_of_key;
    for (const unsigned index : used) {
        if (index >= ai.mNumMaterials)
            throw Load_Error(import.name + ": a mesh uses material " + std::to_string(index) + ", but " +
                             std::to_string(ai.mNumMaterials) + " are defined");
        const aiMaterial& source = *ai.mMaterials[index];
        const std::string mname = material_name(source);
        const Mtl_Entry* mtl = nullptr;
        if (import.obj) {
            const auto entry = import.obj_check.mtl.find(mname);
            if (entry != import.obj_check.mtl.end())
                mtl = &entry->second;
        }
        if (is_default_material(source) || (import.obj && mtl == nullptr)) {
            // The importer's own material: grey, untextured.
            scene.materials.push_back(NeutralGrey());
            material_of[index] = static_cast<int>(scene.materials.size()) - 1;
            texture_of.push_back(-1);
            continue;
        }
        if (import.obj) {
            // OBJ keeps the mapping of koru's own OBJ reader: Kd, and fixed
            // ambient, specular and exponent.
            aiColor4D kd;
            float diffuse[3] = {default_diffuse, default_diffuse, default_diffuse};
            if (mtl->has_kd && source.Get(AI_MATKEY_COLOR_DIFFUSE, kd) == AI_SUCCESS) {
                diffuse[0] = kd.r;
                diffuse[1] = kd.g;
                diffuse[2] = kd.b;
            }
            scene.materials.push_back(make_material(diffuse));
        } else {
            scene.materials.push_back(general_material(source));
        }
        material_of[index] = static_cast<int>(scene.materials.size()) - 1;

        int texture = -1;
        aiString file;
        const bool named = source.GetTexture(aiTextureType_DIFFUSE, 0, &file) == AI_SUCCESS ||
                           source.GetTexture(aiTextureType_BASE_COLOR, 0, &file) == AI_SUCCESS;
        if (options.textures && named && file.length > 0) {
            const std::string at = mtl != nullptr && mtl->texture_line > 0
                                       ? mtl->file + ":" + std::to_string(mtl->texture_line)
                                       : import.name + ": material '" + mname + "'";
            const aiTexture* image = ai.GetEmbeddedTexture(file.C_Str());
            const std::string folder = folder_of(mtl != nullptr ? mtl->file : import.path);
            const std::string key = image != nullptr ? "*" + std::string(file.C_Str())
                                                     : ResolveTexturePath(folder, file.C_Str());
            const auto known = texture_of_key.find(key);
            if (known != texture_of_key.end()) {
                texture = known->second;
            } else {
                if (scene.textures.size() == static_cast<std::size_t>(max_textures))
                    throw Load_Error(at + ": its faces use more than " + std::to_string(max_textures) +
                                     " textures; the engine holds " + std::to_string(max_textures));
                Texture t;
                if (image != nullptr) {
                    t = embedded_texture(*image, at);
                } else {
                    const std::string& bytes = files.read(key, at + ": texture: ");
                    std::string error;
                    if (!DecodeTexture(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), t, error))
                        throw Load_Error(at + ": can not read the texture '" + key + "': " + error);
                }
                scene.textures.push_back(std::move(t));
                texture = static_cast<int>(scene.textures.size()) - 1;
                texture_of_key[key] = texture;
            }
        }
        texture_of.push_back(texture);
    }
}

V4 unit_or(const V4& n, const V4& fallback)
{
    const float length = std::sqrt(TAU_MATH::Dot3(n, n));
    if (!(length > 0.0f) || !std::isfinite(length))
        return fallback;
    return V4(n[0] / length, n[1] / length, n[2] / length, 0.0f);
}

void convert_meshes(const aiScene& ai, const Import& import, const std::vector<int>& material_of,
                    const std::vector<int>& texture_of, Scene& scene)
{
    const V4 up(0.0f, 0.0f, 1.0f, 0.0f);
    for (unsigned m = 0; m < ai.mNumMeshes; ++m) {
        const aiMesh& mesh = *ai.mMeshes[m];
        if (mesh.mNumFaces == 0)
            continue;
        if (scene.vertices.size() + mesh.mNumVertices > UINT_MAX)
            throw Load_Error(import.name + ": more than " + std::to_string(UINT_MAX) + " vertices");
        const unsigned first = static_cast<unsigned>(scene.vertices.size());
        const int material = material_of[mesh.mMaterialIndex];
        const int texture = texture_of[static_cast<std::size_t>(material)];
        const aiVector3D* uv = mesh.mTextureCoords[0];
        for (unsigned i = 0; i < mesh.mNumVertices; ++i) {
            const aiVector3D& p = mesh.mVertices[i];
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
                throw Load_Error(import.name + ": mesh " + std::to_string(m) + ", vertex " + std::to_string(i) +
                                 ": a coordinate that is not a finite number");
            Vertex v;
            v.pos = V4(p.x, p.y, p.z, 1.0f);
            v.norm = mesh.mNormals != nullptr
                         ? unit_or(V4(mesh.mNormals[i].x, mesh.mNormals[i].y, mesh.mNormals[i].z, 0.0f), up)
                         : up;
            const bool has_uv = uv != nullptr && std::isfinite(uv[i].x) && std::isfinite(uv[i].y);
            v.tex_coord = TAU_MATH::VECTOR<2, float>(has_uv ? uv[i].x : 0.0f, has_uv ? uv[i].y : 0.0f);
            v.material_id = material;
            v.tex_id[0] =
                texture >= 0 && uv != nullptr ? static_cast<unsigned char>(texture) : TAU_GRAPHICS::kNoTexture;
            scene.vertices.push_back(v);
        }
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const aiFace& face = mesh.mFaces[f];
            if (face.mNumIndices != 3)
                continue; // lines and points
            for (int k = 0; k < 3; ++k) {
                if (face.mIndices[k] >= mesh.mNumVertices)
                    throw Load_Error(import.name + ": mesh " + std::to_string(m) + ", face " + std::to_string(f) +
                                     " refers to vertex " + std::to_string(face.mIndices[k]) + " of " +
                                     std::to_string(mesh.mNumVertices));
                scene.indices.push_back(first + face.mIndices[k]);
            }
        }
    }
}

// As assimp tells: text starting "solid", unless its size is that of a
// binary STL with the triangle count at byte 80.
bool stl_is_ascii(const std::string& bytes)
{
    if (bytes.compare(0, 5, "solid") != 0)
        return false;
    if (bytes.size() < 84)
        return true;
    uint32_t count = 0;
    for (int i = 3; i >= 0; --i)
        count = count << 8 | static_cast<unsigned char>(bytes[80 + static_cast<std::size_t>(i)]);
    return bytes.size() != 84 + 50 * static_cast<std::size_t>(count);
}

Scene import_scene(Import import, File_Cache& files, const Load_Options& options)
{
    // A folder, FIFO or missing file is refused here, before assimp looks.
    std::string text = files.read(import.path, "");
    if (import.obj) {
        import.obj_check = CheckObj(text, import.name, files);
        files.put(import.path, std::move(text)); // without its byte-order mark
    } else if (import.format == "ply" || text.compare(0, 3, "ply") == 0) {
        CheckPly(text, import.name);
    } else if (import.format == "stl" && stl_is_ascii(text)) {
        CheckDecimalText(text, 0, 1, import.name, "facet vertex");
    }

    Assimp::Importer importer;
    importer.SetIOHandler(new Cache_IO_System(files)); // the importer owns it
    importer.SetPropertyFloat(AI_CONFIG_PP_GSN_MAX_SMOOTHING_ANGLE, options.crease_angle_degrees);
    importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
    importer.SetPropertyInteger(AI_CONFIG_PP_RVC_FLAGS, aiComponent_COLORS | aiComponent_TANGENTS_AND_BITANGENTS |
                                                            aiComponent_BONEWEIGHTS | aiComponent_ANIMATIONS |
                                                            aiComponent_LIGHTS | aiComponent_CAMERAS);
    // The importer's scene is its own until post-processing, which changes it in place too.
    aiScene* read = const_cast<aiScene*>(importer.ReadFile(import.path, 0));
    if (read == nullptr)
        throw Load_Error(import.name + ": " + one_line(importer.GetErrorString()));
    if (read->mNumMeshes == 0 || read->mMeshes == nullptr)
        throw Load_Error(import.name + ": no faces to draw");

    Scene scene;
    scene.name = import.name;
    scene.source.format = import.format;
    scene.source.meshes = read->mNumMeshes;
    scene.source.materials = read->mNumMaterials;
    for (unsigned m = 0; m < read->mNumMeshes; ++m) {
        if (read->mMeshes[m] == nullptr)
            throw Load_Error(import.name + ": mesh " + std::to_string(m) + " is missing");
        scene.source.faces += read->mMeshes[m]->mNumFaces;
        UnshareVertices(*read->mMeshes[m], import.name);
    }

    // Triangles in world space first; then normals where the file has none,
    // and only then are identical vertices shared.
    const aiScene* ai = importer.ApplyPostProcessing(aiProcess_ValidateDataStructure | aiProcess_RemoveComponent |
                                                     aiProcess_Triangulate | aiProcess_SortByPType |
                                                     aiProcess_PreTransformVertices);
    if (ai == nullptr || ai->mNumMeshes == 0)
        throw Load_Error(import.name + ": " +
                         (ai == nullptr ? one_line(importer.GetErrorString()) : std::string("no faces to draw")));
    // Our own join: assimp's keeps a 272-byte record per corner, a few
    // hundred megabytes on a mesh of a million triangles.
    bool joined = true;
    for (unsigned m = 0; m < ai->mNumMeshes; ++m) {
        SmoothNormals(*ai->mMeshes[m], options.crease_angle_degrees);
        joined = JoinIdenticalVertices(*ai->mMeshes[m]) && joined;
    }
    ai = importer.ApplyPostProcessing((joined ? 0u : static_cast<unsigned>(aiProcess_JoinIdenticalVertices)) |
                                      aiProcess_ValidateDataStructure);
    if (ai == nullptr)
        throw Load_Error(import.name + ": " + one_line(importer.GetErrorString()));

    std::vector<int> material_of, texture_of;
    convert_materials(*ai, import, options, files, scene, material_of, texture_of);
    convert_meshes(*ai, import, material_of, texture_of, scene);
    if (scene.indices.empty())
        throw Load_Error(import.name + ": no faces to draw");
    if (scene.materials.empty())
        scene.materials.push_back(NeutralGrey());

    for (int a = 0; a < 3; ++a)
        scene.box_min[a] = scene.box_max[a] = scene.vertices[0].pos[a];
    for (const Vertex& v : scene.vertices)
        for (int a = 0; a < 3; ++a) {
            scene.box_min[a] = std::fmin(scene.box_min[a], v.pos[a]);
            scene.box_max[a] = std::fmax(scene.box_max[a], v.pos[a]);
        }
    return scene;
}

std::string fits_message(const std::string& name, std::size_t count, const char* what, int limit, int held)
{
    std::string text = name + " has " + std::to_string(count) + " " + what + "; the engine holds " +
                       std::to_string(limit);
    if (held > 0)
        text += ", " + std::to_string(held) + " of them in use";
    return text;
}

} // namespace

IGraphicsEngine::MATERIAL NeutralGrey()
{
    const float grey[3] = {0.6f, 0.6f, 0.6f};
    return make_material(grey);
}

Scene ReadScene(const std::string& path, const Load_Options& options)
{
    File_Cache files;
    Import import;
    import.name = path;
    import.path = path;
    import.format = extension_of(path);
    import.obj = import.format == "obj";
    return import_scene(import, files, options);
}

Scene ReadSceneFromMemory(const void* data, std::size_t size, const std::string& format, const std::string& name,
                          const Load_Options& options)
{
    File_Cache files(true);
    Import import;
    import.name = name;
    import.format = lower(format);
    import.path = "scene_in_memory." + import.format;
    import.obj = import.format == "obj";
    files.put(import.path, std::string(static_cast<const char*>(data), size));
    return import_scene(import, files, options);
}

Scene_Info AddScene(IGraphicsEngine& engine, const Scene& scene, const IGraphicsEngine::MATRIX4& placement)
{
    // What the store holds: refuse with the file's name before anything is added.
    int held[4] = {0, 0, 0, 0}; // vertices, indices, materials, textures
    int capacity[4] = {max_vertices, max_indices, max_materials - 1, max_textures};
    if (const auto* store = dynamic_cast<const Common_Graphics_Engine*>(&engine)) {
        held[0] = store->VertexCount();
        held[1] = store->IndexCount();
        held[2] = store->MaterialCount();
        held[3] = store->TextureCount();
        capacity[0] = store->VertexCapacity();
        capacity[1] = store->IndexCapacity();
    }
    const auto room = [&](int k) { return static_cast<std::size_t>(capacity[k] - held[k]); };
    if (scene.vertices.size() > room(0))
        throw TAU_ERROR::Out_Of_Range(
            fits_message(scene.name, scene.vertices.size(), "vertices", capacity[0], held[0]));
    if (scene.indices.size() > room(1))
        throw TAU_ERROR::Out_Of_Range(
            fits_message(scene.name, scene.indices.size() / 3, "triangles", capacity[1] / 3, held[1] / 3));
    if (scene.materials.size() > room(2))
        throw TAU_ERROR::Out_Of_Range(
            fits_message(scene.name, scene.materials.size(), "materials", capacity[2], held[2]));
    if (scene.textures.size() > room(3))
        throw TAU_ERROR::Out_Of_Range(
            fits_message(scene.name, scene.textures.size(), "textures", capacity[3], held[3]));

    Scene_Info info;
    info.first_vertex = held[0];
    info.first_index = held[1];
    info.first_material = held[2];
    info.first_texture = held[3];
    std::vector<int> material_index;
    for (const Material& m : scene.materials)
        material_index.push_back(static_cast<int>(engine.AddMaterial(m)) - 1);
    std::vector<unsigned char> texture_index;
    for (const Texture& t : scene.textures)
        texture_index.push_back(static_cast<unsigned char>(engine.AddTexture(
            t.rgba.data(), static_cast<unsigned>(t.width), static_cast<unsigned>(t.height), 0)));
    if (!material_index.empty())
        info.first_material = material_index[0];
    if (!texture_index.empty())
        info.first_texture = texture_index[0];

    std::vector<Vertex> placed(scene.vertices);
    for (Vertex& v : placed) {
        v.pos = placement * v.pos;
        v.norm = unit_or(placement * v.norm, v.norm);
        v.material_id = material_index[static_cast<std::size_t>(v.material_id)];
        if (v.tex_id[0] != TAU_GRAPHICS::kNoTexture)
            v.tex_id[0] = texture_index[v.tex_id[0]];
    }
    if (!placed.empty()) {
        for (int a = 0; a < 3; ++a)
            info.box_min[a] = info.box_max[a] = placed[0].pos[a];
        for (const Vertex& v : placed)
            for (int a = 0; a < 3; ++a) {
                info.box_min[a] = std::fmin(info.box_min[a], v.pos[a]);
                info.box_max[a] = std::fmax(info.box_max[a], v.pos[a]);
            }
    }
    if (!scene.indices.empty())
        engine.AddTriangles(placed.data(), static_cast<int>(placed.size()), scene.indices.data(),
                            static_cast<int>(scene.indices.size()));
    info.vertices = static_cast<int>(placed.size());
    info.triangles = static_cast<int>(scene.indices.size() / 3);
    info.materials = static_cast<int>(scene.materials.size());
    info.textures = static_cast<int>(scene.textures.size());
    return info;
}

Scene_Info LoadScene(const std::string& path, IGraphicsEngine& engine, const Load_Options& options)
{
    const Scene scene = ReadScene(path, options);
    const auto* store = dynamic_cast<const Common_Graphics_Engine*>(&engine);
    const bool past_capacity = store != nullptr &&
                               (scene.vertices.size() > static_cast<std::size_t>(store->VertexCapacity()) ||
                                scene.indices.size() > static_cast<std::size_t>(store->IndexCapacity()));
    if (past_capacity && store->IndexCount() == 0 && store->SphereCount() == 0)
        reserve_capacity(engine, scene.vertices.size(), scene.indices.size());
    return AddScene(engine, scene, IGraphicsEngine::MATRIX4());
}

} // namespace io
} // namespace koru
