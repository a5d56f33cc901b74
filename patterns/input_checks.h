// The checks of an estimation call that do not depend on the front end. Each throws
// std::invalid_argument naming the argument at fault.
#pragma once

#include <cstddef>

#include "pattern_estimate.h"

namespace korvex::patterns {

void Check_Geometry(unsigned height, unsigned width, unsigned angles, unsigned phases);

template <typename T>
void Check_Finite(const char* name, const T* values, size_t count);

void Check_Guess(const PatternGuess& guess, unsigned angles);

// Two harmonics are told apart only with 5 or more phases per orientation.
void Check_Orders(unsigned orders, unsigned phases);

// The passband must span enough frequency bins for a carrier to be found and refined.
void Check_Passband(double cutoff, unsigned height, unsigned width);

}  // namespace korvex::patterns
