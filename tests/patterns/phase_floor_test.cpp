// The bench's Cramér–Rao floor of a stack's pattern (bench/phase_floor.h): the figure the
// low-light study sets the estimator's errors against, so its scaling and its ordering must hold.
#include <gtest/gtest.h>

#include <cmath>

#include "pattern_sim.h"
#include "phase_floor.h"

namespace {

korvex_test::PatternTruth Truth() {
  return korvex_test::Random_Truth(3, 3, 1.0 / (0.8 * 0.3), 0.4, 0.1, 2);
}

// Without background every count is signal: the information grows with the photons, and the
// spread shrinks as one over their square root, for every parameter and every floor.
TEST(PhaseFloor, ShrinksAsTheSquareRootOfThePhotons) {
  const auto dim = korvex_bench::Phase_Floor(64, 64, 0.3, Truth(), 100.0, 0.0, 3, {});
  const auto bright = korvex_bench::Phase_Floor(64, 64, 0.3, Truth(), 400.0, 0.0, 3, {});
  for (const auto& pair : {std::make_pair(dim.known, bright.known),
                           std::make_pair(dim.uniform, bright.uniform),
                           std::make_pair(dim.overlap, bright.overlap)}) {
    EXPECT_NEAR(pair.second.phase / pair.first.phase, 0.5, 0.005);
    EXPECT_NEAR(pair.second.phaseCentre / pair.first.phaseCentre, 0.5, 0.005);
    EXPECT_NEAR(pair.second.waveVector / pair.first.waveVector, 0.5, 0.005);
  }
  // A period of a few pixels over 64 is found to a few hundredths of a bin with 100 photons.
  EXPECT_GT(dim.known.waveVector, 1e-3);
  EXPECT_LT(dim.known.waveVector, 0.2);
}

// Weighting the pixels alike cannot beat weighting them by their variance (Gauss-Markov), and
// the centre, where the wave vector's error moves the phase least, is known better than the
// origin. The carrier cut to the overlap holds most of the carrier's signal on a specimen
// whose power falls with frequency: its floor stays near the full one (not exactly above it,
// as its pixels are weighted after the cut), where a wrong split of the carrier from the
// frames would move it far.
TEST(PhaseFloor, OrdersItsFloors) {
  korvex_test::CameraOptions camera;
  camera.factor = 2;
  const auto f = korvex_bench::Phase_Floor(64, 64, 0.3, Truth(), 100.0, 10.0, 4, camera);
  EXPECT_GE(f.uniform.phase, f.known.phase * (1 - 1e-9));
  EXPECT_GE(f.uniform.waveVector, f.known.waveVector * (1 - 1e-9));
  EXPECT_GE(f.overlapUniform.phase, f.overlap.phase * (1 - 1e-9));
  EXPECT_GT(f.overlap.phase, 0.95 * f.known.phase);
  EXPECT_LT(f.overlap.phase, 2.0 * f.known.phase);
  EXPECT_GT(f.overlap.waveVector, 0.95 * f.known.waveVector);
  EXPECT_LT(f.overlap.waveVector, 2.0 * f.known.waveVector);
  EXPECT_LT(f.known.phaseCentre, f.known.phase);
  // The step from the truth on the stack's own noise errs as the floor says: nine frames'
  // RMS of a normal spread lies within these bounds but for about one stack in a hundred. A
  // residual left with its background, or taken against other frames, errs far more.
  EXPECT_GT(f.step, 0.4 * f.known.phase);
  EXPECT_LT(f.step, 1.8 * f.known.phase);
  EXPECT_LT(f.overlap.phaseCentre, f.overlap.phase);
}

}  // namespace
