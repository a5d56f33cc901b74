// Drives mexFunction through the MEX substitute and builds the seven inputs of a call.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Source.h"
#include "mex_substitute.h"

namespace korvex::test {

using mex_substitute::ArrayPtr;

struct CallResult {
  std::optional<std::string> error;  // the text handed to mexErrMsgTxt, if any
  std::vector<ArrayPtr> outputs;     // plhs as the gateway left it (null where not set)
};

CallResult Call(int nlhs, const std::vector<const mxArray*>& inputs);

// The seven inputs of a reconstruction call; any of them may be replaced before Inputs().
struct ReconstructionInputs {
  ArrayPtr sequence, mask, otf, maxIterations, threshold, lambda, alpha;
  std::vector<const mxArray*> Inputs() const;
};

struct Geometry {
  mwSize height = 4;
  mwSize width = 6;
  mwSize frames = 2;
};

// A small, well-posed reconstruction: positive frames, masks in (0, 1], a centred OTF.
ReconstructionInputs Valid_Inputs(mxClassID dataClass, Geometry geometry = {},
                                  double maxIterations = 3);

// Run a reconstruction and fail the test if it reports an error.
CallResult Reconstruct(const ReconstructionInputs& inputs, int nlhs = 1);

// Every test starts and ends with both engines released.
class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  size_t arraysAtStart_ = 0;
};

void Clear_Memory();

}  // namespace korvex::test
