// Reading and checking the seven inputs of a reconstruction call.
//
// Every check throws std::runtime_error carrying the complete message, in the order in which
// the gateway reports the first fault of a call.
#pragma once

#include <cstdint>

#include "mex.h"

namespace korvex::gateway {

// Positions of the inputs in a reconstruction call.
enum Input : int {
  kSequence = 0,
  kMask = 1,
  kOtf = 2,
  kMaxIterations = 3,
  kThreshold = 4,
  kLambda = 5,
  kAlpha = 6,
  kInputCount = 7
};

struct RunSettings {
  uint32_t maxIterations;
  double threshold;
  double lambda;
  double alpha;
};

struct ImageGeometry {
  uint32_t width;   // OTF columns
  uint32_t height;  // OTF rows
  uint32_t frames;  // third extent of the sequence (1 for a two-dimensional one)
};

enum class Precision { kSingle, kDouble };

// The four scalar settings, read in the order #3, #4, #6, #5.
RunSettings Read_Settings(const mxArray* const prhs[]);

// Width, height and frame count; the sequence and the mask must cover the OTF's image size.
ImageGeometry Read_Geometry(const mxArray* const prhs[]);

// The precision shared by the sequence, the mask and the OTF, which must be real and full.
Precision Read_Precision(const mxArray* const prhs[]);

}  // namespace korvex::gateway
