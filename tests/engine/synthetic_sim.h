// Test problems for the engine: random data of any size, and simulated SIM acquisitions of a
// known object.
#pragma once

#include <vector>

#include "reference_model.h"

namespace korvex::test {

// Random positive frames and masks in [0, 1] with a smooth real OTF; every value is exactly
// representable in single precision, so float and double engines see the same input.
Problem Random_Problem(unsigned W, unsigned H, unsigned F, unsigned seed);

struct SimScene {
  Problem problem;             // raw frames, masks and OTF as the microscope would give them
  std::vector<double> object;  // the true object, H x W in MATLAB order
};

// An object of points and lines seen through a circular pupil, lit by sinusoidal patterns in
// 3 orientations x 3 phases; frames are blur(mask . object), single-precision values.
SimScene Simulated_Scene(unsigned W, unsigned H);

// Normalised distance of `estimate` from `truth` after a least-squares scale match:
// min over s of |s * estimate - truth| / |truth|.
double Scaled_Error(const std::vector<double>& estimate, const std::vector<double>& truth);

// Vector conversions between the test's double arrays and an engine's element type.
template <typename T>
std::vector<T> As(const std::vector<double>& values) {
  return std::vector<T>(values.begin(), values.end());
}
template <typename T>
std::vector<double> To_Double(const std::vector<T>& values) {
  return std::vector<double>(values.begin(), values.end());
}

}  // namespace korvex::test
