// What a finished build reports on standard error.
#include <iostream>
#include <sstream>

#include "kdtree.h"

namespace RAYTR {

void KdTree::CountLeaves(uint32_t node)
{
    while (!kd_is_leaf(nodes[node])) {
        CountLeaves(kd_left_child(nodes[node]));
        node = kd_left_child(nodes[node]) + 1;
    }
    ++leaf_count;
    const int32_t offset = kd_leaf_offset(nodes[node]);
    if (offset < 0) {
        ++empty_leaf_count;
    } else {
        const unsigned char* record = obj_list_data + offset;
        leaf_prim_total += static_cast<int32_t>(kd_record_triangle_count(record) + kd_record_sphere_count(record));
        ++full_leaf_count;
    }
}

void KdTree::PrintStatistics() const
{
    // Without any leaf record the average is reported as 0.
    const float average =
        full_leaf_count != 0
            ? static_cast<float>(static_cast<double>(leaf_prim_total) / static_cast<double>(full_leaf_count))
            : 0.0f;
    auto line = [](const char* label, auto value) {
        std::ostringstream text; // the stream's default formats, whatever std::cerr was set to
        text << label << value;
        std::cerr << text.str() << std::endl;
    };
    line("Nodes:                     ", node_count);
    line("Leafes:                    ", leaf_count);
    line("Empty(leafes):             ", empty_leaf_count);
    line("Not Empty(leafes):         ", full_leaf_count);
    line("Avg_Prim (not empty l-fs): ", average);
    line("Cost forced leafes         ", cost_forced_leaves);
    line("KdTree.obj_list_data_top:  ", obj_list_data_top);
    line("KdTree.obj_list_data_size: ", obj_list_data_size);
}

} // namespace RAYTR
