// The two records that the engine and the kernels share: the complex element of the
// spectral buffers and the configuration of one kernel launch.
#pragma once

#include "gpu.h"

// A complex number as the FFT library stores it: real part, then imaginary part.
template <typename T>
struct alignas(2 * sizeof(T)) CudaComplex {
  T re;
  T im;
};

// Launch configuration of one kernel launch (no dynamic shared memory).
struct KernelLaunch_t {
  dim3 block = dim3(1, 1, 1);     // threads per block
  dim3 grid = dim3(1, 1, 1);      // blocks per grid
  cudaStream_t stream = nullptr;  // null: the legacy default stream
};
