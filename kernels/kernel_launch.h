// One kernel source for nvcc and for the host compiler.
//
//   KORVEX_GLOBAL   marks a kernel (__global__ under nvcc, a plain function on the host).
//   KORVEX_DEVICE   marks a helper called from kernels.
//   KORVEX_LAUNCH(kernel, launch, args...)  queues `kernel` on the grid, block and stream of
//                   the KernelLaunch_t `launch` with 0 bytes of dynamic shared memory.
//   KORVEX_FOR_EACH_PIXEL(x, y, W, H) { ... }  the element rule: the body runs for every
//                   thread of the grid with x < W and y < H, with x and y its coordinates.
//
// Under nvcc the pixel loop is a single pass for the calling thread; on the host it is the
// whole grid as plain loops (see platform/host/host_launch.h). Kernels must not rely on
// shared memory, barriers or on the order in which pixels run.
#pragma once

#include "gpu.h"

#if defined(__CUDACC__)

#define KORVEX_GLOBAL __global__
#define KORVEX_DEVICE __device__ __forceinline__
#define KORVEX_LAUNCH(kernel, launch, ...) \
  kernel<<<(launch).grid, (launch).block, 0, (launch).stream>>>(__VA_ARGS__)
#define KORVEX_FOR_EACH_PIXEL(px, py, W, H)                                         \
  for (unsigned px = blockIdx.x * blockDim.x + threadIdx.x,                          \
                py = blockIdx.y * blockDim.y + threadIdx.y,                          \
                korvex_pass_ = (px < (W) && py < (H));                               \
       korvex_pass_; korvex_pass_ = 0)

#else

#define KORVEX_GLOBAL
#define KORVEX_DEVICE inline
#define KORVEX_LAUNCH(kernel, launch, ...)                                            \
  korvex::host::launch_kernel<decltype(kernel)>((launch).grid, (launch).block,        \
                                                (launch).stream, [&] { kernel(__VA_ARGS__); })
// Every thread of the team holds the launch's floating-point mode while it runs its rows.
#define KORVEX_FOR_EACH_PIXEL(x, y, W, H)                                                     \
  const korvex::host::PixelRange korvex_range_ = korvex::host::current_pixel_range((W), (H)); \
  for (unsigned korvex_z_ = 0; korvex_z_ < korvex_range_.repeat; ++korvex_z_)                 \
    _Pragma("omp parallel if (korvex_range_.parallel)")                                       \
    for (korvex::host::FloatMode korvex_mode_(korvex_range_.flush); korvex_mode_.first_pass();) \
      _Pragma("omp for schedule(static) nowait")                                              \
      for (unsigned y = 0; y < korvex_range_.rows; ++y)                                       \
        for (unsigned x = 0; x < korvex_range_.cols; ++x)

#endif
