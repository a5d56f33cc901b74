// The checks of an estimation call that do not depend on the front end. Each throws
// std::invalid_argument naming the argument at fault.
#pragma once

#include <cstddef>

#include "pattern_estimate.h"

namespace korvex::patterns {

void Check_Geometry(unsigned height, unsigned width, unsigned angles, unsigned phases);

template <typename T>
void Check_Finite(const char* name, const T* values, size_t count);

// A power of two that brings values whose largest magnitude lies beyond 2^32 (or below
// 2^-32) to about 2^16, where the squares and sums of estimation and reconstruction stay far
// from the type's range; 1 for values in between, which are used as they are. Scaling by a
// power of two is exact, and both computations are linear in the frames.
template <typename T>
double Value_Scale(const T* values, size_t count);

void Check_Guess(const PatternGuess& guess, unsigned angles, unsigned phases);

// A period guess must leave frequencies to search inside [minFrequency, maxFrequency], the
// part of the passband (cut-off `cutoff`, cycles per pixel) where carriers are sought.
void Check_Guess_In_Passband(const PatternGuess& guess, double minFrequency, double maxFrequency,
                             double cutoff);

// The passband must span enough frequency bins for a carrier to be found and refined.
void Check_Passband(double cutoff, unsigned height, unsigned width);

}  // namespace korvex::patterns
