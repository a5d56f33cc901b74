// The one seam between Korvex and the GPU platform.
//
// engine/ and kernels/ reach the runtime, FFT and BLAS names through this header only (kernel
// code reaches the launch syntax through gpu_launch.h). With the cuda backend it brings in
// the vendor's CUDA runtime, cuFFT and cuBLAS headers; with the host backend it brings in
// the CPU implementation of exactly the operations the engine uses, under the same names,
// signatures and status values, so that the engine source never branches on the backend.
#pragma once

#if defined(KORVEX_BACKEND_HOST)
#include "host/host_runtime.h"
#include "host/host_cufft.h"
#include "host/host_cublas.h"
#else
#include <cublas_v2.h>
#include <cuda_runtime.h>
#include <cufft.h>
#endif
