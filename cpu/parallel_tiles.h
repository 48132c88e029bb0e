// A frame cut into tiles and shared out over OpenMP's threads, which live
// for the whole process.
#pragma once

#include <omp.h>

#include "frame.h"

namespace koru {
namespace cpu {

// Tiles of 16 x 16 pixels, handed out in runs of about 20 along a tile row:
// each thread then streams through its own stretch of the frame buffer.
// Threads that take turns at neighbouring tiles run slower (on two cores,
// the demo scene at about 1.7 times one thread's speed, against 1.9 with
// runs), and a frame still has dozens of runs to balance them.
constexpr int tile_size = 16;
constexpr int run_tiles = 20;

// Calls trace(tile, thread) for every tile of a width x height frame, on
// `threads` threads numbered from 0; each tile once, in any order.
template <class Trace>
void parallel_tiles(int width, int height, int threads, const Trace& trace)
{
    const int tiles_x = (width + tile_size - 1) / tile_size;
    const int runs_per_row = (tiles_x + run_tiles - 1) / run_tiles;
    const int n_runs = runs_per_row * ((height + tile_size - 1) / tile_size);
#pragma omp parallel num_threads(threads)
    {
        const int thread = omp_get_thread_num();
#pragma omp for schedule(dynamic)
        for (int run = 0; run < n_runs; ++run) {
            const int first = run % runs_per_row * tiles_x / runs_per_row;
            const int end = (run % runs_per_row + 1) * tiles_x / runs_per_row;
            Tile tile;
            tile.y0 = run / runs_per_row * tile_size;
            tile.y1 = tile.y0 + tile_size < height ? tile.y0 + tile_size : height;
            for (int t = first; t < end; ++t) {
                tile.x0 = t * tile_size;
                tile.x1 = tile.x0 + tile_size < width ? tile.x0 + tile_size : width;
                trace(tile, thread);
            }
        }
    }
}

} // namespace cpu
} // namespace koru
