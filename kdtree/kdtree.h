// The kd-tree over the scene's triangles and spheres, built on the host with
// the surface area heuristic and flattened into the node array and object
// list that both tracers read.
#pragma once

#include <cstdint>
#include <vector>

#include "../engine/tau_graphics.h"
#include "../engine/tau_math.h"
#include "kdtree_format.h"

namespace RAYTR {

// The answer of a split search.
struct SplitChoice {
    float position;
    int32_t axis;
    bool split; // false: make the node a leaf
};

class KdTree : public TAU_MATH::SSE_Aligned_Object {
public:
    static constexpr uint32_t node_capacity = 1u << 20;          // 1,048,576 entries, 8 MiB
    static constexpr uint32_t obj_list_capacity = 37748736u;     // 36 MiB
    // Where a growing build starts (grow_on_demand).
    static constexpr uint32_t grow_start_nodes = 1u << 12;
    static constexpr uint32_t grow_start_list_bytes = 1u << 16;

    // The builder's view of one scene primitive (exists only during Build).
    class KPrimitive {
    public:
        KPrimitive(const KdTree* owner, uint32_t index) : owner(owner), index(index) {}

        virtual bool OverlapsBox(const KdTreeBox& box) const = 0;
        virtual void ExtendBox(KdTreeBox& box) const = 0;
        virtual TAU_MATH::VECTOR<4, float> GetCenter() const = 0;
        virtual int32_t GetType() const = 0;      // 0 triangle, 1 sphere
        virtual uint32_t GetIndex() const = 0;
        virtual int32_t GetListBytes() const = 0; // bytes in an object record
        virtual float GetMax(int axis) const = 0;
        virtual float GetMin(int axis) const = 0;

    protected:
        ~KPrimitive() = default; // never deleted through the base

        const KdTree* owner;
        uint32_t index;
    };

    // Index k is the triangle's first position in the index array.
    class KTriangle final : public KPrimitive {
    public:
        using KPrimitive::KPrimitive;
        bool OverlapsBox(const KdTreeBox& box) const override;
        void ExtendBox(KdTreeBox& box) const override;
        TAU_MATH::VECTOR<4, float> GetCenter() const override;
        int32_t GetType() const override { return 0; }
        uint32_t GetIndex() const override { return index; }
        int32_t GetListBytes() const override { return 12; }
        float GetMax(int axis) const override;
        float GetMin(int axis) const override;
    };

    // Index i is the sphere's position in the sphere array.
    class KSphere final : public KPrimitive {
    public:
        using KPrimitive::KPrimitive;
        bool OverlapsBox(const KdTreeBox& box) const override;
        void ExtendBox(KdTreeBox& box) const override;
        TAU_MATH::VECTOR<4, float> GetCenter() const override;
        int32_t GetType() const override { return 1; }
        uint32_t GetIndex() const override { return index; }
        int32_t GetListBytes() const override { return 4; }
        float GetMax(int axis) const override;
        float GetMin(int axis) const override;
    };

    using PrimitiveList = std::vector<const KPrimitive*>;

    KdTree();
    ~KdTree();
    KdTree(const KdTree&) = delete;
    KdTree& operator=(const KdTree&) = delete;

    void SetVertices(const TAU_GRAPHICS::VERTEX<4, float>* vertices, uint32_t count);
    void SetIndices(const uint32_t* indices, uint32_t count);
    void SetSpheres(const TAU_MATH::SPHERE<4, float>* spheres, uint32_t count);

    // Builds the tree and prints its statistics to standard error.
    void Build();

    // Split search and cost (public so that they can be checked in isolation).
    float SAHCost(const KdTreeBox& box, float position, int axis, uint32_t n_left, uint32_t n_right,
                  uint32_t n_total, bool* verdict) const;
    SplitChoice FindSplitPosNaive(const PrimitiveList& list, const KdTreeBox& box) const;
    SplitChoice FindSplitPosSAH(const PrimitiveList& list, const KdTreeBox& box) const;

