// Simulated structured-illumination stacks with known patterns, for the estimator's tests
// and benchmark: a specimen of filaments and beads (unlike the demo's test object), lit in
// korvex_masks' convention and imaged through a circular pupil's OTF.
#pragma once

#include <vector>

#include "pattern_estimate.h"

namespace korvex_test {

struct PatternTruth {
  std::vector<double> angles;       // per orientation, radians
  std::vector<double> periods;      // per orientation, pixels
  std::vector<double> modulations;  // per orientation
  std::vector<double> phases;       // per frame, radians
  // The second harmonic of 3-beam illumination, per orientation (empty: 2-beam): frame f of
  // orientation a is lit by 1 + m cos(theta) + m2 cos(2 theta + psi).
  std::vector<double> modulations2;
  std::vector<double> phases2;  // psi
};

struct SimStack {
  unsigned height = 0;
  unsigned width = 0;
  std::vector<double> frames;  // H x W x F, column-major
  std::vector<double> otf;     // H x W, centred like korvex_otf's
  std::vector<double> object;  // H x W
};

// Incoherent OTF of a circular pupil with cut-off `cutoff` cycles per pixel (korvex_otf's
// formula), centred.
std::vector<double> Pupil_Otf(unsigned height, unsigned width, double cutoff);

// Truth with A orientations of P phases: angles spread over pi from `firstAngle`, period
// `period`, phase steps 2 pi / P plus up to +-`stepJitter` radians, depths in [0.5, 1].
PatternTruth Random_Truth(unsigned angles, unsigned phases, double period, double firstAngle,
                          double stepJitter, unsigned seed);

// How the camera records the stack. factor > 1 draws the specimen and the pattern on a grid
// that many times finer, images it through the OTF of that grid and lets every camera pixel
// integrate its factor x factor block, as a real camera does (the OTF returned is the camera
// grid's pupil OTF, without the pixel's own blur: the model a caller would hand over).
struct CameraOptions {
  unsigned factor = 1;
  bool dense = false;  // a crowded specimen (many filaments and beads) instead of a sparse one
  bool keepBackground = false;  // leave the background in the frames, as the camera gives it
};

// The stack: photons at the brightest noise-free pixel (0: no noise, no scaling), Poisson
// noise over a background of `background` photons that is then subtracted. A truth with all
// modulations 0 gives frames without stripes.
SimStack Simulate_Stack(unsigned height, unsigned width, double cutoff, const PatternTruth& truth,
                        double photons, double background, unsigned seed,
                        const CameraOptions& camera = {});

// Error figures of an estimate against the truth, in korvex_masks' convention.
struct PatternErrors {
  double waveVector = 0.0;  // largest over orientations, Fourier-grid bins
  double phase = 0.0;       // largest over frames, degrees, at the image origin
  double phaseCentre = 0.0; // the same at the image centre, where a wave vector's error
                            // moves the phase least
  double modulation = 0.0;  // largest over orientations
};
PatternErrors Compare(const PatternTruth& truth, const std::vector<double>& angles,
                      const std::vector<double>& periods, const std::vector<double>& modulations,
                      const std::vector<double>& phases, unsigned height, unsigned width);
PatternErrors Compare(const PatternTruth& truth, const korvex::patterns::PatternEstimate& estimate,
                      unsigned height, unsigned width);

}  // namespace korvex_test
