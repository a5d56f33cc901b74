#include "acquisition_pipeline.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <complex>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "Korvex.h"
#include "caller_terms.h"
#include "camera_grid_estimation.h"
#include "fourier_upsampling.h"
#include "memory_budget.h"
#include "out_of_focus_transfer.h"
#include "value_scaling.h"

namespace korvex::acquisition {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds_Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The engine counts elements in 32 bits and cuFFT takes int extents.
constexpr uint64_t kEngineElementLimit = uint64_t{1} << 32;

void Check_Setting(double value, bool zeroAllowed, const char* name) {
  if (std::isfinite(value) && (value > 0.0 || (zeroAllowed && value == 0.0))) return;
  std::ostringstream message;
  message << name << " must be a " << (zeroAllowed ? "non-negative" : "positive")
          << " finite number, got " << value;
  throw std::invalid_argument(message.str());
}

void Check_Acquisition(const void* frames, unsigned height, unsigned width, unsigned frameCount,
                       const AcquisitionOptions& options) {
  if (frames == nullptr) throw std::invalid_argument("frames must not be null");
  if (height < 8 || width < 8) {
    throw std::invalid_argument("frames must be at least " + Shape_Text(8, 8) + " pixels, got " +
                                Shape_Text(height, width));
  }
  if (options.angles < 1) throw std::invalid_argument("angles must be at least 1");
  if (options.phases < 3) {
    throw std::invalid_argument("phases must be at least 3 (got " + std::to_string(options.phases) +
                                "): fewer cannot separate the bands");
  }
  if (frameCount != options.angles * options.phases) {
    throw std::invalid_argument(
        "frames must hold angles x phases = " + std::to_string(options.angles) + " x " +
        std::to_string(options.phases) + " = " + std::to_string(options.angles * options.phases) +
        " frames, got " + std::to_string(frameCount));
  }
  Check_Setting(options.lambda, true, Argument("lambda").c_str());
  Check_Setting(options.alpha, false, Argument("alpha").c_str());
  Check_Setting(options.threshold, true, "threshold");
  if (options.sparsity) {
    Check_Setting(*options.sparsity, true, "sparsity");
    if (*options.sparsity > 0.0 && !options.nonNegative) {
      throw std::invalid_argument(
          "sparsity needs nonnegative: without the constraint the penalty only lowers the "
          "image's mean; set sparsity to 0 or nonnegative to true");
    }
  }
}

void Check_Fine_Grid(unsigned height, unsigned width, unsigned frames, unsigned factor) {
  const uint64_t fineHeight = uint64_t{height} * factor;
  const uint64_t fineWidth = uint64_t{width} * factor;
  const uint64_t pixels = fineHeight * fineWidth;
  if (fineHeight <= INT_MAX && fineWidth <= INT_MAX && pixels * frames < kEngineElementLimit) {
    return;
  }
  throw std::invalid_argument("upsample (" + std::to_string(factor) + ") makes a fine grid of " +
                              Shape_Text(fineHeight, fineWidth, frames) +
                              " values, too large for the engine (below 2^32 values)");
}

void Check_Measured_Otf(const MeasuredOtf& otf, unsigned height, unsigned width, unsigned factor) {
  const bool camera = otf.height == height && otf.width == width;
  const bool fine = otf.height == height * factor && otf.width == width * factor;
  if ((!camera && !fine) || otf.values.size() != size_t{otf.height} * otf.width) {
    std::ostringstream message;
    message << "otf must be " << Shape_Text(height, width) << " (the camera grid) or "
            << Shape_Text(uint64_t{height} * factor, uint64_t{width} * factor)
            << " (the fine grid), got " << Shape_Text(otf.height, otf.width);
    throw std::invalid_argument(message.str());
  }
  for (double v : otf.values) {
    if (!std::isfinite(v)) throw std::invalid_argument("otf holds NaN or Inf");
  }
  const double zero = otf.values[size_t{otf.width / 2} * otf.height + otf.height / 2];
  if (std::abs(zero - 1.0) > 1e-3) {
    std::ostringstream message;
    message << "otf must be 1 at zero frequency (" << Position_Text(otf.height / 2, otf.width / 2)
            << "), got " << zero << "; divide it by that value";
    throw std::invalid_argument(message.str());
  }
}

// The frames' mean; refuses NaN and Inf. Eight running sums, which the compiler keeps in
// vector registers: a NaN or Inf anywhere makes their total non-finite, and only then are the
// values searched for it.
template <typename T>
double Finite_Mean(const T* values, size_t count) {
  constexpr size_t kLanes = 8;
  double lanes[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    for (size_t l = 0; l < kLanes; ++l) lanes[l] += static_cast<double>(values[i + l]);
  }
  double sum = 0.0;
  for (double lane : lanes) sum += lane;
  for (; i < count; ++i) sum += static_cast<double>(values[i]);
  if (std::isfinite(sum)) return sum / static_cast<double>(count);
  for (i = 0; i < count; ++i) {
    if (!std::isfinite(values[i])) {
      throw std::invalid_argument("frames hold NaN or Inf (at element " + std::to_string(i + 1) +
                                  ")");
    }
  }
  // Finite doubles near their range whose sum overflows: the sum of their shares.
  double mean = 0.0;
  for (i = 0; i < count; ++i) mean += static_cast<double>(values[i]) / static_cast<double>(count);
  return mean;
}

// The engine's options for these: the data term folded once (with masks given by their
// harmonics the engine always folds it). With OTF(0) = 1, lowering every frame by share x mean
// would add share x mean x sum_j m_j to the data term's gradient: that is the engine's sparsity
// penalty with weight share x mean. Frames whose mean is not positive get no penalty.
KorvexOptions Engine_Options(const AcquisitionOptions& options, double frameMean) {
  KorvexOptions engine;
  engine.nonNegative = options.nonNegative;
  engine.frameData = options.frameData;
  engine.foldedData = true;
  engine.preconditioned = options.preconditioned;
  engine.fourierStart = options.fourierStart;
  const double share = Sparsity_Share(options);
  if (share > 0.0 && frameMean > 0.0) engine.sparsity = share * frameMean;
  engine.outOfFocusCost = options.outOfFocus.cost;
  return engine;
}

// What a fine-grid OTF was computed from, so that a repeated call reuses it.
struct OtfKey {
  unsigned height = 0, width = 0, factor = 0;
  double na = 0, wavelength = 0, pixelSize = 0;
  bool operator==(const OtfKey& o) const {
    return height == o.height && width == o.width && factor == o.factor && na == o.na &&
           wavelength == o.wavelength && pixelSize == o.pixelSize;
  }
};

// The same for the haze's transfer function, which also depends on the model's settings.
struct HazeKey {
  OtfKey otf;
  double immersion = 0, width = 0, defocus = 0;
  bool operator==(const HazeKey& o) const {
    return otf == o.otf && immersion == o.immersion && width == o.width && defocus == o.defocus;
  }
};

// What a reconstruction too large for the machine can give up to fit.
std::string Memory_Advice(bool single, bool outOfFocus) {
  return std::string("; ") + (outOfFocus ? "turn the out-of-focus model off, or " : "") +
         (single ? "use fewer or smaller frames or a smaller upsample"
                 : "use fewer or smaller frames, a smaller upsample or single precision");
}

}  // namespace

