// The kd-tree build on several threads: the top levels on the calling thread
// down to a cut (their long nodes' search, classification and partition
// shared out as tasks), each subtree below it a task started as soon as it
// is cut off, into a tree of its own, then joined. The subtrees' nodes are appended (the breadth-first
// renumbering that follows depends only on the shape), and the leaf records
// are laid out again in the order one thread writes them, so the result is
// the tree a single thread builds, to the bit.
#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <vector>

#include <omp.h>

#include "build_scratch.h"
#include "kdtree.h"

namespace RAYTR {

namespace {

// Depth of the cut: some eight subtrees a thread or more, so that the
// threads can share out subtrees of uneven sizes.
int cut_depth(int threads)
{
    int depth = 3;
    while ((1 << depth) < 8 * threads && depth < kd_max_depth - 1)
        ++depth;
    return depth;
}

} // namespace

void KdTree::SubdivideInParallel(BuildScratch& scratch, uint32_t n_primitives)
{
    // Each thread builds its subtrees in scratch of its own, sized on demand.
    std::vector<std::unique_ptr<BuildScratch>> own(static_cast<std::size_t>(build_threads));
    std::vector<uint32_t> own_longest(own.size(), 0);
    SubtreeQueue queue;
    queue.start = [&](SubtreeJob& job) {
        SubtreeJob* started = &job;
#pragma omp task firstprivate(started) shared(own, own_longest, scratch)
        {
            SubtreeJob& job = *started;
            try {
                const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
                if (!own[t]) {
                    own[t].reset(new BuildScratch);
                    own[t]->regular = scratch.regular;
                    own[t]->finite_corners = scratch.finite_corners;
                    own[t]->corners = scratch.corners;
                    for (int a = 0; a < 3; ++a) {
                        own[t]->lo[a] = scratch.lo[a];
                        own[t]->hi[a] = scratch.hi[a];
                    }
                }
                if (job.frame.n > own_longest[t]) {
                    own_longest[t] = job.frame.n;
                    own[t]->size_for(n_primitives, job.frame.n);
                }
                build_subtree(job, *own[t]);
            } catch (...) {
                job.failure = std::current_exception();
            }
        }
    };

    // The calling thread makes the top levels and starts each subtree as a
    // task as soon as it is cut off; the other threads take them up at once.
    subtree_queue = &queue;
    job_budget = kd_max_depth - cut_depth(build_threads);
    std::exception_ptr top_failure;
#pragma omp parallel num_threads(build_threads)
#pragma omp single
    {
        try {
            if (scratch.regular)
                for (build::SearchBuffers& buffers : scratch.axis_search)
                    buffers.resize(n_primitives);
            subdivide(0, world_box, kd_max_depth, 0, scratch);
        } catch (...) {
            top_failure = std::current_exception();
        }
    }
    subtree_queue = nullptr;
    for (build::SearchBuffers& buffers : scratch.axis_search)
        buffers = build::SearchBuffers();
    own.clear();
    if (top_failure)
        std::rethrow_exception(top_failure);
    std::deque<SubtreeJob>& jobs = queue.jobs;

    // The first subtree's refusal, in the order one thread meets them.
    for (const SubtreeJob& job : jobs)
        if (job.failure)
            std::rethrow_exception(job.failure);

    // The node array as one thread fills it, or its refusal.
    uint64_t total_nodes = node_count;
    for (const SubtreeJob& job : jobs)
        total_nodes += job.tree->node_count - 1;
    if (total_nodes > node_array_size)
        GrowNodes(total_nodes);

    // The top levels' records first, then each subtree's, offsets moved along.
    std::vector<unsigned char> records(obj_list_data, obj_list_data + obj_list_data_top);
    for (SubtreeJob& job : jobs) {
        JoinSubtree(job, *job.tree, records);
        job.tree.reset();
    }
    LayOutRecords(records);
}

// A subtree grows in arrays of its own from node 0, its root.
void KdTree::build_subtree(SubtreeJob& job, BuildScratch& own) const
{
    std::unique_ptr<KdTree> sub(new KdTree(Growing{}));
    sub->ResetForBuild();
    sub->obj_list_data = new unsigned char[grow_start_list_bytes];
    sub->obj_list_data_size = grow_start_list_bytes;
    sub->vertices = vertices;
    sub->vertex_count = vertex_count;
    sub->indices = indices;
    sub->index_count = index_count;
    sub->spheres = spheres;
    sub->sphere_count = sphere_count;
    sub->leaf_prim_limit = leaf_prim_limit;
    sub->naive_search_limit = naive_search_limit;
    sub->sah_count_bias = sah_count_bias;
    sub->sah_leaf_factor = sah_leaf_factor;
    sub->world_box = world_box;
    sub->node_count = 1;
    own.frames[job.budget][0] = std::move(job.frame);
    sub->subdivide(0, job.box, job.budget, 0, own);
    job.tree = std::move(sub);
}

// Subtree node i > 0 becomes node_count - 1 + i; its root takes the job's node.
void KdTree::JoinSubtree(const SubtreeJob& job, const KdTree& subtree, std::vector<unsigned char>& records)
{
    const uint64_t list_end = static_cast<uint64_t>(records.size()) + subtree.obj_list_data_top;
    if (list_end >= kd_max_list_bytes)
        GrowObjList(list_end);
    const uint32_t list_base = static_cast<uint32_t>(records.size());
    records.insert(records.end(), subtree.obj_list_data, subtree.obj_list_data + subtree.obj_list_data_top);
    const uint32_t base = node_count - 1;
    for (uint32_t i = 0; i < subtree.node_count; ++i) {
        KdTreeNode entry = subtree.nodes[i];
        if (!kd_is_leaf(entry))
            kd_set_left_child(entry, base + kd_left_child(entry));
        else if (entry.word0 != kd_empty_leaf)
            entry.word0 += list_base;
        nodes[i == 0 ? job.node : base + i] = entry;
    }
    node_count = base + subtree.node_count;
    cost_forced_leaves += subtree.cost_forced_leaves;
}

// The records in the order of their leaves depth first, left before right:
// the order in which one thread makes the leaves.
void KdTree::LayOutRecords(const std::vector<unsigned char>& records)
{
    if (records.size() >= obj_list_data_size)
        GrowObjList(records.size());
    uint32_t top = 0;
    std::vector<uint32_t> pending(1, 0);
    while (!pending.empty()) {
        KdTreeNode& entry = nodes[pending.back()];
        pending.pop_back();
        if (!kd_is_leaf(entry)) {
            pending.push_back(kd_left_child(entry) + 1);
            pending.push_back(kd_left_child(entry));
            continue;
        }
        if (entry.word0 == kd_empty_leaf)
            continue;
        const unsigned char* record = records.data() + entry.word0;
        const uint32_t bytes = static_cast<uint32_t>(
            kd_record_bytes(kd_record_triangle_count(record), kd_record_sphere_count(record)));
        std::memcpy(obj_list_data + top, record, bytes);
        entry.word0 = top;
        top += bytes;
    }
    obj_list_data_top = top;
}

} // namespace RAYTR
