// Room in an engine's store for a model larger than the default capacities,
// asked for by the programs that load one, once the model is read and before
// Init or anything is added.
#pragma once

#include <climits>
#include <cstddef>
#include <string>

#include "../engine/graphics_engine.h"
#include "../engine/tau_error.h"

namespace koru {

// A model of up to kMaxVertices vertices and kMaxIndices indices changes
// nothing. A larger one gets SetCapacity with room for itself and, beside it,
// as much again as the defaults hold (a demo's floor, lights' markers). A
// model past what a store counts (a 32-bit int) is refused with Out_Of_Range.
inline void reserve_capacity(IGraphicsEngine& engine, std::size_t n_vertices, std::size_t n_indices)
{
    Common_Graphics_Engine* store = dynamic_cast<Common_Graphics_Engine*>(&engine);
    const auto over = [](std::size_t n, int limit) { return n > static_cast<std::size_t>(limit); };
    if (store == nullptr || (!over(n_vertices, Common_Graphics_Engine::kMaxVertices) &&
                             !over(n_indices, Common_Graphics_Engine::kMaxIndices)))
        return;
    const auto room = [](std::size_t n, int base, const char* what) {
        if (n > static_cast<std::size_t>(INT_MAX - base))
            throw TAU_ERROR::Out_Of_Range("The model has " + std::to_string(n) + " " + what +
                                          ", more than an engine holds");
        return static_cast<int>(n) + base;
    };
    store->SetCapacity(room(n_vertices, Common_Graphics_Engine::kMaxVertices, "vertices"),
                       room(n_indices, Common_Graphics_Engine::kMaxIndices, "indices"), store->SphereCapacity());
}

} // namespace koru
