// What the CPU tracer's walks read of an engine.
#include "traversal.h"

#include "../kdtree/kdtree.h"
#include "../store/engine_access.h"

namespace koru {
namespace cpu {

rt::Tree_View tree_view(const Common_Graphics_Engine& engine)
{
    const RAYTR::KdTree* kd_tree = Engine_Access::kd_tree(engine);
    rt::Tree_View view;
    view.nodes = kd_tree ? kd_tree->nodes : nullptr;
    view.node_count = kd_tree ? kd_tree->node_count : 0;
    if (kd_tree)
        view.world_box = kd_tree->world_box;
    view.obj_list = kd_tree ? kd_tree->obj_list_data : nullptr;
    view.vertices = engine.Vertices();
    view.scale = kd_tree ? rt::box_scale(kd_tree->world_box) : 0.0f;
    return view;
}

Packet_Tree packet_tree(const CPU_Ray_Tracer& engine)
{
    Packet_Tree tree;
    tree.view = tree_view(engine);
    const Leaf_Blocks* blocks = Engine_Access::leaf_blocks(engine);
    tree.blocks = blocks != nullptr && blocks->made_for(tree.view) ? blocks : nullptr;
    return tree;
}

} // namespace cpu
} // namespace koru