KorvexHarmonics Fine_Grid_Harmonics(const IlluminationPattern& pattern, unsigned factor) {
  const IlluminationPattern fine = On_Finer_Grid(pattern, factor);
  const size_t orientations = fine.orientations.size();
  const size_t phases = fine.phases.size() / orientations;
  const double pi = std::acos(-1.0);
  KorvexHarmonics harmonics;
  for (size_t a = 0; a < orientations; ++a) {
    const korvex::patterns::OrientationEstimate& o = fine.orientations[a];
    const double k = 2.0 * pi / o.period;
    harmonics.orientations.push_back({k * std::cos(o.angle), k * std::sin(o.angle)});
    for (size_t p = 0; p < phases; ++p) {
      const double phase = fine.phases[a * phases + p];
      harmonics.coefficients.push_back({std::polar(0.5 * o.modulation, phase),
                                        std::polar(0.5 * o.modulation2, 2.0 * phase + o.phase2)});
    }
  }
  return harmonics;
}

template <typename V>
std::vector<double> Harmonic_Multiplier(const KorvexHarmonics& harmonics, const std::vector<V>& otf,
                                        unsigned height, unsigned width) {
  const size_t orientations = harmonics.orientations.size();
  if (orientations == 0 || harmonics.coefficients.size() % orientations != 0) {
    throw std::invalid_argument("harmonics must hold the same number of frames for each of at "
                                "least one orientation");
  }
  if (otf.size() != size_t{height} * width) {
    throw std::invalid_argument("otf must hold " + Shape_Text(height, width) + " values, got " +
                                std::to_string(otf.size()));
  }
  const double pi = std::acos(-1.0);
  // The box of rows [top, bottom] and columns [left, right] that holds all the OTF's nonzero
  // samples: beyond the cut-off it is zero, and so is every shifted copy beyond the shifted box.
  unsigned top = height, bottom = 0, left = width, right = 0;
  for (unsigned c = 0; c < width; ++c) {
    const V* column = otf.data() + size_t{c} * height;
    unsigned first = 0, last = height;
    while (first < height && column[first] == V(0)) ++first;
    if (first == height) continue;
    while (column[last - 1] == V(0)) --last;
    top = std::min(top, first), bottom = std::max(bottom, last - 1);
    left = std::min(left, c), right = std::max(right, c);
  }
  std::vector<double> multiplier(size_t{height} * width, 0.0);
  if (top > bottom) return multiplier;  // an OTF of zeros
  // The samples read: from one before the box to its end, periodic, so that the bilinear
  // weights reach every nonzero sample; at most the whole grid.
  const unsigned rowCount = std::min(bottom - top + 2, height);
  const unsigned columnCount = std::min(right - left + 2, width);
  const unsigned firstRow = (top + height - 1) % height, firstColumn = (left + width - 1) % width;
  // |OTF|^2 over them and one sample more each way (zero beyond the box, or the first again
  // where they are the whole grid): local (i, j) is grid row firstRow + i, column
  // firstColumn + j, and the bilinear neighbours are (i + 1, j + 1).
  const size_t localHeight = size_t{rowCount} + 1;
  std::vector<double> squared(localHeight * (columnCount + 1));
  for (unsigned j = 0; j <= columnCount; ++j) {
    const V* column = otf.data() + size_t{(firstColumn + j) % width} * height;
    for (unsigned i = 0; i <= rowCount; ++i) {
      const double v = static_cast<double>(column[(firstRow + i) % height]);
      squared[j * localHeight + i] = v * v;
    }
  }
  // Adds weight x |OTF|^2 at every frequency offset by (sx, sy) bins, bilinear between the
  // samples and periodic as the grid's spectrum is. The offset is the same at every pixel, so
  // are its whole part (an index shift) and its bilinear weights. Only outputs whose samples
  // meet the box are visited; the rest would add zeros.
  const auto add_shifted = [&](double sx, double sy, double weight) {
    const double wholeX = std::floor(sx), wholeY = std::floor(sy);
    const double tx = sx - wholeX, ty = sy - wholeY;
    const auto wrap = [](double v, unsigned n) {
      const long m = static_cast<long>(v) % long(n);
      return static_cast<unsigned>(m < 0 ? m + long(n) : m);
    };
    const unsigned shiftX = wrap(wholeX, width), shiftY = wrap(wholeY, height);
    const double w00 = weight * (1 - tx) * (1 - ty), w10 = weight * tx * (1 - ty);
    const double w01 = weight * (1 - tx) * ty, w11 = weight * tx * ty;
    // Output row r reads grid row r + shiftY: local row i lands on row firstRow + i - shiftY,
    // which runs down the column and wraps to row 0 once at most, after `split` rows.
    const unsigned landing = (firstRow + height - shiftY) % height;
    const unsigned split = std::min(rowCount, height - landing);
    for (unsigned j = 0; j < columnCount; ++j) {
      const unsigned c = (firstColumn + j + width - shiftX) % width;
      const double* s0 = squared.data() + j * localHeight;
      const double* s1 = s0 + localHeight;
      double* out = multiplier.data() + size_t{c} * height;
      const auto add_rows = [&](unsigned from, unsigned to, double* at) {
        for (unsigned i = from; i < to; ++i) {
          at[i - from] += w00 * s0[i] + w10 * s1[i] + w01 * s0[i + 1] + w11 * s1[i + 1];
        }
      };
      add_rows(0, split, out + landing);
      add_rows(split, rowCount, out);
    }
  };
  const size_t phases = harmonics.coefficients.size() / orientations;
  for (size_t a = 0; a < orientations; ++a) {
    // M_{l,-l}: the phase count for l = 0, sum_j |c_{j,l}|^2 for l = +-1, +-2.
    double weight[3] = {static_cast<double>(phases), 0.0, 0.0};
    for (size_t p = 0; p < phases; ++p) {
      for (int l = 1; l <= 2; ++l)
        weight[l] += std::norm(harmonics.coefficients[a * phases + p][l - 1]);
    }
    const double kx = harmonics.orientations[a].kx * width / (2 * pi);
    const double ky = harmonics.orientations[a].ky * height / (2 * pi);
    add_shifted(0.0, 0.0, weight[0]);
    for (int l = 1; l <= 2; ++l) {
      if (weight[l] == 0.0) continue;
      add_shifted(l * kx, l * ky, weight[l]);
      add_shifted(-l * kx, -l * ky, weight[l]);
    }
  }
  return multiplier;
}

