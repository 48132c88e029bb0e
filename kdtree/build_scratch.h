// The scratch of one kd-tree build (kdtree.h, KdTree::BuildScratch): what
// the subdivision reads of every primitive, shared by the threads of a
// build, and each thread's own buffers and per-depth lists. Private to the
// builder's sources.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "kdtree.h"
#include "split_search.h"

namespace RAYTR {

struct KdTree::BuildScratch {
    // Shared by every thread of a build. Bounds of every primitive by id, per
    // axis, as GetMin/GetMax give them.
    const float* lo[3] = {nullptr, nullptr, nullptr};
    const float* hi[3] = {nullptr, nullptr, nullptr};
    // Triangle corners by triangle number (id - sphere count), x y z each.
    const float* corners = nullptr;
    // Finite bounds, none inverted: lists carry their sorted orders down the
    // tree, and both searches run over them. Otherwise every node gathers
    // its bounds and sorts them (the literal order, NaN included).
    bool regular = false;
    // Every corner within build::overlap_finite_limit.
    bool finite_corners = false;
    // Bounds of the current node's list, gathered for the search.
    std::vector<float> list_lo[3], list_hi[3];
    build::SortBuffers sort;
    build::SearchBuffers search;
    // Which children each primitive of the node being split goes to, by id:
    // bit 0 left, bit 1 right.
    std::vector<uint8_t> side_of;
    // List positions of the triangles that still need a test against the
    // left and the right child box.
    std::vector<uint32_t> pending[2];
    // The top levels of a build on several threads search the y and z axes
    // in buffers of their own (the x axis in `search`).
    build::SearchBuffers axis_search[2];

    // The per-thread buffers for a build of n primitives whose lists have
    // at most `longest` entries.
    void size_for(uint32_t n, uint32_t longest)
    {
        search.resize(n, longest);
        side_of.resize(n);
        pending[0].resize(longest);
        pending[1].resize(longest);
        if (!regular) {
            sort.resize(longest);
            for (int a = 0; a < 3; ++a) {
                list_lo[a].resize(longest);
                list_hi[a].resize(longest);
            }
        }
    }

    // A node's list, with its sorted orders when the build is regular and
    // the node will be searched.
    struct Frame {
        uint32_t n = 0;
        std::vector<uint32_t> ids, by_min[3], by_max[3];

        // One entry more than the list: a filter writes one past what it keeps.
        void reserve(uint32_t count, bool with_orders)
        {
            const std::size_t size = static_cast<std::size_t>(count) + 1;
            if (ids.size() < size)
                ids.resize(size);
            if (with_orders)
                for (int a = 0; a < 3; ++a) {
                    if (by_min[a].size() < size) {
                        by_min[a].resize(size);
                        by_max[a].resize(size);
                    }
                }
        }
        build::OrderedList ordered_list() const
        {
            build::OrderedList list;
            list.ids = ids.data();
            for (int a = 0; a < 3; ++a) {
                list.by_min[a] = by_min[a].data();
                list.by_max[a] = by_max[a].data();
            }
            list.n = n;
            return list;
        }
        // The list alone, with its orders when it has them, for another thread.
        Frame copy_of_list(bool with_orders) const
        {
            Frame copy;
            copy.n = n;
            const std::size_t size = static_cast<std::size_t>(n) + 1;
            copy.ids.assign(ids.begin(), ids.begin() + size);
            if (with_orders)
                for (int a = 0; a < 3; ++a) {
                    copy.by_min[a].assign(by_min[a].begin(), by_min[a].begin() + size);
                    copy.by_max[a].assign(by_max[a].begin(), by_max[a].begin() + size);
                }
            return copy;
        }
    };
    // The two children of the node being split at depth budget b wait in
    // frames[b - 1]; the root's list is frames[kd_max_depth][0]. The right
    // child keeps its frame while the left subtree works in the levels below.
    Frame frames[kd_max_depth + 1][2];
};

// A subtree left for another thread: the node it grows from, the node's box
// and depth budget, and its list.
struct KdTree::SubtreeJob {
    uint32_t node;
    KdTreeBox box;
    int budget;
    BuildScratch::Frame frame;
    // What its task made: the subtree, or the refusal.
    std::unique_ptr<KdTree> tree;
    std::exception_ptr failure;
};

// The subtrees cut off so far, in the order one thread would build them
// (a deque: a started job stays where it is), and what starts one.
struct KdTree::SubtreeQueue {
    std::deque<SubtreeJob> jobs;
    std::function<void(SubtreeJob&)> start;
};

} // namespace RAYTR
