// Normals of meshes whose files give none (scene_files.h).
#include <assimp/mesh.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "number_kinds.h"
#include "scene_files.h"

namespace koru {
namespace io {

namespace {

template <class T>
void corner_copy(T*& data, const aiMesh& mesh, std::size_t corners)
{
    if (data == nullptr)
        return;
    T* fresh = new T[corners];
    std::size_t c = 0;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f)
        for (unsigned k = 0; k < mesh.mFaces[f].mNumIndices; ++k)
            fresh[c++] = data[mesh.mFaces[f].mIndices[k]];
    delete[] data;
    data = fresh;
}

aiVector3D unit_or(const aiVector3D& n, const aiVector3D& fallback)
{
    const float length = n.Length();
    return length > 0.0f && std::isfinite(length) ? n / length : fallback;
}

} // namespace

// A shared vertex has one normal, so only corners of their own can keep
// creases; identical vertices are joined again after smoothing.
void UnshareVertices(aiMesh& mesh, const std::string& name)
{
    // Normals that are all zero (STL writers often leave them so) are no normals.
    if (mesh.mNormals != nullptr) {
        bool any = false;
        for (unsigned i = 0; i < mesh.mNumVertices && !any; ++i)
            any = mesh.mNormals[i].SquareLength() > 0.0f;
        if (!any) {
            delete[] mesh.mNormals;
            mesh.mNormals = nullptr;
        }
    }
    if (mesh.mNormals != nullptr || mesh.mNumBones > 0 || mesh.mNumAnimMeshes > 0 || mesh.mFaces == nullptr)
        return;
    std::size_t corners = 0;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        for (unsigned k = 0; k < face.mNumIndices; ++k)
            if (face.mIndices[k] >= mesh.mNumVertices)
                throw Load_Error(name + ": a face refers to vertex " + std::to_string(face.mIndices[k]) + " of " +
                                 std::to_string(mesh.mNumVertices));
        corners += face.mNumIndices;
    }
    if (corners > UINT_MAX)
        throw Load_Error(name + ": more than " + std::to_string(UINT_MAX) + " face corners in one mesh");
    corner_copy(mesh.mVertices, mesh, corners);
    corner_copy(mesh.mTangents, mesh, corners);
    corner_copy(mesh.mBitangents, mesh, corners);
    for (auto& coordinates : mesh.mTextureCoords)
        corner_copy(coordinates, mesh, corners);
    for (auto& colours : mesh.mColors)
        corner_copy(colours, mesh, corners);
    unsigned c = 0;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f)
        for (unsigned k = 0; k < mesh.mFaces[f].mNumIndices; ++k)
            mesh.mFaces[f].mIndices[k] = c++;
    mesh.mNumVertices = c;
}

void SmoothNormals(aiMesh& mesh, float crease_angle_degrees)
{
    if (mesh.mNormals != nullptr || mesh.mNumVertices == 0)
        return;
    const float crease_cosine = std::cos(crease_angle_degrees * 3.14159265358979f / 180.0f);
    // Each face's cross product: its length is twice the face's area, so
    // larger faces weigh more.
    std::vector<aiVector3D> face_normal(mesh.mNumFaces);
    std::vector<unsigned> face_of(mesh.mNumVertices, UINT_MAX);
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        if (face.mNumIndices != 3)
            continue;
        const aiVector3D& a = mesh.mVertices[face.mIndices[0]];
        face_normal[f] = (mesh.mVertices[face.mIndices[1]] - a) ^ (mesh.mVertices[face.mIndices[2]] - a);
        for (unsigned k = 0; k < 3; ++k)
            face_of[face.mIndices[k]] = f;
    }
    // The corners of faces, grouped by the bits of their position: those at
    // position p are by_position[first[p], first[p + 1]), in vertex order.
    std::vector<unsigned> corner;
    for (unsigned v = 0; v < mesh.mNumVertices; ++v)
        if (face_of[v] != UINT_MAX)
            corner.push_back(v);
    const auto bits = [&](unsigned i, unsigned a) {
        uint32_t word;
        std::memcpy(&word, &mesh.mVertices[corner[i]][a], sizeof word);
        return word;
    };
    const auto hash = [&](unsigned i) {
        return (static_cast<std::size_t>(bits(i, 0)) * 73856093u) ^ (static_cast<std::size_t>(bits(i, 1)) * 19349663u) ^
               (static_cast<std::size_t>(bits(i, 2)) * 83492791u);
    };
    const auto same = [&](unsigned x, unsigned y) {
        return bits(x, 0) == bits(y, 0) && bits(x, 1) == bits(y, 1) && bits(x, 2) == bits(y, 2);
    };
    std::vector<uint32_t> position_of;
    const unsigned n_corners = static_cast<unsigned>(corner.size());
    const unsigned n_positions = number_kinds(n_corners, hash, same, position_of);
    std::vector<unsigned> first(static_cast<std::size_t>(n_positions) + 1, 0);
    for (unsigned i = 0; i < n_corners; ++i)
        ++first[position_of[i] + 1];
    for (unsigned p = 0; p < n_positions; ++p)
        first[p + 1] += first[p];
    std::vector<unsigned> by_position(n_corners);
    {
        std::vector<unsigned> next(first.begin(), first.end() - 1);
        for (unsigned i = 0; i < n_corners; ++i)
            by_position[next[position_of[i]]++] = corner[i];
    }

    // The faces around a position fall into groups that turn less than the
    // crease angle from the group's first face; a corner takes its group's
    // area-weighted normal. Seeds lie more than the crease angle apart, so a
    // position has few groups however many faces meet there.
    const aiVector3D up(0.0f, 0.0f, 1.0f);
    mesh.mNormals = new aiVector3D[mesh.mNumVertices];
    for (unsigned v = 0; v < mesh.mNumVertices; ++v)
        mesh.mNormals[v] = face_of[v] != UINT_MAX ? unit_or(face_normal[face_of[v]], up) : up;
    std::vector<aiVector3D> seeds, sums;
    std::vector<unsigned> group_of;
    for (unsigned p = 0; p < n_positions; ++p) {
        const unsigned* corners = by_position.data() + first[p];
        const std::size_t count = first[p + 1] - first[p];
        seeds.clear();
        sums.clear();
        group_of.assign(count, 0);
        for (std::size_t c = 0; c < count; ++c) {
            const aiVector3D& area_normal = face_normal[face_of[corners[c]]];
            const aiVector3D n = unit_or(area_normal, up);
            std::size_t g = 0;
            while (g < seeds.size() && seeds[g] * n < crease_cosine)
                ++g;
            if (g == seeds.size()) {
                seeds.push_back(n);
                sums.push_back(aiVector3D(0.0f, 0.0f, 0.0f));
            }
            sums[g] += area_normal;
            group_of[c] = static_cast<unsigned>(g);
        }
        for (std::size_t c = 0; c < count; ++c)
            mesh.mNormals[corners[c]] = unit_or(sums[group_of[c]], seeds[group_of[c]]);
    }
}

} // namespace io
} // namespace koru
