// Shared by the fuzz targets: a reader that turns the fuzzer's bytes into
// choices, the values worth trying, silence for the notices the library
// prints, and a CPU engine whose scene state can be compared.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "engine/engines.h"
#include "store/engine_access.h"
#include "engine/tau_error.h"
#include "kdtree/kdtree.h"

namespace koru_fuzz {

// Ends the run the way a sanitizer would, so that libFuzzer keeps the input.
[[noreturn]] inline void violated(const char* what, const std::string& detail = std::string())
{
    std::fprintf(stdout, "invariant violated: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stdout);
    std::abort();
}

#define KORU_FUZZ_CHECK(condition, ...)                                                                          \
    do {                                                                                                         \
        if (!(condition))                                                                                        \
            ::koru_fuzz::violated(#condition, ##__VA_ARGS__);                                                    \
    } while (0)

// Every error of the family announces itself on standard error and every
// kd-tree build prints its statistics there; at fuzzing speed that is all
// the output would hold. The C stream and std::cerr go quiet; file
// descriptor 2 stays, so sanitizer reports and libFuzzer's lines still show.
// KORU_FUZZ_VERBOSE=1 keeps everything.
inline void quiet_output()
{
    const char* verbose = std::getenv("KORU_FUZZ_VERBOSE");
    if (verbose != nullptr && std::strcmp(verbose, "0") != 0)
        return;
    if (std::FILE* null_stream = std::fopen("/dev/null", "w"))
        stderr = null_stream;
    std::cerr.rdbuf(nullptr);
}

// The fuzzer's bytes read front to back; past the end every read gives 0.
class Bytes {
public:
    Bytes(const uint8_t* data, std::size_t size) : p(data), end(data + size) {}

    bool empty() const { return p == end; }
    std::size_t left() const { return static_cast<std::size_t>(end - p); }

    uint8_t byte() { return p < end ? *p++ : 0; }

    uint32_t u32()
    {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k)
            v |= static_cast<uint32_t>(byte()) << (8 * k);
        return v;
    }

    // 0 .. n-1
    unsigned below(unsigned n) { return n == 0 ? 0 : byte() % n; }

    // Half of the time one of the values that break arithmetic, mostly an
    // ordinary coordinate, now and then any bit pattern at all.
    float value()
    {
        static const float special[] = {
            0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 2.0f, 10.0f, -10.0f, 1e-7f, -1e-7f, 1e-30f, 1e30f, -1e30f,
            std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
            std::numeric_limits<float>::min(), std::numeric_limits<float>::denorm_min(),
            std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(), 16777217.0f,
            3.0e38f, 65535.0f};
        constexpr unsigned n_special = sizeof special / sizeof special[0];
        const uint8_t k = byte();
        if (k < 128)
            return special[k % n_special];
        if (k < 232)
            return static_cast<float>(static_cast<int8_t>(byte())) * 0.125f;
        const uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }

    // An ordinary coordinate most of the time.
    float coordinate()
    {
        const uint8_t k = byte();
        if (k < 224)
            return static_cast<float>(static_cast<int8_t>(byte())) * 0.0625f;
        return value();
    }

    void read(void* out, std::size_t size)
    {
        unsigned char* o = static_cast<unsigned char*>(out);
        for (std::size_t i = 0; i < size; ++i)
            o[i] = byte();
    }

private:
    const uint8_t* p;
    const uint8_t* end;
};

// The CPU engine with what the fuzz targets compare and check opened.
class Engine : public CPU_Ray_Tracer {
public:
    bool initialised() const { return kd_tree != nullptr; }
    int light_count() const { return point_light_count; }
    int material_total() const { return material_count; }
    int texture_total() const { return texture_count; }
    const IMAGE* texture_array() const { return textures; }
    // Frees the texture slots for reuse without a new Init (each slot's next
    // texture replaces its pixels).
    void forget_textures() { texture_count = 0; }
    // Empties the scene for the next input without Release and Init, whose
    // large allocations would cost more than most inputs; the kd-tree stays
    // until the next build replaces it.
    void clear_scene()
    {
        point_light_count = material_count = sphere_count = vertex_count = index_count = texture_count = 0;
    }

    // All of the scene and camera state, byte for byte: what a refused call
    // must leave as it was.
    std::vector<unsigned char> state() const
    {
        std::vector<unsigned char> s;
        const auto put = [&s](const void* data, std::size_t size) {
            const unsigned char* b = static_cast<const unsigned char*>(data);
            s.insert(s.end(), b, b + size);
        };
        const int counts[8] = {point_light_count, material_count, sphere_count, vertex_count,
                               index_count,       texture_count,  width,        height};
        put(counts, sizeof counts);
        put(&cam_position, sizeof cam_position);
        put(&cam_rotation, sizeof cam_rotation);
        put(&cam_direction, sizeof cam_direction);
        put(&cam_matrix, sizeof cam_matrix);
        put(&cam_rot_matrix, sizeof cam_rot_matrix);
        const void* pointers[2] = {frame_buffer, kd_tree};
        put(pointers, sizeof pointers);
        if (kd_tree == nullptr)
            return s;
        put(&kd_tree->node_count, sizeof kd_tree->node_count);
        put(point_lights, sizeof(LIGHT) * point_light_count);
        put(materials, sizeof(MATERIAL) * material_count);
        put(vertices, sizeof(VERTEX) * vertex_count);
        put(indices, sizeof(unsigned) * index_count);
        for (int k = 0; k < sphere_count; ++k) {
            put(&spheres[k].center, sizeof spheres[k].center);
            put(&spheres[k].radius, sizeof(float) * 2);
            put(&spheres[k].material_id, sizeof spheres[k].material_id);
        }
        for (int k = 0; k < texture_count; ++k) {
            put(&textures[k].width, sizeof(int) * 2);
            put(textures[k].data, textures[k].ByteCount());
        }
        return s;
    }

    // What must hold after every call, refused or not.
    void check_invariants() const
    {
        KORU_FUZZ_CHECK(point_light_count >= 0 && point_light_count <= kMaxPointLights);
        KORU_FUZZ_CHECK(material_count >= 0 && material_count < kMaxMaterials);
        KORU_FUZZ_CHECK(sphere_count >= 0 && sphere_count <= kMaxSpheres);
        KORU_FUZZ_CHECK(vertex_count >= 0 && vertex_count <= kMaxVertices);
        KORU_FUZZ_CHECK(index_count >= 0 && index_count <= kMaxIndices && index_count % 3 == 0);
        KORU_FUZZ_CHECK(texture_count >= 0 && texture_count <= kMaxTextures);
        if (kd_tree == nullptr) {
            KORU_FUZZ_CHECK(frame_buffer == nullptr && vertices == nullptr && textures == nullptr);
            KORU_FUZZ_CHECK(point_light_count + material_count + sphere_count + vertex_count + index_count +
                                texture_count ==
                            0);
            return;
        }
        KORU_FUZZ_CHECK(width > 0 && height > 0 && frame_buffer != nullptr);
        for (int j = 0; j < index_count; ++j)
            KORU_FUZZ_CHECK(indices[j] < static_cast<unsigned>(vertex_count), "index " + std::to_string(j));
        for (int k = 0; k < vertex_count; ++k) {
            const VERTEX& v = vertices[k];
            KORU_FUZZ_CHECK(v.material_id >= 0 && v.material_id < kMaxMaterials);
            for (int a = 0; a < 3; ++a)
                KORU_FUZZ_CHECK(std::isfinite(v.pos[a]) && std::isfinite(v.norm[a]), "vertex " + std::to_string(k));
        }
        for (int k = 0; k < texture_count; ++k)
            KORU_FUZZ_CHECK(textures[k].width > 0 && textures[k].height > 0 && textures[k].data != nullptr);
    }
};

// A scene this small fits the builder's node array and record space many
// times over; running out of either is a fault of the builder, not a limit.
constexpr std::size_t small_scene_primitives = 64;

// Walks a built tree from the root and checks that every node, record and
// index it holds lies inside what the tree owns.
inline void check_tree(const RAYTR::KdTree& tree)
{
    KORU_FUZZ_CHECK(tree.node_count >= 1 && tree.node_count <= RAYTR::KdTree::node_capacity);
    KORU_FUZZ_CHECK(tree.obj_list_data_top <= tree.obj_list_data_size);
    struct Item {
        uint32_t node;
        int depth;
    };
    std::vector<Item> stack{{0, 0}};
    uint32_t visited = 0;
    while (!stack.empty()) {
        const Item item = stack.back();
        stack.pop_back();
        KORU_FUZZ_CHECK(item.node < tree.node_count);
        KORU_FUZZ_CHECK(item.depth <= RAYTR::kd_max_depth);
        KORU_FUZZ_CHECK(++visited <= tree.node_count, "a node is reached twice");
        const RAYTR::KdTreeNode& n = tree.nodes[item.node];
        if (!RAYTR::kd_is_leaf(n)) {
            const uint32_t left = RAYTR::kd_left_child(n);
            KORU_FUZZ_CHECK(left > item.node && left + 1 < tree.node_count);
            KORU_FUZZ_CHECK(RAYTR::kd_axis(n) >= 0 && RAYTR::kd_axis(n) <= 2);
            stack.push_back({left, item.depth + 1});
            stack.push_back({left + 1, item.depth + 1});
            continue;
        }
        const int32_t offset = RAYTR::kd_leaf_offset(n);
        if (offset < 0)
            continue;
        KORU_FUZZ_CHECK(static_cast<uint32_t>(offset) + 4 <= tree.obj_list_data_top);
        const unsigned char* record = tree.obj_list_data + offset;
        const uint32_t n_tri = RAYTR::kd_record_triangle_count(record);
        const uint32_t n_sph = RAYTR::kd_record_sphere_count(record);
        KORU_FUZZ_CHECK(static_cast<uint64_t>(offset) + 4 + 12ull * n_tri + 4ull * n_sph <= tree.obj_list_data_top);
        const uint32_t* triangles = RAYTR::kd_record_triangles(record);
        for (uint32_t t = 0; t < 3 * n_tri; ++t)
            KORU_FUZZ_CHECK(triangles[t] < tree.vertex_count);
        uint32_t sphere;
        for (uint32_t k = 0; k < n_sph; ++k) {
            std::memcpy(&sphere, record + 4 + 12 * n_tri + 4 * k, sizeof sphere);
            KORU_FUZZ_CHECK(sphere < tree.sphere_count);
        }
    }
}

} // namespace koru_fuzz
