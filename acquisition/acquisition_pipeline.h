// From a camera acquisition to a super-resolved image in one call.
//
// AcquisitionPipeline<T> (T = float or double) takes the raw frames of a structured-illumination
// acquisition and a description of it, and
//   1. estimates the illumination on the camera grid (or takes the pattern it is given);
//   2. up-samples the frames `upsample` times by Fourier interpolation;
//   3. builds the OTF of the fine grid from the optics, or resamples a measured one;
//   4. describes the masks on the fine grid by the pattern's harmonics (no mask images);
//   5. runs Korvex<T> on the fine grid, keeping the engine for the next call of the same
//      geometry and iteration limit.
//
// Frames are column-major H x W x F, orientation-major (see illumination_pattern.h), in camera
// counts: the camera's offset and gain (`camera`) are taken out before anything else, since the
// model has no offset and counts photons. Nothing here
// prints: bad input throws std::invalid_argument, a platform or engine failure
// std::runtime_error, each with the complete message naming the argument at fault. After a
// failure the pipeline holds no engine, so nothing stays allocated on the device.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera_units.h"
#include "illumination_pattern.h"
#include "optical_transfer.h"

template <typename T>
class Korvex;
struct KorvexHarmonics;

namespace korvex::acquisition {

template <typename T>
class FourierUpsampler;

// Defaults measured on camera-sampled filament and cell stacks at 100 to 3,000 photons
// (docs/acquisition.md, docs/image_quality.md): the image kept non-negative and the model
// compared with the frames themselves, a light sparsity penalty, light smoothing, and 15
// steps preconditioned by the equal-step multiplier (the image figures of 40 plain steps or
// better; bench/octave/iteration_study.m).
struct ReconstructionDefaults {
  static constexpr unsigned kUpsample = 2;
  static constexpr unsigned kIterations = 15;
  static constexpr double kLambda = 0.003;
  static constexpr double kAlpha = 0.05;
  static constexpr double kThreshold = 0.0;
  static constexpr bool kNonNegative = true;
  static constexpr bool kFrameData = true;
  static constexpr double kSparsity = 0.25;  // with nonNegative; 0 without
  // The out-of-focus model, with the preconditioned steps; with plain ones it is off unless
  // asked for (there b steps with x and takes a few hundred iterations to leave it).
  static constexpr bool kOutOfFocus = true;
  static constexpr bool kFourierStart = false;
  static constexpr bool kPreconditioned = true;
};

// Light from planes above and below the focus (a thick specimen's haze): an unpatterned,
// non-negative image shared by every frame, seen through a low-pass and estimated together
// with the specimen, so that the haze is explained by the model instead of being
// reconstructed as specimen. The sparsity penalty weighs the haze's light as the specimen's,
// so only the patterned data tell them apart; at a pattern period near the OTF cut-off they do
// so faintly. With the default preconditioned steps the haze follows the specimen, the steps
// are preconditioned for the problem with the haze eliminated, and the start is that
// problem's Fourier solution (KorvexOptions::fourierStart is set): the haze leaves the
// specimen within the default iterations. Plain steps move the pair and take a few hundred.
struct OutOfFocusModel {
  // Unset: ReconstructionDefaults::kOutOfFocus with preconditioned steps, off with plain ones
  // (Out_Of_Focus_On). A start that finds no haze runs the call as without the model.
  std::optional<bool> enabled;
  // Standard deviation of the Gaussian low-pass the haze is seen through, in cycles per unit
  // length of the pixel size; 0: the default, a share of the OTF cut-off (kOutOfFocusWidthShare
  // in out_of_focus_transfer.h; with a measured OTF and no optics, the cut-off is where that
  // OTF ends).
  double width = 0.0;
  // > 0: the haze is seen instead through the OTF defocused by this distance (the unit of the
  // wavelength), from the optics' NA, wavelength and immersion index.
  double defocus = 0.0;
  // The share of the sparsity penalty the haze's light pays, from 0 to 1 (KorvexOptions::
  // outOfFocusCost). 1 suits every specimen measured; a sparse one (filaments, vesicles,
  // beads) under heavy haze loses less of it and keeps more resolution at about 0.95, where a
  // dense cell body would lose its smooth light to the haze.
  double cost = 1.0;
};

// A measured OTF: centred like KorvexCUDA's, 1 at zero frequency, on the camera grid (H x W)
// or on the fine grid (upsample H x upsample W).
struct MeasuredOtf {
  std::vector<double> values;  // column-major
  unsigned height = 0;
  unsigned width = 0;
};

struct AcquisitionOptions {
  Optics optics;        // na and wavelength may stay 0 when `otf` is given
  unsigned angles = 3;  // A, orientations
  unsigned phases = 3;  // P, phases per orientation
  double upsample = ReconstructionDefaults::kUpsample;  // a whole number >= 1
  std::optional<MeasuredOtf> otf;                       // replaces the model OTF
  std::optional<IlluminationPattern> pattern;           // on the camera grid; skips estimation
  korvex::patterns::PatternGuess guess;  // for the estimation: period, angles, harmonics
  CameraUnits camera;                    // offset and gain of the frames' counts
  unsigned iterations = ReconstructionDefaults::kIterations;
  double lambda = ReconstructionDefaults::kLambda;
  double alpha = ReconstructionDefaults::kAlpha;
  double threshold = ReconstructionDefaults::kThreshold;
  bool nonNegative = ReconstructionDefaults::kNonNegative;  // keep the image >= 0
  bool frameData = ReconstructionDefaults::kFrameData;      // data term on the frames, not masked
  // Weight of an L1 penalty on the non-negative image, as a share of the frames' mean level:
  // its gradient is what lowering every frame by sparsity x their mean would add. Needs
  // nonNegative; unset: kSparsity with nonNegative, 0 without.
  std::optional<double> sparsity;
  // The data term's normal operator as one Fourier multiplier (KorvexHarmonics::multiplier):
  // one transform pair an iteration; exact for equal phase steps up to the image edges.
  bool multiplier = false;
  // With that multiplier as an approximation of the exact data term (KorvexOptions): the
  // start solved in one Fourier division instead of the widefield image, and the steps
  // preconditioned by it.
  bool fourierStart = ReconstructionDefaults::kFourierStart;
  bool preconditioned = ReconstructionDefaults::kPreconditioned;
  OutOfFocusModel outOfFocus;
};

// The sparsity share that `options` ask for, its default filled in.
double Sparsity_Share(const AcquisitionOptions& options);

// Whether `options` ask for the out-of-focus model, its default filled in.
bool Out_Of_Focus_On(const AcquisitionOptions& options);

// Seconds spent in each stage of one call.
struct StageTimes {
  double estimation = 0;      // pattern estimation on the camera grid (0 with a given pattern)
  double upsampling = 0;      // Fourier interpolation of the frames
  double otf = 0;             // the fine grid's OTF
  double masks = 0;           // the fine grid's masks (their harmonics)
  double engineSetup = 0;     // constructing Korvex<T> (0 when the kept engine fits)
  double reconstruction = 0;  // Korvex<T>::Mapsim_Compute
  double total = 0;
};

// What one call built anew instead of taking from the pipeline's kept state: a second call of
// the same geometry and optics builds nothing.
struct BuiltParts {
  bool estimator = false;  // the pattern estimator (its transforms planned)
  bool upsampler = false;  // the Fourier up-sampler (its transforms planned)
  bool otf = false;        // the fine grid's OTF (a measured one is resampled at every call)
  bool engine = false;     // Korvex<T> (its buffers allocated and transforms planned)
};

template <typename T>
struct AcquisitionResult {
  std::vector<T> image;  // column-major height x width
  unsigned height = 0;
  unsigned width = 0;
  double pixelSize = 0;                 // camera pixel / upsample (0 when no pixel size was given)
  IlluminationPattern pattern;          // on the camera grid, estimated or as given
  bool estimated = false;               // whether `pattern` was estimated
  std::vector<unsigned> lowModulation;  // orientations whose MCNR is too low to trust
  std::string undersampled;             // korvex:undersampled's text when the pixel aliases
  // Share of the modelled light (the mean frame the model predicts) that it assigned to
  // out-of-focus haze: 0 with the model off.
  double outOfFocusShare = 0;
  std::vector<T> outOfFocus;            // the haze as it adds to every frame, on the image's
                                        // grid (height x width); empty with the model off
  unsigned iterations = 0;              // iterations run
  double alpha = 0;                     // last step size
  double ratio = 0;                     // last ratio of convergence measures
  StageTimes seconds;
  BuiltParts built;
};

template <typename T>
class AcquisitionPipeline {
 public:
  AcquisitionPipeline();
  ~AcquisitionPipeline();
  AcquisitionPipeline(const AcquisitionPipeline&) = delete;
  AcquisitionPipeline& operator=(const AcquisitionPipeline&) = delete;

