// Pattern estimation: the illumination of a structured-illumination acquisition, read from
// its raw frames.
//
// Everything follows korvex_masks' convention: frames are orientation-major (frame
// f = a * P + p), and frame f was lit by
//     1 + m_a cos(theta) + m2_a cos(2 theta + psi_a),
//     theta = 2 pi (cos(angle_a) x + sin(angle_a) y) / period_a + phase_f,
// with x the zero-based column and y the zero-based row; m2 = 0 for 2-beam illumination. Images are MATLAB column-major:
// element (r, c, f) sits at f * W * H + c * H + r.
//
// Nothing here prints. Bad input throws std::invalid_argument, a platform failure
// std::runtime_error, both with the complete message; an undetectable pattern is reported in
// the result (lowModulation), so each front end warns in its own way.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace korvex::patterns {

// What the caller knows beforehand. Zero or empty means "unknown": the whole passband is
// searched. A guess narrows the search to +-10% in period and +-5 degrees in angle.
struct PatternGuess {
  double period = 0.0;         // pixels
  std::vector<double> angles;  // radians, one per orientation
  unsigned orders = 0;  // harmonics to measure: 0 = auto (the second when P >= 5 and significant), 1, 2
  // Cycles per pixel below which the frames hold out-of-focus light that the reconstruction
  // models apart (0: none). That light is unpatterned, so it adds to the widefield band and
  // not to the carriers: the depths are then measured from the object's frequencies above it
  // alone, and give the modulation of the in-focus light rather than of all the light.
  double hazeFrequency = 0.0;
};

struct OrientationEstimate {
  double angle = 0.0;          // direction of the wave vector, [0, pi)
  double period = 0.0;         // pixels
  double modulation = 0.0;     // depth m, in [0, Largest_First_Depth(modulation2)]
  double mcnr = 0.0;           // modulation contrast-to-noise ratio (see docs/usage.md)
  double modulation2 = 0.0;  // depth a2 of the second harmonic (3-beam); 0 for 2-beam
  double phase2 = 0.0;       // psi: the second harmonic's own phase constant, radians
  double mcnr2 = 0.0;        // MCNR of the second harmonic; 0 when not measured
  bool lowModulation = false;  // mcnr below kLowMcnr: the estimate is not to be trusted
  // Not found in the whole passband, but where the other orientations put it (their period,
  // angles pi / A apart): a prior, to be reported as such. Its mcnr counts only the
  // frequencies searched there.
  bool guided = false;
};

struct PatternEstimate {
  std::vector<OrientationEstimate> orientations;  // A entries
  std::vector<double> phases;                     // F = A * P entries, radians in [0, 2 pi)
};

// Below this MCNR the carrier is not told apart from noise with confidence.
constexpr double kLowMcnr = 3.0;

// The deepest first harmonic a mask 1 + m cos(t) + m2 cos(2t + psi) can have and stay
// non-negative: where the first harmonic is darkest the second adds at most m2, so m <= 1 + m2;
// and a non-negative trigonometric polynomial of degree 2 and mean 1 has m <= 2 cos(pi / 4).
// Three beams of equal strength give m = 4/3, m2 = 2/3; a 2-beam mask (m2 = 0) goes to 1.
inline double Largest_First_Depth(double modulation2) {
  return modulation2 + 1.0 < 1.4142135623730951 ? modulation2 + 1.0 : 1.4142135623730951;
}

// Frames narrower or shorter than this many pixels are refused.
constexpr unsigned kMinSide = 16;

// How finely the frames are sampled, judged from their OTF alone (H x W, centred as
// PatternEstimator takes it). Frames whose passband reaches the grid's Nyquist frequency
// were sampled coarser than lambda / (4 NA) and hold aliases: no up-sampling undoes that,
// only a finer camera pixel.
struct Sampling {
  bool undersampled = false;
  double cutoff = 0.0;        // the OTF's cut-off, cycles per pixel (a lower bound if undersampled)
  double largestPixel = 0.0;  // the largest pixel that would not alias, in the frames' pixels
                              // (0.5 / cutoff; an upper bound if undersampled)
};
template <typename T>
Sampling Check_Sampling(const T* otf, unsigned height, unsigned width);

// The estimator for one geometry: H x W frames, A orientations of P phases. It keeps its FFT
// plans and buffers between calls, so repeated acquisitions of one geometry pay set-up once.
class PatternEstimator {
 public:
  PatternEstimator(unsigned height, unsigned width, unsigned angles, unsigned phases);
  ~PatternEstimator();
  PatternEstimator(const PatternEstimator&) = delete;
  PatternEstimator& operator=(const PatternEstimator&) = delete;

  // frames: H x W x (A * P); otf: H x W, centred as KorvexCUDA takes it (zero frequency at
  // row floor(H/2), column floor(W/2), both zero-based). A period guess outside the OTF's
  // passband, or orders = 2 with fewer than 5 phases, is refused (std::invalid_argument).
  PatternEstimate Estimate(const float* frames, const float* otf, const PatternGuess& guess = {});
  PatternEstimate Estimate(const double* frames, const double* otf, const PatternGuess& guess = {});

  unsigned Height() const;
  unsigned Width() const;
  unsigned Angles() const;
  unsigned Phases() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether an estimator of this geometry gives its buffers back after every estimate (it keeps
// them between calls otherwise): at large sizes, where they would crowd out the rest of a
// reconstruction and allocating them again costs little beside the estimate.
bool Releases_Buffers(unsigned height, unsigned width, unsigned angles, unsigned phases);

// One call, for a caller that estimates once.
template <typename T>
PatternEstimate Estimate_Patterns(const T* frames, const T* otf, unsigned height, unsigned width,
                                  unsigned angles, unsigned phases,
                                  const PatternGuess& guess = {}) {
  PatternEstimator estimator(height, width, angles, phases);
  return estimator.Estimate(frames, otf, guess);
}

// The H x W x F masks of an estimate, exactly as korvex_masks builds them from
// (period, angle, phase, modulation, modulation2, phase2), column-major. Throws
// std::invalid_argument for a period that is not a positive finite number.
template <typename T>
void Build_Masks(const PatternEstimate& estimate, unsigned height, unsigned width, T* masks);

}  // namespace korvex::patterns
