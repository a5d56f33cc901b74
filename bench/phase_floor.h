// The Cramér–Rao bound on a simulated stack's pattern: the smallest spread of the wave vector
// and the phases that any unbiased estimator reaches from its Poisson counts, given the
// specimen and the optics (which the estimator must itself infer: a floor, not a target).
#pragma once

#include "pattern_sim.h"

namespace korvex_bench {

struct PhaseFloor {
  double waveVector = 0.0;   // RMS over orientations of the wave vector's spread, grid bins
  double phase = 0.0;        // RMS over frames of the phase's spread at the origin, degrees
  double phaseCentre = 0.0;  // the same at the image centre
};

// Each pixel's noise is Poisson, its variance its mean count. `known`: the Cramér–Rao bound,
// the specimen known. `uniform`: what a least-squares fit of the same parameters reaches with
// all pixels weighted alike, as the estimator's are. `overlap` and `overlapUniform`: the same
// from the carrier alone where it modulates specimen frequencies the widefield band shows
// (|q - k| within the cut-off), which is what an estimator of an unknown specimen can use;
// an approximation (the pixels' weights applied after the frequencies are cut).
struct PhaseFloors {
  PhaseFloor known;
  PhaseFloor uniform;
  PhaseFloor overlap;
  PhaseFloor overlapUniform;
  // The check of `known` on the stack's own noise (the stack Simulate_Stack draws with these
  // arguments): the phases' error at the origin, RMS over the frames in degrees, of one
  // scoring step from the truth, the estimator that reaches the floor when it knows the
  // specimen.
  double step = 0.0;
};

// The stack of korvex_test::Simulate_Stack with these arguments; the parameters of each
// orientation are its wave vector, its depth and its frames' phases.
PhaseFloors Phase_Floor(unsigned height, unsigned width, double cutoff,
                       const korvex_test::PatternTruth& truth, double photons, double background,
                       unsigned seed, const korvex_test::CameraOptions& camera);

}  // namespace korvex_bench