template std::vector<double> Harmonic_Multiplier(const KorvexHarmonics&, const std::vector<float>&,
                                                 unsigned, unsigned);
template std::vector<double> Harmonic_Multiplier(const KorvexHarmonics&, const std::vector<double>&,
                                                 unsigned, unsigned);

double Sparsity_Share(const AcquisitionOptions& options) {
  if (options.sparsity) return *options.sparsity;
  return options.nonNegative ? ReconstructionDefaults::kSparsity : 0.0;
}

bool Out_Of_Focus_On(const AcquisitionOptions& options) {
  return options.outOfFocus.enabled.value_or(ReconstructionDefaults::kOutOfFocus &&
                                             options.preconditioned);
}

unsigned Upsampling_Factor(double upsample) {
  if (!(upsample >= 1.0) || !std::isfinite(upsample) || upsample != std::floor(upsample) ||
      upsample > 65536.0) {
    std::ostringstream message;
    message << "upsample must be a whole number from 1 to 65536, got " << upsample;
    throw std::invalid_argument(message.str());
  }
  return static_cast<unsigned>(upsample);
}

std::vector<double> Fine_Grid_Otf(const AcquisitionOptions& options, unsigned height,
                                  unsigned width, unsigned factor) {
  const unsigned fineHeight = height * factor;
  const unsigned fineWidth = width * factor;
  if (options.otf) {
    Check_Measured_Otf(*options.otf, height, width, factor);
    return Resample_Otf(options.otf->values, options.otf->height, options.otf->width, fineHeight,
                        fineWidth);
  }
  Check_Optics(options.optics, height, width, factor);
  const Optics& o = options.optics;
  return Widefield_Otf(fineHeight, fineWidth, o.na, o.wavelength, o.pixelSize / factor);
}

