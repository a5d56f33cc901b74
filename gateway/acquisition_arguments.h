// Reading korvex_reconstruct's inputs: the camera frames and the name/value options.
//
// Every fault throws std::invalid_argument whose message names the argument.
#pragma once

#include <string>
#include <vector>

#include "acquisition_pipeline.h"
#include "mex.h"

namespace korvex::gateway {

struct AcquisitionCall {
  korvex::acquisition::AcquisitionOptions options;
  bool singlePrecision = true;
  unsigned height = 0, width = 0, frames = 0;
};

// The geometry of the frames and every option; prhs[0] is the frames.
AcquisitionCall Read_Acquisition_Call(int nrhs, const mxArray* prhs[]);

// The frames converted to T (integer camera data included), column-major H x W x F.
template <typename T>
std::vector<T> Read_Frames(const mxArray* frames);

}  // namespace korvex::gateway
