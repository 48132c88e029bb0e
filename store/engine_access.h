// The engines' internals that the library's own code, its tools and its
// tests read: the kd-tree and the CPU tracer's leaf blocks. Not installed;
// the public headers name it only as a friend.
#pragma once

#include "../engine/engines.h"

namespace koru {

struct Engine_Access {
    // The kd-tree that BuildKdTree builds (unbuilt, with no nodes, until
    // then); null before Init and after Release.
    static const RAYTR::KdTree* kd_tree(const Common_Graphics_Engine& engine) { return engine.kd_tree; }

    // Made by BuildKdTree for the tree it built; null before.
    static const cpu::Leaf_Blocks* leaf_blocks(const CPU_Ray_Tracer& engine) { return engine.leaf_blocks; }
};

} // namespace koru
