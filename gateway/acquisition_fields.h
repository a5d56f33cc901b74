// What korvex_estimate_patterns and korvex_reconstruct read and write alike: the pattern
// struct they return, the 'orders' option and the camera's 'background' and 'gain'. Faults
// throw std::invalid_argument naming the argument.
#pragma once

#include <string>
#include <vector>

#include "camera_units.h"
#include "illumination_pattern.h"
#include "mex.h"

namespace korvex::gateway {

// Fields angle, period, modulation, modulation2, phase2 and mcnr, mcnr2 (1 x A; the MCNRs
// empty when the pattern was given, not estimated) and phase (1 x F).
mxArray* Pattern_Struct(const korvex::acquisition::IlluminationPattern& pattern, bool estimated);

// Its MCNR per orientation (1 x A; empty unless estimated).
mxArray* Mcnr_Row(const korvex::acquisition::IlluminationPattern& pattern, bool estimated);

// 'orders': 'auto' (0), 1 or 2.
unsigned Read_Orders(const mxArray* value);

// 'background': a scalar or an H x W image, any real numeric class.
std::vector<double> Read_Background(const mxArray* value, unsigned height, unsigned width);

// 'gain': a positive number of counts per photon.
double Read_Gain(const mxArray* value);

}  // namespace korvex::gateway
