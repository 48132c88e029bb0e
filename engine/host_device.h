// One marker for code that runs on both the processor and the GPU.
#pragma once

#if defined(__CUDACC__)
#define KORU_HD __host__ __device__ inline
#else
#define KORU_HD inline
#endif