// What the pipeline keeps between calls, and the stages that fill it. Each stage rebuilds
// what it keeps only when the geometry (or the optics) changed.
template <typename T>
struct AcquisitionPipeline<T>::Kept {
  std::unique_ptr<Korvex<T>> engine;
  std::unique_ptr<FourierUpsampler<T>> upsampler;
  std::unique_ptr<CameraGridEstimator> estimator;
  std::vector<T> photons;  // the frames less the offset, over the gain
  std::vector<T> fineFrames, otf;
  KorvexHarmonics harmonics;
  OtfKey otfKey;
  std::vector<T> cameraOtf;  // the estimator's
  OtfKey cameraOtfKey;
  std::vector<double> haze;  // the out-of-focus model's transfer function, fine grid
  HazeKey hazeKey;
  double hazeReach = 0;  // Out_Of_Focus_Reach, kept like G
  HazeKey hazeReachKey;

  void Estimate_Pattern(const T* frames, unsigned height, unsigned width,
                        const AcquisitionOptions& options, AcquisitionResult<T>& result) {
    if (options.pattern) {
      result.pattern = *options.pattern;
      return;
    }
    // A large estimate gives its buffers back when done; the up-sampled frames of the last
    // call, made anew after it, need not sit beside them meanwhile.
    if (korvex::patterns::Releases_Buffers(height, width, options.angles, options.phases)) {
      std::vector<T>().swap(fineFrames);
    }
    if (!estimator || !estimator->Fits(height, width, options.angles, options.phases)) {
      estimator.reset();
      estimator =
          std::make_unique<CameraGridEstimator>(height, width, options.angles, options.phases);
      result.built.estimator = true;
    }
    Camera_Otf(options, height, width);
    korvex::patterns::PatternGuess guess = options.guess;
    if (Out_Of_Focus_On(options)) guess.hazeFrequency = Haze_Reach(options, height, width);
    result.pattern = estimator->Estimate(frames, cameraOtf.data(), guess);
    result.lowModulation = Low_Modulation(result.pattern);
    result.estimated = true;
  }

