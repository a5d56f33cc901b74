// Whether the library's device module holds code that the current device can run.
#pragma once

#include "gpu.h"

// The runtime's answer for one kernel of the module: cudaSuccess when the device can run it,
// cudaErrorNoKernelImageForDevice (or cudaErrorInvalidDeviceFunction from older runtimes)
// when the library was built for none of the device's architectures. Defined by the launch
// layer, which sees the kernels.
cudaError_t Kernel_Image_Status();
