// Patterns across the binding's transposition (core_calls.h): the core sees x and y swapped.
//
// A pattern cos(2 pi (cos a x + sin a y) / period + phase) reads, with x and y swapped, as the
// same cosine with angle pi/2 - a and the same phase. Brought back into [0, pi), an angle that
// needs a turn by pi reverses its wave vector, and cos(-k.r + phase) = cos(k.r - phase): the
// phases of that orientation change sign, and so does its second harmonic's constant psi
// (cos(-2 theta + psi) = cos(2 theta - psi)). The mapping is its own inverse.
#pragma once

#include "illumination_pattern.h"

namespace korvex::python {

// Frames are orientation-major: orientation a owns frames a P .. a P + P - 1.
korvex::acquisition::IlluminationPattern Swap_Axes(
    const korvex::acquisition::IlluminationPattern& pattern);

// One angle's image under the swap, in [0, pi) (for guesses, which carry no phase).
double Swap_Angle(double angle);

}  // namespace korvex::python