  // The frames in photons above the offset: the caller's own when the camera units change
  // nothing.
  const T* Photons(const T* frames, unsigned height, unsigned width, unsigned frameCount,
                   const CameraUnits& units) {
    if (units.Is_Identity()) return frames;
    photons.resize(size_t{height} * width * frameCount);
    To_Photons(frames, height, width, frameCount, units, photons.data());
    return photons.data();
  }

  // The camera grid's OTF, in the frames' precision: kept, like the fine grid's, while the
  // geometry and optics stay; a measured OTF is resampled at every call.
  void Camera_Otf(const AcquisitionOptions& options, unsigned height, unsigned width) {
    const Optics& o = options.optics;
    const OtfKey key{height, width, 1, o.na, o.wavelength, o.pixelSize};
    if (!options.otf && key == cameraOtfKey && !cameraOtf.empty()) return;
    cameraOtfKey = {};
    const std::vector<double> values =
        options.otf ? Resample_Otf(options.otf->values, options.otf->height, options.otf->width,
                                   height, width)
                    : Widefield_Otf(height, width, o.na, o.wavelength, o.pixelSize);
    cameraOtf.assign(values.begin(), values.end());
    if (!options.otf) cameraOtfKey = key;
  }

  // Returns whether it built the up-sampler.
  bool Upsample(const T* frames, unsigned height, unsigned width, unsigned frameCount,
                unsigned factor) {
    const bool build = !upsampler || upsampler->Height() != height ||
                       upsampler->Width() != width || upsampler->Factor() != factor;
    if (build) {
      upsampler.reset();
      upsampler = std::make_unique<FourierUpsampler<T>>(height, width, factor);
    }
    fineFrames.resize(size_t{height} * width * factor * factor * frameCount);
    upsampler->Upsample(frames, frameCount, fineFrames.data());
    return build;
  }

  // Returns whether it made the OTF anew.
  bool Fine_Otf(const AcquisitionOptions& options, unsigned height, unsigned width,
                unsigned factor) {
    const Optics& o = options.optics;
    const OtfKey key{height, width, factor, o.na, o.wavelength, o.pixelSize};
    if (!options.otf && key == otfKey && !otf.empty()) return false;
    otfKey = {};
    const std::vector<double> values = Fine_Grid_Otf(options, height, width, factor);
    otf.assign(values.begin(), values.end());
    if (!options.otf) otfKey = key;
    return true;
  }

  // G of the out-of-focus model, kept like the OTF; taken from a measured OTF's cut-off, it is
  // made anew at every call.
  void Haze_Transfer(const AcquisitionOptions& options, unsigned height, unsigned width,
                     unsigned factor) {
    const Optics& o = options.optics;
    const HazeKey key{{height, width, factor, o.na, o.wavelength, o.pixelSize},
                      o.immersion,
                      options.outOfFocus.width,
                      options.outOfFocus.defocus};
    if (!options.otf && key == hazeKey && !haze.empty()) return;
    hazeKey = {};
    haze = Out_Of_Focus_Transfer(options, height, width, factor,
                                 std::vector<double>(otf.begin(), otf.end()));
    if (!options.otf) hazeKey = key;
  }

