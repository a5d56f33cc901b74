// Reading and checking the inputs of korvex_estimate_patterns(frames, otf, name, value, ...).
// Every check throws korvex::gateway::EstimateError with an identifier and the complete
// message naming the argument at fault.
#pragma once

#include <stdexcept>
#include <string>

#include "camera_units.h"
#include "mex.h"
#include "pattern_estimate.h"

namespace korvex::gateway {

class EstimateError : public std::runtime_error {
 public:
  EstimateError(const char* id, const std::string& message)
      : std::runtime_error(message), id_(id) {}
  const char* Id() const { return id_; }

 private:
  const char* id_;
};

struct EstimateCall {
  unsigned height = 0;
  unsigned width = 0;
  unsigned angles = 3;
  unsigned phases = 3;
  bool single = false;  // the estimate runs in single precision; the masks come back single
  korvex::patterns::PatternGuess guess;
  korvex::acquisition::CameraUnits camera;  // taken out of the frames first
};

EstimateCall Read_Estimate_Call(int nrhs, const mxArray* prhs[]);

}  // namespace korvex::gateway