  // frames: height x width x frameCount, column-major, frameCount = angles * phases.
  AcquisitionResult<T> Reconstruct(const T* frames, unsigned height, unsigned width,
                                   unsigned frameCount, const AcquisitionOptions& options);

  // Releases the kept engine and buffers; the next call builds them again.
  void Release() noexcept;

 private:
  struct Kept;
  std::unique_ptr<Kept> kept_;
};

// The fine grid's OTF for these options: the model's from the optics, or the measured one
// resampled; centred, column-major, (factor height) x (factor width). Throws like Reconstruct.
std::vector<double> Fine_Grid_Otf(const AcquisitionOptions& options, unsigned height,
                                  unsigned width, unsigned factor);

// The masks of `pattern` (given on the camera grid) on the grid `factor` times finer, as the
// engine takes them: by orientation, the wave vector and each frame's harmonic coefficients.
KorvexHarmonics Fine_Grid_Harmonics(const IlluminationPattern& pattern, unsigned factor);

// The multiplier sum_a sum_l M_{l,-l} |OTF(q + l k_a)|^2 of `harmonics` on the grid of `otf`
// (height x width, centred, column-major), the OTF interpolated bilinearly and periodically
// between its samples. Throws std::invalid_argument for harmonics without orientations or an
// OTF of another size. V: float or double; either way the sums run in double.
template <typename V>
std::vector<double> Harmonic_Multiplier(const KorvexHarmonics& harmonics, const std::vector<V>& otf,
                                        unsigned height, unsigned width);
extern template std::vector<double> Harmonic_Multiplier(const KorvexHarmonics&,
                                                        const std::vector<float>&, unsigned,
                                                        unsigned);
extern template std::vector<double> Harmonic_Multiplier(const KorvexHarmonics&,
                                                        const std::vector<double>&, unsigned,
                                                        unsigned);

// The whole-number factor of `upsample`; throws std::invalid_argument naming it otherwise.
unsigned Upsampling_Factor(double upsample);

extern template class AcquisitionPipeline<float>;
extern template class AcquisitionPipeline<double>;

}  // namespace korvex::acquisition
