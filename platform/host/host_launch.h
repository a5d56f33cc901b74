// Kernel launches on the host backend.
//
// A kernel is an ordinary C++ function whose body runs every thread of its grid in one
// call: KORVEX_FOR_EACH_PIXEL (kernels/kernel_launch.h) expands to plain row and column
// loops bounded by the grid of the launch in progress and by the image, so the compiler
// sees a vectorisable loop and no per-pixel call or thread-local read remains.
#pragma once

#include "host_runtime.h"

namespace korvex::host {

// The part of the launch grid a kernel body visits: threads with x >= W or y >= H do
// nothing, and threads past the grid do not exist, so both limits clip the loops.
struct PixelRange {
  unsigned cols;    // min(grid.x * block.x, W)
  unsigned rows;    // min(grid.y * block.y, H)
  unsigned repeat;  // grid.z * block.z: threads that differ only in z run the body again
  bool parallel;    // worth spreading the rows over threads
};

// Validates the configuration as the vendor's runtime does (zero extents, more than 1024
// threads a block, block z above 64, grid y or z above 65535, unknown stream) and consults
// the fault injector. On failure records the status as the thread's last error and returns
// false; the kernel must then not run. On success makes (grid, block) the current launch.
bool begin_launch(dim3 grid, dim3 block, cudaStream_t stream);
void end_launch();

// The pixel range of the current launch for an image of W x H.
PixelRange current_pixel_range(unsigned W, unsigned H);

template <class Body>
void launch_kernel(dim3 grid, dim3 block, cudaStream_t stream, Body&& body) {
  if (!begin_launch(grid, block, stream)) return;
  body();
  end_launch();
}

}  // namespace korvex::host
