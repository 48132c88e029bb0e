// The finished node array renumbered breadth-first: the root, then every
// node of depth 1 from left to right, then depth 2, and so on; children stay
// side by side, so each inner node keeps one child index.
#include <vector>

#include "kdtree.h"

namespace RAYTR {

void KdTree::ReorderBreadthFirst()
{
    std::vector<uint32_t> order;
    order.reserve(node_count);
    order.push_back(0);
    for (std::size_t head = 0; head < order.size(); ++head) {
        const KdTreeNode& entry = nodes[order[head]];
        if (!kd_is_leaf(entry)) {
            order.push_back(kd_left_child(entry));
            order.push_back(kd_left_child(entry) + 1);
        }
    }
    std::vector<uint32_t> new_number(node_count);
    for (uint32_t i = 0; i < order.size(); ++i)
        new_number[order[i]] = i;

    KdTreeNode* renumbered =
        static_cast<KdTreeNode*>(TAU_MATH::aligned_malloc(node_count * sizeof(KdTreeNode), 16));
    for (uint32_t i = 0; i < order.size(); ++i) {
        const KdTreeNode& old = nodes[order[i]];
        const uint32_t high = old.word1 & (kd_leaf_bit | kd_axis_bits);
        renumbered[i].word0 = old.word0;
        renumbered[i].word1 = high | (kd_is_leaf(old) ? kd_child_mask : new_number[kd_left_child(old)]);
    }
    TAU_MATH::aligned_free(nodes);
    nodes = renumbered;
    node_array_size = node_count;
}

} // namespace RAYTR