  // Out_Of_Focus_Reach on the camera grid, for the pattern's depth.
  double Haze_Reach(const AcquisitionOptions& options, unsigned height, unsigned width) {
    const Optics& o = options.optics;
    const HazeKey key{{height, width, 1, o.na, o.wavelength, o.pixelSize},
                      o.immersion,
                      options.outOfFocus.width,
                      options.outOfFocus.defocus};
    if (options.otf || !(key == hazeReachKey)) {
      hazeReachKey = {};
      hazeReach = Out_Of_Focus_Reach(options, height, width,
                                     std::vector<double>(cameraOtf.begin(), cameraOtf.end()));
      if (!options.otf) hazeReachKey = key;
    }
    return hazeReach;
  }

  void Fine_Masks(const IlluminationPattern& pattern, unsigned factor) {
    harmonics = Fine_Grid_Harmonics(pattern, factor);
  }

  // What the kept buffers and engine hold already, counted as Pipeline_Bytes counts them.
  MemoryNeed Held() const {
    const uint64_t values = photons.capacity() + fineFrames.capacity() + otf.capacity();
    MemoryNeed held{values * sizeof(T) + haze.capacity() * sizeof(double), 0};
    if (engine) {
      const uint64_t finePixels = uint64_t{engine->m_width} * engine->m_height;
      held.device = Engine_Bytes(finePixels, 1, sizeof(T), engine->Holds_Out_Of_Focus()) +
                    2 * sizeof(T) * finePixels;
    }
    return held;
  }

  // Returns whether it built the engine.
  bool Fit_Engine(unsigned fineHeight, unsigned fineWidth, unsigned frameCount,
                  unsigned iterations, bool outOfFocus) {
    if (engine &&
        (!engine->m_harmonic || engine->m_width != fineWidth || engine->m_height != fineHeight ||
         engine->m_frames != frameCount || engine->m_maxIter != iterations ||
         engine->Holds_Out_Of_Focus() != outOfFocus)) {
      engine.reset();
    }
    if (!engine) {
      engine = std::make_unique<Korvex<T>>(fineWidth, fineHeight, frameCount, iterations, true,
                                           outOfFocus);
      return true;
    }
    return false;
  }
};

template <typename T>
AcquisitionPipeline<T>::AcquisitionPipeline() : kept_(std::make_unique<Kept>()) {}

template <typename T>
AcquisitionPipeline<T>::~AcquisitionPipeline() {
  Release();
}

template <typename T>
void AcquisitionPipeline<T>::Release() noexcept {
  kept_->engine.reset();
  kept_->upsampler.reset();
  kept_->estimator.reset();
  // Swapped with empty vectors: assigning {} would keep their capacity.
  std::vector<T>().swap(kept_->photons);
  std::vector<T>().swap(kept_->fineFrames);
  kept_->harmonics = {};
  std::vector<T>().swap(kept_->otf);
  kept_->otfKey = {};
  std::vector<T>().swap(kept_->cameraOtf);
  kept_->cameraOtfKey = {};
  std::vector<double>().swap(kept_->haze);
  kept_->hazeKey = {};
  Return_Freed_Memory();
}

