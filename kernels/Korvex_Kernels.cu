// The launch operations of Korvex<T>, generated from launch_operations.def: each queues its
// kernel on the record's grid, block and stream, then reports whatever launch error the
// runtime recorded for this thread. Neither step waits for the device. A failure names this
// source unit and the line of the operation's entry in launch_operations.def.
#include "Korvex.h"
#include "elementwise_kernels.h"
#include "gpu_launch.h"
#include "harmonic_kernels.h"
#include "kernel_image.h"
#include "layout_kernels.h"
#include "out_of_focus_kernels.h"
#include "status_check.h"

namespace {

constexpr const char* kUnit = "Korvex_Kernels";

}  // namespace

#define KORVEX_LAUNCH_OPERATION(name, kernel, parameters, arguments)                       \
  template <typename T>                                                                    \
  void Korvex<T>::CuCall_##name(KernelLaunch_t launch, KORVEX_UNPARENTHESIZE parameters) { \
    KORVEX_LAUNCH(kernel<T>, launch, KORVEX_UNPARENTHESIZE arguments);                     \
    KORVEX_CHECK(cudaGetLastError());                                                      \
  }
#include "launch_operations.def"
#undef KORVEX_LAUNCH_OPERATION

cudaError_t Kernel_Image_Status() {
  cudaFuncAttributes attributes;
  return cudaFuncGetAttributes(&attributes, Cuda_Addition<float>);
}

// The class is instantiated in Korvex.cpp, where these definitions are not visible; each
// launch operation is instantiated here, and with it the kernels it launches. The entries
// spell their parameters with T, so T stands for each precision in turn.
#define KORVEX_LAUNCH_OPERATION(name, kernel, parameters, arguments) \
  template void Korvex<T>::CuCall_##name(KernelLaunch_t, KORVEX_UNPARENTHESIZE parameters);
#define T float
#include "launch_operations.def"
#undef T
#define T double
#include "launch_operations.def"
#undef T
#undef KORVEX_LAUNCH_OPERATION
