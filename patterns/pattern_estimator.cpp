// The estimator's sequence of steps; the maths of each lives in its own file.
//
//   1. Transform every frame once.
//   2. Separate each orientation's bands assuming equal phase steps, apodise them, measure
//      the noise beyond the passband, and find each carrier on the grid (carrier_search).
//   3. Twice: separate with the current phases, fit each carrier below a bin by least squares
//      (carrier_fit), then read each frame's own phase against the widefield band.
//   4. Depth from the last fit, MCNR from the coarse peak.
#include <algorithm>
#include <cmath>

#include "band_separation.h"
#include "carrier_fit.h"
#include "carrier_search.h"
#include "input_checks.h"
#include "otf_model.h"
#include "pattern_estimate.h"
#include "spectrum_transform.h"

namespace korvex::patterns {

namespace {

const double kPi = std::acos(-1.0);
// Beyond this multiple of the cut-off a spectrum holds noise alone (leakage of the
// apodised passband dies within a few bins).
constexpr double kNoiseRegion = 1.15;
// The carrier search leaves out this fraction of the cut-off around zero frequency, where
// the widefield band leaks into imperfectly separated carrier bands.
constexpr double kInnerExclusion = 0.15;
constexpr double kOuterLimit = 0.98;
constexpr int kFitIterations[] = {3, 1};
constexpr int kPhasePasses[] = {3, 6};
constexpr double kExpectedAmplitude = 0.25;
// The fit's window is zero within this many periods of the cut-off frequency (a few widths
// of the point-spread function) from each edge, where its filters wrap the frames around.
constexpr double kPsfReach = 2.5;
// Noise-free data have no noise to measure against; their MCNR is reported as this.
constexpr double kMaxMcnr = 1e6;

struct Orientation {
  std::vector<double> phases;  // of its P frames
  double fx = 0.0;
  double fy = 0.0;
  size_t candidates = 1;
  double detection = 0.0;  // |carrier band|^2 over its noise variance at the coarse peak
  CarrierFit fit;
  BandWeights weights;
};

double Wrap_Phase(double phase) {
  phase = std::fmod(phase, 2.0 * kPi);
  return phase < 0 ? phase + 2.0 * kPi : phase;
}

}  // namespace

struct PatternEstimator::Impl {
  Impl(unsigned h, unsigned w, unsigned a, unsigned p)
      : grid(h, w),
        angles(a),
        phases(p),
        transform(grid),
        window(Apodisation(grid)),
        workspaces(a) {}

  template <typename T>
  PatternEstimate Run(const T* frames, const T* otf, const PatternGuess& guess);

  template <typename T>
  void Transform_Frames(const T* framesIn);
  void Find_Carriers(const OtfModel& otf, const PatternGuess& guess);
  double Measure_Noise(const OtfModel& otf) const;
  void Refine(const OtfModel& otf);
  void Separate();
  PatternEstimate Summarise() const;

  // The frames (or spectra) of orientation a.
  template <typename Image>
  std::vector<const Image*> Of(const std::vector<Image>& images, unsigned a) const {
    std::vector<const Image*> out;
    for (unsigned p = 0; p < phases; ++p) out.push_back(&images[a * phases + p]);
    return out;
  }