template <typename T>
AcquisitionResult<T> AcquisitionPipeline<T>::Reconstruct(const T* frames, unsigned height,
                                                         unsigned width, unsigned frameCount,
                                                         const AcquisitionOptions& options) {
  try {
    const Clock::time_point start = Clock::now();
    Check_Acquisition(frames, height, width, frameCount, options);
    const unsigned factor = Upsampling_Factor(options.upsample);
    Check_Fine_Grid(height, width, frameCount, factor);
    if (options.otf) {
      Check_Measured_Otf(*options.otf, height, width, factor);
    } else {
      Check_Optics(options.optics, height, width, factor);
    }
    if (options.pattern) {
      Check_Pattern(*options.pattern, options.angles, frameCount, "pattern", factor);
    }
    Check_Camera_Units(options.camera, height, width);
    Check_Out_Of_Focus(options, height, width, factor);
    const bool outOfFocus = Out_Of_Focus_On(options);
    Check_Memory(Beyond(Pipeline_Bytes(height, width, frameCount, factor, options.angles,
                                       !options.pattern, sizeof(T), outOfFocus),
                        kept_->Held()),
                 "the reconstruction",
                 Memory_Advice(sizeof(T) == sizeof(float), outOfFocus).c_str());

    Kept& k = *kept_;
    frames = k.Photons(frames, height, width, frameCount, options.camera);
    // The mean of the signal above the offset: what the sparsity share refers to.
    const double frameMean = Finite_Mean(frames, size_t{height} * width * frameCount);
    // Values near the type's range are scaled by a power of two and the image scaled back.
    std::vector<T> scaledFrames;
    const double scale = Scale_Frames(frames, size_t{height} * width * frameCount, scaledFrames);
    AcquisitionResult<T> result;
    result.height = height * factor;
    result.width = width * factor;
    result.pixelSize = options.optics.pixelSize / factor;
    result.undersampled = Undersampling_Warning(options.optics);
    // Runs one stage and returns its seconds.
    const auto timed = [](auto&& stage) {
      const Clock::time_point begin = Clock::now();
      stage();
      return Seconds_Since(begin);
    };
    result.seconds.estimation =
        timed([&] { k.Estimate_Pattern(frames, height, width, options, result); });
    result.seconds.upsampling = timed([&] {
      result.built.upsampler = k.Upsample(frames, height, width, frameCount, factor);
    });
    result.seconds.otf = timed([&] {
      result.built.otf = k.Fine_Otf(options, height, width, factor);
      if (outOfFocus) k.Haze_Transfer(options, height, width, factor);
    });
    result.seconds.masks = timed([&] {
      k.Fine_Masks(result.pattern, factor);
      if (options.multiplier || options.fourierStart || options.preconditioned) {
        std::vector<double> multiplier =
            Harmonic_Multiplier(k.harmonics, k.otf, result.height, result.width);
        if (options.multiplier) k.harmonics.multiplier = multiplier;
        if (options.fourierStart || options.preconditioned) {
          k.harmonics.approximation = std::move(multiplier);
        }
      }
    });
    result.seconds.engineSetup = timed([&] {
      result.built.engine =
          k.Fit_Engine(result.height, result.width, frameCount, options.iterations, outOfFocus);
    });
    result.image.resize(size_t{result.height} * result.width);
    KorvexOptions engineOptions = Engine_Options(options, frameMean * scale);
    // The kept haze transfer function is lent to the engine for the call, not copied; a
    // failure releases everything kept anyway.
    if (outOfFocus) engineOptions.outOfFocus.swap(k.haze);
    result.seconds.reconstruction = timed([&] {
      k.engine->Mapsim_Compute(k.fineFrames.data(), k.otf.data(), k.harmonics, result.image.data(),
                               static_cast<T>(options.threshold), static_cast<T>(options.lambda),
                               static_cast<T>(options.alpha), engineOptions);
      if (outOfFocus) {
        k.haze.swap(engineOptions.outOfFocus);
        result.outOfFocus.resize(result.image.size());
        result.outOfFocusShare = k.engine->Out_Of_Focus(result.outOfFocus.data());
      }
    });

    // The multipliers serve this call only: 8 bytes an output pixel each, not held between calls.
    std::vector<double>().swap(k.harmonics.multiplier);
    std::vector<double>().swap(k.harmonics.approximation);
    Unscale_Image(result.image, scale);
    Unscale_Image(result.outOfFocus, scale);
    result.iterations = options.iterations == 0 ? 0 : k.engine->m_iteration + 1;
    result.alpha = static_cast<double>(k.engine->m_alpha);
    result.ratio = static_cast<double>(k.engine->m_ratio);
    result.seconds.total = Seconds_Since(start);
    return result;
  } catch (...) {
    Release();
    throw;
  }
}

template class AcquisitionPipeline<float>;
template class AcquisitionPipeline<double>;

}  // namespace korvex::acquisition