    // Off: the node array and the object list have the fixed capacities
    // above, and a build that needs more is refused. On (large scenes): both
    // start small and grow as the build needs them, the object list up to
    // what a leaf offset addresses (kd_max_list_bytes), and the list ends
    // trimmed to the bytes used (obj_list_data_size = obj_list_data_top).
    bool grow_on_demand = false;
    // Threads of a build: above one, the subtrees below the top levels are
    // built as tasks and joined into exactly the tree one thread builds. Each
    // thread past the first takes about 10 bytes per primitive and 80 per
    // entry of its longest subtree list, and the top levels, while they are
    // built, about 100 bytes per primitive more.
    int32_t build_threads = 1;
    int32_t leaf_prim_limit = 4;
    int32_t naive_search_limit = 64;
    float sah_count_bias = 0.5f;
    float sah_leaf_factor = 1.01f;
    KdTreeNode* nodes = nullptr;
    uint32_t node_count = 0;
    uint32_t node_array_size = 0; // entries allocated
    KdTreeBox world_box;
    const TAU_MATH::SPHERE<4, float>* spheres = nullptr;
    uint32_t sphere_count = 0;
    const TAU_GRAPHICS::VERTEX<4, float>* vertices = nullptr;
    uint32_t vertex_count = 0;
    const uint32_t* indices = nullptr;
    uint32_t index_count = 0;
    unsigned char* obj_list_data = nullptr;
    uint32_t obj_list_data_size = 0;
    uint32_t obj_list_data_top = 0;
    int32_t empty_leaf_count = 0;
    int32_t leaf_count = 0;
    int32_t leaf_prim_total = 0;
    int32_t full_leaf_count = 0;
    int32_t cost_forced_leaves = 0;

private:
    friend class KdTreeTestAccess; // unit tests drive single build steps

    // Scratch of one build: cached primitive bounds and corners, per-depth
    // lists with their sorted orders, and the split search's buffers
    // (build.cpp).
    struct BuildScratch;
    struct SubtreeJob;
    struct SubtreeQueue;
    // A subtree's tree in a build on several threads: growing arrays from
    // the start.
    struct Growing {};
    explicit KdTree(Growing);

    // A primitive inside a build is its position in the root list: spheres
    // first (id = sphere index), then triangles (id = sphere count + k / 3).
    void ComputeWorldBox(const PrimitiveList& root);
    void RefuseOverflowingSums() const;
    // Splits the node whose list waits in the scratch at this budget and slot.
    void subdivide(uint32_t node, const KdTreeBox& box, int budget, int slot, BuildScratch& scratch);
    void classify(const uint32_t* list, uint32_t begin, uint32_t end, uint32_t n, const KdTreeBox& left_box,
                  const KdTreeBox& right_box, int axis, uint32_t (&child_n)[2], BuildScratch& scratch) const;
    uint32_t AllocChildren(uint32_t node);
    void GrowNodes(uint64_t needed);
    void GrowObjList(uint64_t needed);
    // The build on build_threads threads (parallel_build.cpp).
    void SubdivideInParallel(BuildScratch& scratch, uint32_t n_primitives);
    void build_subtree(SubtreeJob& job, BuildScratch& own) const;
    void JoinSubtree(const SubtreeJob& job, const KdTree& subtree, std::vector<unsigned char>& records);
    void LayOutRecords(const std::vector<unsigned char>& records);
    void MakeLeaf(uint32_t node, const uint32_t* list, uint32_t n);
    void CountLeaves(uint32_t node);
    void PrintStatistics() const;
    void ReorderBreadthFirst();
    void ResetForBuild();

    // While the top levels of a parallel build are made: where subtrees at
    // job_budget are left for the threads.
    SubtreeQueue* subtree_queue = nullptr;
    int job_budget = -1;
};

} // namespace RAYTR