  SpectralGrid grid;
  unsigned angles;
  unsigned phases;
  SpectrumTransform transform;
  RealImage window;
  // Kept between calls: a stack of this geometry needs them all again.
  std::vector<RealImage> frames;
  std::vector<ComplexImage> spectra;
  // State of one call.
  std::vector<Orientation> orientation;
  std::vector<ComplexImage> carriers;  // separated carrier bands (spectra)
  ComplexImage widefield;              // widefield band, mean over the orientations (spectrum)
  std::vector<size_t> passband;        // bins the fits read: the OTF's passband
  std::vector<Complex> packed;         // the spectra over the passband, bin by bin
  std::vector<FitWorkspace> workspaces;  // one per orientation
  RealImage fitWeight;                   // the fits' pixel weights, for margin fitMargin
  unsigned fitMargin = ~0u;
  double noise = 0.0;                  // variance of one pixel of one frame
  bool separated = false;              // whether the carriers hold separated bands alone
};

template <typename T>
PatternEstimate PatternEstimator::Impl::Run(const T* framesIn, const T* otfIn,
                                            const PatternGuess& guess) {
  const size_t n = grid.pixels;
  Check_Finite("frames", framesIn, n * angles * phases);
  Check_Finite("otf", otfIn, n);
  Check_Guess(guess, angles);
  const OtfModel otf(grid, RealImage(otfIn, otfIn + n));
  Check_Passband(otf.Cutoff(), grid.height, grid.width);

  Transform_Frames(framesIn);
  Find_Carriers(otf, guess);
  Refine(otf);
  return Summarise();
}

template <typename T>
void PatternEstimator::Impl::Transform_Frames(const T* framesIn) {
  const size_t n = grid.pixels;
  const unsigned frameCount = angles * phases;
  frames.resize(frameCount, RealImage(n));
  spectra.resize(frameCount, ComplexImage(n));
  for (unsigned f = 0; f < frameCount; ++f) {
    const T* in = framesIn + f * n;
    for (size_t i = 0; i < n; ++i) frames[f][i] = static_cast<double>(in[i]);
  }
  // Frames are real: two share one complex transform.
  for (unsigned f = 0; f < frameCount; f += 2) {
    const bool two = f + 1 < frameCount;
    transform.Forward_Pair(frames[f], two ? &frames[f + 1] : nullptr, spectra[f],
                           two ? &spectra[f + 1] : nullptr);
  }
}

// Coarse carriers, from apodised bands separated with equal phase steps.
void PatternEstimator::Impl::Find_Carriers(const OtfModel& otf, const PatternGuess& guess) {
  const size_t n = grid.pixels;
  orientation.assign(angles, Orientation());
  carriers.assign(angles, ComplexImage());
  for (unsigned a = 0; a < angles; ++a) {
    Orientation& o = orientation[a];
    for (unsigned p = 0; p < phases; ++p) o.phases.push_back(2.0 * kPi * p / phases);
    o.weights = Separation_Weights(o.phases);
    carriers[a] = Combine(o.weights.carrier, Of(frames, a));
    for (size_t i = 0; i < n; ++i) carriers[a][i] *= window[i];
    transform.Forward(carriers[a]);
  }
  noise = Measure_Noise(otf);

  double windowPower = 0.0;
  for (double w : window) windowPower += w * w;
  for (unsigned a = 0; a < angles; ++a) {
    Orientation& o = orientation[a];
    SearchRegion region;
    region.minFrequency = kInnerExclusion * otf.Cutoff();
    region.maxFrequency = kOuterLimit * otf.Cutoff();
    if (guess.period > 0.0) {
      region.minFrequency = std::max(region.minFrequency, 0.9 / guess.period);
      region.maxFrequency = std::min(region.maxFrequency, 1.1 / guess.period);
    }
    if (!guess.angles.empty()) {
      region.constrainAngle = true;
      region.angle = guess.angles[a];
      region.angleTolerance = 5.0 * kPi / 180.0;
    }
    const CarrierPeak peak = Find_Carrier(grid, otf, carriers[a], region);
    o.fx = peak.fx;
    o.fy = peak.fy;
    o.candidates = std::max<size_t>(1, peak.candidates);
    double gain = 0.0;
    for (const Complex& w : o.weights.carrier) gain += std::norm(w);
    const double spread = noise * gain * windowPower;
    o.detection =
        spread > 0.0 ? peak.power / spread : (peak.power > 0.0 ? kMaxMcnr * kMaxMcnr : 0.0);
    // Steps that turn the other way put the carrier at -k: describe it with the wave vector
    // in [0, pi) and phases that decrease.
    const double angle = std::atan2(o.fy, o.fx);
    if (angle < 0.0 || angle >= kPi) {
      o.fx = -o.fx;
      o.fy = -o.fy;
      for (double& phase : o.phases) phase = Wrap_Phase(-phase);
    }
  }
}

// The noise of one pixel of one frame, from the apodised carrier bands' spectra beyond the
// passband, where only noise is left.
double PatternEstimator::Impl::Measure_Noise(const OtfModel& otf) const {
  double windowPower = 0.0;
  for (double w : window) windowPower += w * w;
  double sum = 0.0;
  size_t bins = 0;
  const double limit = kNoiseRegion * otf.Cutoff();
  for (unsigned a = 0; a < angles; ++a) {
    double gain = 0.0;
    for (const Complex& w : orientation[a].weights.carrier) gain += std::norm(w);
    for (unsigned c = 0; c < grid.width; ++c) {
      const double fx = grid.Fx(c);
      for (unsigned r = 0; r < grid.height; ++r) {
        const double fy = grid.Fy(r);
        if (fx * fx + fy * fy <= limit * limit) continue;
        sum += std::norm(carriers[a][grid.Index(r, c)]) / (gain * windowPower);
        ++bins;
      }
    }
  }
  if (bins >= angles * (grid.pixels / 50)) return sum / static_cast<double>(bins);
  // The passband fills the grid: assume photon counts, whose variance is their mean.
  sum = 0.0;
  for (const RealImage& frame : frames) {
    for (double v : frame) sum += std::max(0.0, v);
  }
  return sum / (static_cast<double>(grid.pixels) * static_cast<double>(frames.size()));
}

// Separates every orientation's bands with its current phases, inside `passband`.
void PatternEstimator::Impl::Separate() {
  const size_t frameCount = size_t{angles} * phases;
  // Weights of frame f = a P + p: its share of the widefield band, and its complex weight in
  // orientation a's carrier band.
  std::vector<double> share(frameCount), carrierRe(frameCount), carrierIm(frameCount);
  for (unsigned a = 0; a < angles; ++a) {
    Orientation& o = orientation[a];
    o.weights = Separation_Weights(o.phases);
    for (unsigned p = 0; p < phases; ++p) {
      share[a * phases + p] = o.weights.widefield[p] / angles;
      carrierRe[a * phases + p] = o.weights.carrier[p].real();
      carrierIm[a * phases + p] = o.weights.carrier[p].imag();
    }
  }
  // Outside the passband the bands stay zero; the carriers of the search held all bins.
  if (!separated) {
    for (ComplexImage& carrier : carriers) std::fill(carrier.begin(), carrier.end(), Complex());
    separated = true;
  }
  // One pass over the bins for all the bands, the frames read once. Complex values are read
  // as their (real, imaginary) pairs of doubles, as std::complex lays them out.
  for (size_t j = 0; j < passband.size(); ++j) {
    const size_t i = passband[j];
    const double* bin = reinterpret_cast<const double*>(&packed[j * frameCount]);
    double sumRe = 0.0, sumIm = 0.0;
    for (unsigned a = 0; a < angles; ++a) {
      double bandRe = 0.0, bandIm = 0.0;
      double re = 0.0, im = 0.0;
      for (unsigned p = 0; p < phases; ++p) {
        const size_t f = a * phases + p;
        const double vRe = bin[2 * f];
        const double vIm = bin[2 * f + 1];
        bandRe += share[f] * vRe;
        bandIm += share[f] * vIm;
        re += carrierRe[f] * vRe - carrierIm[f] * vIm;
        im += carrierRe[f] * vIm + carrierIm[f] * vRe;
      }
      sumRe += bandRe;
      sumIm += bandIm;
      carriers[a][i] = Complex(re, im);
    }
    widefield[i] = Complex(sumRe, sumIm);
  }
}

// Fit the carriers, then read the phases; twice, the second time with bands separated by
// the measured phases.
void PatternEstimator::Impl::Refine(const OtfModel& otf) {
  const size_t n = grid.pixels;
  const unsigned margin = static_cast<unsigned>(
      std::min<double>(std::ceil(kPsfReach / otf.Cutoff()), std::min(grid.height, grid.width) / 8));
  // The fit's filters act on the whole frames and the window only chooses the pixels of the
  // sum, so it needs no long taper against leakage: a short one keeps the pixels far from
  // the centre, which tell the most about the wave vector.
  if (margin != fitMargin) {
    const RealImage fitWindow = Apodisation(grid, margin, margin);
    // Pixels weigh alike inside the window: a weight for photon noise, proportional to the
    // widefield image, needs the background that was taken off, which is not known here.
    fitWeight.resize(n);
    for (size_t i = 0; i < n; ++i) fitWeight[i] = fitWindow[i] * fitWindow[i];
    fitMargin = margin;
  }
  // The fits read the bands only inside the passband, so only there are they separated.
  passband.clear();
  for (size_t i = 0; i < n; ++i) {
    if (otf.Passes(i)) passband.push_back(i);
  }
  std::vector<CarrierFitter> fitters;
  fitters.reserve(angles);
  for (unsigned a = 0; a < angles; ++a) {
    fitters.emplace_back(grid, otf, transform, fitWeight, passband, workspaces[a]);
    // Equal steps: a widefield bin (all A P frames) has 1/A of a carrier bin's noise; the
    // expected |c|^2 is that of a depth of 0.5.
    fitters.back().Set_Noise_Ratio(kExpectedAmplitude * kExpectedAmplitude / angles);
  }
  // The frames' spectra over the passband, the F values of a bin side by side: the
  // separations and the matches read all the frames at each bin, and the spectra, of a
  // power-of-two size each, would meet in the same cache sets.
  const size_t frameCount = spectra.size();
  packed.resize(passband.size() * frameCount);
  // In blocks of bins that keep their packed values in the first-level cache.
  constexpr size_t kBlock = 128;
  for (size_t first = 0; first < passband.size(); first += kBlock) {
    const size_t last = std::min(first + kBlock, passband.size());
    for (size_t f = 0; f < frameCount; ++f) {
      const Complex* spectrum = spectra[f].data();
      for (size_t j = first; j < last; ++j) packed[j * frameCount + f] = spectrum[passband[j]];
    }
  }
  widefield.assign(n, Complex());
  separated = false;
  for (int round = 0; round < 2; ++round) {
    Separate();
    for (unsigned a = 0; a < angles; ++a) {
      Orientation& o = orientation[a];
      o.fit = fitters[a].Fit(carriers[a], widefield, o.fx, o.fy, kFitIterations[round]);
      o.fx = o.fit.fx;
      o.fy = o.fit.fy;
      fitters[a].Prepare_Phases(size_t{a} * phases, phases);
    }
    CarrierFitter::Match_Frames(fitters, packed, frameCount);
    // The phases and the separation depend on each other; with the carriers fixed, a few
    // passes settle them. Every band is a weighted sum of the frames, so a pass needs only
    // the weights: the fitters matched the frames themselves once.
    for (int pass = 0; pass < kPhasePasses[round]; ++pass) {
      std::vector<double> shares;  // of every frame in the widefield band
      for (const Orientation& o : orientation) {
        for (double w : o.weights.widefield) shares.push_back(w / angles);
      }
      for (unsigned a = 0; a < angles; ++a) {
        Orientation& o = orientation[a];
        if (!(o.fit.modelPower > 0.0)) continue;
        std::vector<double> measured = fitters[a].Frame_Phases(shares, o.weights.carrier);
        // Without a carrier the phases measured are noise, and may not separate anything.
        if (Separable(measured)) o.phases = measured;
      }
      for (Orientation& o : orientation) o.weights = Separation_Weights(o.phases);
    }
  }
}

PatternEstimate PatternEstimator::Impl::Summarise() const {
  double widefieldGain = 0.0;  // noise variance of a widefield bin per unit pixel variance
  for (const Orientation& o : orientation) {
    for (double w : o.weights.widefield) widefieldGain += w * w;
  }
  widefieldGain *= static_cast<double>(grid.pixels) / (static_cast<double>(angles) * angles);
  PatternEstimate estimate;
  for (const Orientation& o : orientation) {
    double fx = o.fx;
    double fy = o.fy;
    std::vector<double> frameSet = o.phases;
    double angle = std::atan2(fy, fx);
    if (angle < 0.0 || angle >= kPi) {  // the fit crossed the direction's wrap
      fx = -fx;
      fy = -fy;
      for (double& phase : frameSet) phase = Wrap_Phase(-phase);
      angle = std::atan2(fy, fx);
    }
    OrientationEstimate e;
    e.angle = std::min(std::max(angle, 0.0), std::nextafter(kPi, 0.0));
    const double frequency = std::hypot(fx, fy);
    e.period = frequency > 0.0 ? 1.0 / frequency : 0.0;

    // Depth: c = m/2 for bands separated with the frames' absolute phases. Noise in the
    // widefield band inflates the model's power; that part is removed first.
    const CarrierFit& fit = o.fit;
    const double inflation = fit.weightSum * fit.modelGain * widefieldGain * noise;
    const double power = std::max(fit.modelPower - inflation, 0.5 * fit.modelPower);
    const double depth = power > 0.0 ? 2.0 * std::abs(fit.match) / power : 0.0;
    e.modulation = std::isfinite(depth) ? std::min(std::max(depth, 0.0), 1.0) : 0.0;

    // MCNR: the carrier band's strength at the coarse peak over its noise, less what noise
    // alone reaches at the best of the positions searched (|noise|^2 over its variance is
    // exponential, and the largest of n such values is about ln n + 0.58).
    const double mcnr =
        std::sqrt(std::max(0.0, o.detection - std::log(static_cast<double>(o.candidates)) - 1.0));
    e.mcnr = std::isfinite(mcnr) ? std::min(mcnr, kMaxMcnr) : 0.0;
    e.lowModulation = e.mcnr < kLowMcnr;
    estimate.orientations.push_back(e);
    for (double phase : frameSet) estimate.phases.push_back(std::isfinite(phase) ? phase : 0.0);
  }
  return estimate;
}

PatternEstimator::PatternEstimator(unsigned height, unsigned width, unsigned angles,
                                   unsigned phases) {
  Check_Geometry(height, width, angles, phases);
  impl_ = std::make_unique<Impl>(height, width, angles, phases);
}

PatternEstimator::~PatternEstimator() = default;

PatternEstimate PatternEstimator::Estimate(const float* frames, const float* otf,
                                           const PatternGuess& guess) {
  return impl_->Run(frames, otf, guess);
}

PatternEstimate PatternEstimator::Estimate(const double* frames, const double* otf,
                                           const PatternGuess& guess) {
  return impl_->Run(frames, otf, guess);
}

unsigned PatternEstimator::Height() const { return impl_->grid.height; }
unsigned PatternEstimator::Width() const { return impl_->grid.width; }
unsigned PatternEstimator::Angles() const { return impl_->angles; }
unsigned PatternEstimator::Phases() const { return impl_->phases; }

}  // namespace korvex::patterns
