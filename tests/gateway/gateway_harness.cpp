#include "gateway_harness.h"

#include <algorithm>

namespace korvex::test {

using mex_substitute::Make_Filled;
using mex_substitute::Make_Scalar;

CallResult Call(int nlhs, const std::vector<const mxArray*>& inputs) {
  // MATLAB always offers room for the first output, even when none is requested.
  std::vector<mxArray*> plhs(static_cast<size_t>(std::max(nlhs, 1)), nullptr);
  std::vector<const mxArray*> prhs = inputs;
  CallResult result;
  try {
    mexFunction(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
  } catch (const mex_substitute::MexError& error) {
    result.error = error.message;
  }
  for (mxArray* output : plhs) result.outputs.emplace_back(output);
  return result;
}

std::vector<const mxArray*> ReconstructionInputs::Inputs() const {
  return {sequence.get(),  mask.get(),   otf.get(),  maxIterations.get(),
          threshold.get(), lambda.get(), alpha.get()};
}

ReconstructionInputs Valid_Inputs(mxClassID dataClass, Geometry geometry, double maxIterations) {
  const mwSize pixels = geometry.height * geometry.width;
  std::vector<double> frames(pixels * geometry.frames);
  std::vector<double> masks(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    frames[i] = 1.0 + static_cast<double>((i * 7) % 5);
    masks[i] = 0.25 + 0.25 * static_cast<double>((i * 3) % 4);
  }
  std::vector<double> otf(pixels);
  const double rowCentre = static_cast<double>(geometry.height / 2);
  const double columnCentre = static_cast<double>(geometry.width / 2);
  for (mwSize c = 0; c < geometry.width; ++c) {
    for (mwSize r = 0; r < geometry.height; ++r) {
      const double dr = static_cast<double>(r) - rowCentre;
      const double dc = static_cast<double>(c) - columnCentre;
      otf[c * geometry.height + r] = 1.0 / (1.0 + dr * dr + dc * dc);
    }
  }
  ReconstructionInputs inputs;
  inputs.sequence =
      Make_Filled(dataClass, {geometry.height, geometry.width, geometry.frames}, frames);
  inputs.mask = Make_Filled(dataClass, {geometry.height, geometry.width, geometry.frames}, masks);
  inputs.otf = Make_Filled(dataClass, {geometry.height, geometry.width}, otf);
  inputs.maxIterations = Make_Scalar(maxIterations);
  inputs.threshold = Make_Scalar(1e-4);
  inputs.lambda = Make_Scalar(0.01);
  inputs.alpha = Make_Scalar(0.05);
  return inputs;
}

CallResult Reconstruct(const ReconstructionInputs& inputs, int nlhs) {
  CallResult result = Call(nlhs, inputs.Inputs());
  EXPECT_FALSE(result.error.has_value()) << *result.error;
  return result;
}

void Clear_Memory() {
  ArrayPtr anything = Make_Scalar(0);
  const CallResult result = Call(0, {anything.get()});
  ASSERT_FALSE(result.error.has_value()) << *result.error;
}

void GatewayTest::SetUp() {
  Clear_Memory();
  arraysAtStart_ = mex_substitute::Live_Arrays();
}

void GatewayTest::TearDown() {
  Clear_Memory();
  // The gateway creates only the outputs it hands over; it destroys nothing of MATLAB's.
  EXPECT_EQ(mex_substitute::Live_Arrays(), arraysAtStart_);
}

}  // namespace korvex::test
