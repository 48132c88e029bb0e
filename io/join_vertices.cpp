// Joining identical vertices (scene_files.h).
#include <assimp/mesh.h>

#include <climits>
#include <cstring>
#include <vector>

#include "number_kinds.h"
#include "scene_files.h"

namespace koru {
namespace io {

namespace {

// One of a vertex's attributes: its array and the bytes each vertex has there.
struct Attribute {
    unsigned char* data;
    std::size_t size;
};

template <class T>
void add(std::vector<Attribute>& attributes, T* data)
{
    if (data != nullptr)
        attributes.push_back({reinterpret_cast<unsigned char*>(data), sizeof(T)});
}

// The array of the first `count` vertices, moved into an allocation of
// that size.
template <class T>
void shrink(T*& data, unsigned count)
{
    if (data == nullptr)
        return;
    T* fresh = new T[count];
    std::memcpy(static_cast<void*>(fresh), data, sizeof(T) * count);
    delete[] data;
    data = fresh;
}

} // namespace

bool JoinIdenticalVertices(aiMesh& mesh)
{
    if (mesh.mNumBones > 0 || mesh.mNumAnimMeshes > 0)
        return false;
    const unsigned n = mesh.mNumVertices;
    if (n == 0 || mesh.mFaces == nullptr || mesh.mVertices == nullptr)
        return true;
    std::vector<Attribute> attributes;
    add(attributes, mesh.mVertices);
    add(attributes, mesh.mNormals);
    add(attributes, mesh.mTangents);
    add(attributes, mesh.mBitangents);
    for (aiVector3D* coordinates : mesh.mTextureCoords)
        add(attributes, coordinates);
    for (aiColor4D* colours : mesh.mColors)
        add(attributes, colours);

    const auto hash = [&](unsigned v) {
        uint64_t h = 1469598103934665603ull;
        for (const Attribute& a : attributes)
            for (std::size_t i = 0; i < a.size; i += 4) {
                uint32_t word;
                std::memcpy(&word, a.data + v * a.size + i, sizeof word);
                h = (h ^ word) * 1099511628211ull;
            }
        return h ^ (h >> 29);
    };
    const auto same = [&](unsigned x, unsigned y) {
        for (const Attribute& a : attributes)
            if (std::memcmp(a.data + x * a.size, a.data + y * a.size, a.size) != 0)
                return false;
        return true;
    };

    // The new number of a vertex is the order in which its kind first appears.
    std::vector<uint32_t> number;
    const unsigned kinds = number_kinds(n, hash, same, number);
    if (kinds == n)
        return true;

    // First appearances keep their order, so each moves down or stays.
    for (const Attribute& a : attributes) {
        unsigned next = 0;
        for (unsigned v = 0; v < n; ++v)
            if (number[v] == next) {
                if (next != v)
                    std::memcpy(a.data + next * a.size, a.data + v * a.size, a.size);
                ++next;
            }
    }
    shrink(mesh.mVertices, kinds);
    shrink(mesh.mNormals, kinds);
    shrink(mesh.mTangents, kinds);
    shrink(mesh.mBitangents, kinds);
    for (aiVector3D*& coordinates : mesh.mTextureCoords)
        shrink(coordinates, kinds);
    for (aiColor4D*& colours : mesh.mColors)
        shrink(colours, kinds);
    for (unsigned f = 0; f < mesh.mNumFaces; ++f)
        for (unsigned k = 0; k < mesh.mFaces[f].mNumIndices; ++k)
            if (mesh.mFaces[f].mIndices[k] < n)
                mesh.mFaces[f].mIndices[k] = number[mesh.mFaces[f].mIndices[k]];
    mesh.mNumVertices = kinds;
    return true;
}

} // namespace io
} // namespace koru
