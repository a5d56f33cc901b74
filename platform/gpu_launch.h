// The seam for kernel code: how a kernel is marked, how it is launched and how its body
// visits the pixels, so that one kernel source builds with nvcc and with the host compiler.
//
//   KORVEX_GLOBAL   marks a kernel (__global__ under nvcc, a plain function on the host).
//   KORVEX_DEVICE   marks a helper called from kernels.
//   KORVEX_LAUNCH(kernel, launch, args...)  queues `kernel` on the grid, block and stream of
//                   the launch record `launch` with 0 bytes of dynamic shared memory.
//   KORVEX_FOR_EACH_PIXEL(x, y, W, H) { ... }  the element rule: the body runs for every
//                   thread of the grid with x < W and y < H, with x and y its coordinates.
//
// Under nvcc the pixel loop is a single pass for the calling thread; on the host it is the
// whole grid as plain loops (host/host_launch.h). Kernels must not rely on shared memory,
// barriers or on the order in which pixels run.
#pragma once

#include "gpu.h"

#if defined(__CUDACC__)

#define KORVEX_GLOBAL __global__
#define KORVEX_DEVICE __device__ __forceinline__
#define KORVEX_LAUNCH(kernel, launch, ...) \
  kernel<<<(launch).grid, (launch).block, 0, (launch).stream>>>(__VA_ARGS__)
#define KORVEX_FOR_EACH_PIXEL(px, py, W, H)                                                        \
  for (unsigned px = blockIdx.x * blockDim.x + threadIdx.x,                                        \
                py = blockIdx.y * blockDim.y + threadIdx.y, korvex_pass_ = (px < (W) && py < (H)); \
       korvex_pass_; korvex_pass_ = 0)

#elif defined(KORVEX_BACKEND_HOST)
#include "host/host_launch.h"
#else
#error "kernel code needs nvcc or the host backend"
#endif
