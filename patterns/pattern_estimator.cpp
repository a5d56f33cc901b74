// The estimator's sequence of steps; the maths of each lives in its own file.
//
//   1. Transform every frame once.
//   2. Separate each orientation's bands assuming equal phase steps, apodise them, measure
//      the noise beyond the passband, and find each carrier on the grid (carrier_search).
//   3. Twice: separate with the current phases, fit each carrier below a bin by least squares
//      (carrier_fit), then read each frame's own phase against the widefield band.
//   4. With 5 phases or more, the second harmonic at twice each wave vector: its band
//      separated with the measured phases, its depth and phase constant measured there.
//   5. Depth from the last fit, MCNR from the coarse peak.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

#include "band_separation.h"
#include "carrier_fit.h"
#include "carrier_search.h"
#include "cpu_parallel.h"
#include "input_checks.h"
#include "memory_budget.h"
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
// The transforms run in single precision: rounding leaves noise of about this fraction of the
// frames' RMS value even in noise-free (or constant) frames, and the noise measured is never
// taken below it.
constexpr double kRounding = 1e-6;
// The second harmonic's band is read at the four grid frequencies around twice the wave
// vector: noise alone picks the largest of these.
constexpr double kSecondCandidates = 4.0;
// The neighbourhood where a weak orientation is sought beside strong ones: the same
// frequency within this fraction, the expected angle within this many radians.
constexpr double kGuidedPeriodTolerance = 0.02;
const double kGuidedAngleTolerance = 3.0 * kPi / 180.0;

struct Orientation {
  std::vector<double> phases;  // of its P frames
  double fx = 0.0;
  double fy = 0.0;
  size_t candidates = 1;
  double detection = 0.0;  // |carrier band|^2 over its noise variance at the coarse peak
  CarrierFit fit;
  BandWeights weights;
  double modulation2 = 0.0;  // second harmonic, for the wave vector (fx, fy) and these phases
  double phase2 = 0.0;
  double mcnr2 = 0.0;
  // Whether the bands are separated with the second harmonic in the model: where it is
  // present (or asked for). Where it is absent, the model's two further unknowns would take
  // up the phase errors the frames' matches are to reveal.
  bool second = false;
  bool inPassband = true;  // the fit stayed where carriers are sought
  bool guided = false;     // found where the other orientations put it
};

// Zeros the image, in blocks on the team.
void Clear(ComplexImage& image) {
  platform::Parallel_Blocks(image.size(), 65536, [&](size_t, size_t begin, size_t end) {
    std::fill(image.begin() + begin, image.begin() + end, Complex());
  });
}

double Wrap_Phase(double phase) {
  phase = std::fmod(phase, 2.0 * kPi);
  return phase < 0 ? phase + 2.0 * kPi : phase;
}

}  // namespace

struct PatternEstimator::Impl {
  Impl(unsigned h, unsigned w, unsigned a, unsigned p)
      : grid(h, w), angles(a), phases(p), window(Apodisation(grid)) {
    transforms.push_back(std::make_unique<SpectrumTransform>(grid));
  }

  template <typename T>
  PatternEstimate Run(const T* frames, const T* otf, const PatternGuess& guess);

  template <typename T>
  void Transform_Frames(const T* framesIn);
  void Release_Work();
  FloatImage Windowed_Band(const std::vector<Complex>& weights, unsigned a) const;
  void Open_Lanes();
  // Whether otfModel was made of exactly these values (signed zeros told apart).
  template <typename T>
  bool Holds_Otf(const T* otfIn) const {
    if (!otfModel) return false;
    const RealImage& kept = otfModel->Centred();
    for (size_t i = 0; i < grid.pixels; ++i) {
      const double v = static_cast<double>(otfIn[i]);
      if (v != kept[i] || std::signbit(v) != std::signbit(kept[i])) return false;
    }
    return true;
  }
  // job(i, lane) for every i in [0, count), on lanes [0, lanes). Rounds of as many items as
  // there are threads run side by side, one a thread and lane; the items left over run one
  // after another, each on all the threads (the loops and transforms inside are parallel),
  // where side by side some threads would wait for the others.
  template <class Job>
  void Side_By_Side(unsigned count, const Job& job) {
    const unsigned threads =
        std::min(lanes, static_cast<unsigned>(std::max(1, platform::Cpu_Threads())));
    const unsigned together = threads > 1 ? count / threads * threads : 0;
    platform::Parallel_For(threads, static_cast<int>(threads), [&](int64_t lane) {
      for (unsigned i = static_cast<unsigned>(lane); i < together; i += threads) {
        job(i, static_cast<unsigned>(lane));
      }
    });
    for (unsigned i = together; i < count; ++i) job(i, 0u);
  }
  // job(a) for every orientation, on its fitter's lane (Lane).
  template <class Job>
  void For_Orientations(const Job& job) {
    if (lanes < angles) {
      for (unsigned a = 0; a < angles; ++a) job(a);
      return;
    }
    Side_By_Side(angles, [&](unsigned a, unsigned) { job(a); });
  }
  unsigned Lane(unsigned a) const { return a % lanes; }
  void Find_Carriers(const OtfModel& otf, const PatternGuess& guess);
  void Take_Peak(Orientation& o, const CarrierPeak& peak, double windowPower);
  void Guide_Weak_Orientations(const OtfModel& otf, double windowPower);
  double Measure_Noise(const OtfModel& otf) const;
  void Refine(const OtfModel& otf);
  void Separate();
  void Weigh_Object_Frequencies();
  void Weigh_Above_Haze(std::vector<CarrierFitter>& fitters);
  void Measure_Second_Harmonic(std::vector<CarrierFitter>& fitters, bool depth);
  double Depth(const CarrierFit& fit) const;
  PatternEstimate Summarise() const;

  SpectralGrid grid;
  unsigned angles;
  unsigned phases;
  // The orientations' lanes: a transform and a fit workspace each, so that orientations run
  // in parallel without sharing buffers. One lane where the buffers are large
  // (Releases_Buffers): there the orientations take turns, each transform on every thread.
  std::vector<std::unique_ptr<SpectrumTransform>> transforms;
  std::vector<FitWorkspace> workspaces;
  unsigned lanes = 1;
  RealImage window;
  // Kept between calls: a stack of this geometry needs them all again (unless they are
  // large: Releases_Buffers). The frames, as scaled, in the transforms' single precision.
  std::vector<std::vector<float>> frames;
  // State of one call.
  std::vector<Orientation> orientation;
  std::vector<ComplexImage> carriers;  // separated carrier bands (spectra)
  ComplexImage widefield;              // widefield band, mean over the orientations (spectrum)
  std::unique_ptr<OtfModel> otfModel;  // of the last call's OTF
  std::vector<size_t> passband;        // bins the fits read: the OTF's passband
  PassbandTables passTables;           // their frequencies and OTF values
  PackedSpectra packed;                // the spectra over the passband, bin by bin
  std::vector<double> objectWeight;      // by frequency, see CarrierFitter::Set_Object_Weight
  std::vector<double> aboveHaze;         // the same, 0 below hazeFrequency (Weigh_Above_Haze)
  double hazeFrequency = 0.0;            // the call's PatternGuess::hazeFrequency
  std::vector<size_t> ringBins;          // the passband whose rings ringOf holds
  std::vector<size_t> ringOf;            // ring of each of its bins (Weigh_Object_Frequencies)
  double binsPerCycle = 0.0;
  RealImage fitWeight;                   // the fits' pixel weights, for margin fitMargin
  unsigned fitMargin = ~0u;
  double noise = 0.0;                  // variance of one pixel of one frame
  double meanSquare = 0.0;             // of the frames' pixels, as scaled
  double frameScale = 1.0;             // the frames' factor on the way in
  double minFrequency = 0.0;           // where carriers are sought, cycles per pixel
  double maxFrequency = 0.0;
  unsigned orders = 1;                 // harmonics measured
  bool requireSecond = false;          // the second reported whatever its significance
  bool separated = false;              // whether the carriers hold separated bands alone
};

template <typename T>
PatternEstimate PatternEstimator::Impl::Run(const T* framesIn, const T* otfIn,
                                            const PatternGuess& guess) {
  const size_t n = grid.pixels;
  Check_Finite("frames", framesIn, n * angles * phases);
  Check_Finite("otf", otfIn, n);
  Check_Guess(guess, angles, phases);
  // The OTF's model and passband are kept while the caller hands the same OTF.
  if (passband.empty() || !Holds_Otf(otfIn)) {
    otfModel.reset();
    passband.clear();
    otfModel = std::make_unique<OtfModel>(grid, RealImage(otfIn, otfIn + n));
    // The fits read the bands only inside the passband, so only there are they separated.
    for (size_t i = 0; i < n; ++i) {
      if (otfModel->Passes(i)) passband.push_back(i);
    }
    passTables = PassbandTables(grid, *otfModel, passband);
  }
  const OtfModel& otf = *otfModel;
  Check_Passband(otf.Cutoff(), grid.height, grid.width);
  minFrequency = kInnerExclusion * otf.Cutoff();
  maxFrequency = kOuterLimit * otf.Cutoff();
  Check_Guess_In_Passband(guess, minFrequency, maxFrequency, otf.Cutoff());
  orders = guess.orders == 1 || phases < 5 ? 1 : 2;
  requireSecond = guess.orders == 2;
  hazeFrequency = guess.hazeFrequency;
  const bool releases = Releases_Buffers(grid.height, grid.width, angles, phases);
  Open_Lanes();
  Transform_Frames(framesIn);
  Find_Carriers(otf, guess);
  // Past the search, only the second harmonic reads the frames themselves.
  if (releases && orders == 1) std::vector<std::vector<float>>().swap(frames);
  Refine(otf);
  PatternEstimate estimate = Summarise();
  if (releases) Release_Work();
  return estimate;
}

// Gives back every buffer a call fills anew. The transform (its plans would be measured
// again), the window and the fits' weights stay: a few images.
void PatternEstimator::Impl::Release_Work() {
  // Swapped with empty vectors: assigning {} would keep their capacity.
  std::vector<std::vector<float>>().swap(frames);
  std::vector<ComplexImage>().swap(carriers);
  ComplexImage().swap(widefield);
  std::vector<size_t>().swap(passband);
  otfModel.reset();
  passTables = PassbandTables();
  PackedSpectra().swap(packed);
  for (FitWorkspace& workspace : workspaces) workspace = FitWorkspace();
  acquisition::Return_Freed_Memory();
}

// A lane for every orientation, or a single one where the buffers are large or no thread
// but the caller's can run them.
void PatternEstimator::Impl::Open_Lanes() {
  const bool one = !platform::kCpuTeam || Releases_Buffers(grid.height, grid.width, angles, phases);
  const unsigned wanted = one ? 1 : angles;
  while (transforms.size() < wanted)
    transforms.push_back(std::make_unique<SpectrumTransform>(grid));
  workspaces.resize(wanted);
  lanes = wanted;
}

template <typename T>
void PatternEstimator::Impl::Transform_Frames(const T* framesIn) {
  const size_t n = grid.pixels;
  const unsigned frameCount = angles * phases;
  frames.resize(frameCount);
  // Frame by frame, in parallel; the largest value and the sum of squares of each frame are
  // combined over the frames in order.
  std::vector<double> frameLargest(frameCount), frameSquares(frameCount);
  const int threads = platform::Cpu_Threads();
  // Scaled to a largest magnitude of 1: every figure estimated is independent of scale, and
  // values near the type's range would overflow the single-precision transforms.
  platform::Parallel_For(frameCount, threads, [&](int64_t f) {
    const T* in = framesIn + static_cast<size_t>(f) * n;
    double most = 0.0;
    for (size_t i = 0; i < n; ++i) most = std::max(most, std::fabs(static_cast<double>(in[i])));
    frameLargest[f] = most;
  });
  const double largest = *std::max_element(frameLargest.begin(), frameLargest.end());
  frameScale = largest > 0.0 ? 1.0 / largest : 1.0;
  const double scale = frameScale;
  platform::Parallel_For(frameCount, threads, [&](int64_t f) {
    const T* in = framesIn + static_cast<size_t>(f) * n;
    std::vector<float>& frame = frames[f];
    frame.resize(n);
    double squares = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const double value = static_cast<double>(in[i]) * scale;
      frame[i] = static_cast<float>(value);
      squares += value * value;
    }
    frameSquares[f] = squares;
  });
  double sumSquares = 0.0;
  for (double squares : frameSquares) sumSquares += squares;
  meanSquare = sumSquares / (static_cast<double>(n) * frameCount);
  // The frames' spectra over the passband, the F values of a bin side by side: the
  // separations and the matches read all the frames at each bin, and whole spectra, of a
  // power-of-two size each, would meet in the same cache sets. Frames are real: two share
  // one complex transform, and no whole spectrum is held.
  packed.resize(passband.size() * frameCount);
  // Each pair writes its own two columns of `packed`.
  Side_By_Side((frameCount + 1) / 2, [&](unsigned q, unsigned lane) {
    const unsigned f = 2 * q;
    const bool two = f + 1 < frameCount;
    transforms[lane]->Forward_Pair_At(frames[f], two ? &frames[f + 1] : nullptr, passband,
                                      packed.data() + f, frameCount);
  });
}

// The band of orientation a's frames with these weights, apodised, in the transforms'
// precision: in blocks of pixels on the team.
FloatImage PatternEstimator::Impl::Windowed_Band(const std::vector<Complex>& weights,
                                                 unsigned a) const {
  FloatImage band(grid.pixels);
  platform::Parallel_Blocks(grid.pixels, 16384, [&](size_t, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      Complex sum;
      for (unsigned p = 0; p < phases; ++p) {
        sum += weights[p] * static_cast<double>(frames[a * phases + p][i]);
      }
      band[i] = std::complex<float>(sum * window[i]);
    }
  });
  return band;
}

// Coarse carriers, from apodised bands separated with equal phase steps.
void PatternEstimator::Impl::Find_Carriers(const OtfModel& otf, const PatternGuess& guess) {
  orientation.assign(angles, Orientation());
  carriers.assign(angles, ComplexImage());
  For_Orientations([&](unsigned a) {
    Orientation& o = orientation[a];
    for (unsigned p = 0; p < phases; ++p) o.phases.push_back(2.0 * kPi * p / phases);
    o.weights = Separation_Weights(o.phases, o.second);
    FloatImage band = Windowed_Band(o.weights.carrier, a);
    transforms[Lane(a)]->Forward(band);
    carriers[a].assign(band.begin(), band.end());
  });
  noise = Measure_Noise(otf);

  double windowPower = 0.0;
  for (double w : window) windowPower += w * w;
  For_Orientations([&](unsigned a) {
    Orientation& o = orientation[a];
    SearchRegion region;
    region.minFrequency = minFrequency;
    region.maxFrequency = maxFrequency;
    if (guess.period > 0.0) {
      region.minFrequency = std::max(region.minFrequency, 0.9 / guess.period);
      region.maxFrequency = std::min(region.maxFrequency, 1.1 / guess.period);
    }
    if (!guess.angles.empty()) {
      region.constrainAngle = true;
      region.angle = guess.angles[a];
      region.angleTolerance = 5.0 * kPi / 180.0;
    }
    Take_Peak(o, Find_Carrier(grid, otf, carriers[a], region), windowPower);
  });
  if (guess.angles.empty() && guess.period == 0.0) Guide_Weak_Orientations(otf, windowPower);
}

void PatternEstimator::Impl::Take_Peak(Orientation& o, const CarrierPeak& peak,
                                       double windowPower) {
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
    for (unsigned p = 0; p < phases; ++p) o.phases[p] = Wrap_Phase(-2.0 * kPi * p / phases);
  } else {
    for (unsigned p = 0; p < phases; ++p) o.phases[p] = 2.0 * kPi * p / phases;
  }
}

// Hardware nearly always shares one period across its orientations, their angles about
// pi / A apart in the order of the frames. An orientation not found in the whole passband
// is sought again where that puts it, beside the ones that were found: a search over far
// fewer frequencies, which noise alone rarely wins, so a weak carrier can pass the same
// significance test there. Such an orientation is reported as guided.
void PatternEstimator::Impl::Guide_Weak_Orientations(const OtfModel& otf, double windowPower) {
  auto significance = [](const Orientation& o) {
    return o.detection - std::log(static_cast<double>(o.candidates)) - 1.0;
  };
  std::vector<unsigned> strong;
  for (unsigned a = 0; a < angles; ++a) {
    if (significance(orientation[a]) >= kLowMcnr * kLowMcnr) strong.push_back(a);
  }
  if (strong.empty() || strong.size() == angles) return;
  std::vector<double> frequencies;
  for (unsigned a : strong) frequencies.push_back(std::hypot(orientation[a].fx, orientation[a].fy));
  std::sort(frequencies.begin(), frequencies.end());
  const double frequency = frequencies[frequencies.size() / 2];
  const unsigned reference = strong.front();
  const double referenceAngle = std::atan2(orientation[reference].fy, orientation[reference].fx);
  for (unsigned a = 0; a < angles; ++a) {
    Orientation& o = orientation[a];
    if (significance(o) >= kLowMcnr * kLowMcnr) continue;
    Orientation best = o;
    size_t candidates = 0;
    bool found = false;
    // The angles may turn either way from one orientation to the next.
    for (double turn : {1.0, -1.0}) {
      SearchRegion region;
      region.minFrequency = frequency * (1.0 - kGuidedPeriodTolerance);
      region.maxFrequency = frequency * (1.0 + kGuidedPeriodTolerance);
      region.constrainAngle = true;
      region.angle = referenceAngle + turn * (static_cast<double>(a) - reference) * kPi / angles;
      region.angleTolerance = kGuidedAngleTolerance;
      Orientation trial = o;
      Take_Peak(trial, Find_Carrier(grid, otf, carriers[a], region), windowPower);
      candidates += trial.candidates;
      if (!found || trial.detection > best.detection) best = trial;
      found = true;
    }
    best.candidates = std::max<size_t>(1, candidates);
    if (significance(best) >= kLowMcnr * kLowMcnr) {
      best.guided = true;
      o = best;
    }
  }
}

// The noise of one pixel of one frame, from the apodised carrier bands' spectra beyond the
// passband, where only noise is left.
double PatternEstimator::Impl::Measure_Noise(const OtfModel& otf) const {
  double windowPower = 0.0;
  for (double w : window) windowPower += w * w;
  const double limit = kNoiseRegion * otf.Cutoff();
  std::vector<double> rowFrequency(grid.height);
  for (unsigned r = 0; r < grid.height; ++r) rowFrequency[r] = grid.Fy(r);
  double sum = 0.0;
  size_t bins = 0;
  for (unsigned a = 0; a < angles; ++a) {
    double gain = 0.0;
    for (const Complex& w : orientation[a].weights.carrier) gain += std::norm(w);
    for (unsigned c = 0; c < grid.width; ++c) {
      const double fx = grid.Fx(c);
      for (unsigned r = 0; r < grid.height; ++r) {
        const double fy = rowFrequency[r];
        if (fx * fx + fy * fy <= limit * limit) continue;
        sum += std::norm(carriers[a][grid.Index(r, c)]) / (gain * windowPower);
        ++bins;
      }
    }
  }
  const double rounding = kRounding * kRounding * meanSquare;
  if (bins >= angles * (grid.pixels / 50)) {
    return std::max(sum / static_cast<double>(bins), rounding);
  }
  // The passband fills the grid: assume photon counts, whose variance is their mean (in
  // counts: the scaled frames' variance is the scale times their mean).
  sum = 0.0;
  for (const std::vector<float>& frame : frames) {
    for (float v : frame) sum += std::max(0.0, static_cast<double>(v));
  }
  const double mean = sum / (static_cast<double>(grid.pixels) * static_cast<double>(frames.size()));
  return std::max(mean * frameScale, rounding);
}

// Separates every orientation's bands with its current phases, inside `passband`.
void PatternEstimator::Impl::Separate() {
  const size_t frameCount = size_t{angles} * phases;
  // Weights of frame f = a P + p: its share of the widefield band, and its complex weight in
  // orientation a's carrier band.
  std::vector<double> share(frameCount), carrierRe(frameCount), carrierIm(frameCount);
  for (unsigned a = 0; a < angles; ++a) {
    Orientation& o = orientation[a];
    o.weights = Separation_Weights(o.phases, o.second);
    for (unsigned p = 0; p < phases; ++p) {
      share[a * phases + p] = o.weights.widefield[p] / angles;
      carrierRe[a * phases + p] = o.weights.carrier[p].real();
      carrierIm[a * phases + p] = o.weights.carrier[p].imag();
    }
  }
  // Outside the passband the bands stay zero; the carriers of the search held all bins.
  if (!separated) {
    for (ComplexImage& carrier : carriers) Clear(carrier);
    separated = true;
  }
  // One pass over the bins for all the bands, the frames read once, in blocks of bins that
  // run in parallel (every bin is written by its own block alone). Complex values are read
  // as their (real, imaginary) pairs, as std::complex lays them out.
  platform::Parallel_Blocks(passband.size(), 8192, [&](size_t, size_t begin, size_t end) {
    for (size_t j = begin; j < end; ++j) {
      const size_t i = passband[j];
      const float* bin = reinterpret_cast<const float*>(&packed[j * frameCount]);
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
  });
}

// The Wiener factor of the widefield band by frequency: the share of its power, averaged over
// rings one bin wide, that is not noise.
void PatternEstimator::Impl::Weigh_Object_Frequencies() {
  binsPerCycle = std::max(grid.height, grid.width);
  double shares = 0.0;  // noise variance of a widefield bin per unit pixel variance, over n
  for (const Orientation& o : orientation) {
    for (double w : o.weights.widefield) shares += (w / angles) * (w / angles);
  }
  const double floor = noise * shares * static_cast<double>(grid.pixels);
  const size_t rings = static_cast<size_t>(0.75 * binsPerCycle) + 2;
  // The ring of every passband bin, kept while the passband stays.
  if (ringBins != passband) {
    ringOf.resize(passband.size());
    for (size_t j = 0; j < passband.size(); ++j) {
      const size_t i = passband[j];
      const double f = std::hypot(grid.Fx(static_cast<unsigned>(i / grid.height)),
                                  grid.Fy(static_cast<unsigned>(i % grid.height)));
      ringOf[j] = static_cast<size_t>(f * binsPerCycle + 0.5);
    }
    ringBins = passband;
  }
  std::vector<double> power(rings, 0.0);
  std::vector<double> count(rings, 0.0);
  for (size_t j = 0; j < passband.size(); ++j) {
    const size_t ring = ringOf[j];
    if (ring >= rings) continue;
    power[ring] += std::norm(widefield[passband[j]]);
    count[ring] += 1.0;
  }
  objectWeight.assign(rings, 1.0);
  for (size_t r = 0; r < rings; ++r) {
    // Neighbouring rings too: a ring near zero frequency holds a few bins only.
    double p = 0.0, c = 0.0;
    for (size_t k = (r > 0 ? r - 1 : 0); k <= r + 1 && k < rings; ++k) {
      p += power[k];
      c += count[k];
    }
    if (c == 0.0) continue;
    const double mean = p / c;
    objectWeight[r] = mean > floor ? (mean - floor) / mean : 0.0;
  }
}

// Out-of-focus light fills the widefield band's lowest frequencies and not the carriers, so
// there the depth's sums gain power without match. The wave vectors and phases stand (the
// haze adds noise there, no bias); the fits are measured again at them with the frequencies
// below the haze's reach left out, for the depths of both harmonics. At most the lower half
// of the passband is left out, so that the depth keeps frequencies to be measured from.
void PatternEstimator::Impl::Weigh_Above_Haze(std::vector<CarrierFitter>& fitters) {
  const double reach = std::min(hazeFrequency, 0.5 * otfModel->Cutoff());
  aboveHaze = objectWeight;
  const size_t below =
      std::min(aboveHaze.size(), static_cast<size_t>(std::ceil(reach * binsPerCycle)));
  std::fill(aboveHaze.begin(), aboveHaze.begin() + below, 0.0);
  For_Orientations([&](unsigned a) {
    Orientation& o = orientation[a];
    fitters[a].Set_Object_Weight(&aboveHaze, binsPerCycle);
    if (o.fit.modelPower > 0.0) o.fit = fitters[a].Fit(carriers[a], widefield, o.fx, o.fy, 0);
  });
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
  std::vector<CarrierFitter> fitters;
  fitters.reserve(angles);
  for (unsigned a = 0; a < angles; ++a) {
    fitters.emplace_back(grid, otf, *transforms[Lane(a)], fitWeight, passband, passTables,
                         workspaces[Lane(a)]);
    // Equal steps: a widefield bin (all A P frames) has 1/A of a carrier bin's noise; the
    // expected |c|^2 is that of a depth of 0.5.
    fitters.back().Set_Noise_Ratio(kExpectedAmplitude * kExpectedAmplitude / angles);
  }
  const size_t frameCount = size_t{angles} * phases;
  widefield.resize(n);
  Clear(widefield);
  separated = false;
  for (int round = 0; round < 2; ++round) {
    Separate();
    if (round == 0) {
      Weigh_Object_Frequencies();
      for (CarrierFitter& fitter : fitters) fitter.Set_Object_Weight(&objectWeight, binsPerCycle);
    }
    For_Orientations([&](unsigned a) {
      Orientation& o = orientation[a];
      // The coarse peak may lie a few tenths of a bin off: the first round starts from the
      // best point near it.
      o.fit = fitters[a].Fit(carriers[a], widefield, o.fx, o.fy, kFitIterations[round], round == 0);
      // Estimated periods meet the checks given ones do: inside the passband, and at least
      // 2 pixels. A fit that leaves them keeps its start, and is reported as no carrier.
      const double frequency = std::hypot(o.fit.fx, o.fit.fy);
      if (frequency > 0.0 && frequency <= otf.Cutoff() && frequency <= 0.5) {
        o.fx = o.fit.fx;
        o.fy = o.fit.fy;
      } else {
        o.inPassband = false;
      }
      fitters[a].Prepare_Phases(size_t{a} * phases, phases);
    });
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
        std::vector<double> measured =
            fitters[a].Frame_Phases(shares, o.weights.carrier, o.weights.second, o.phases, noise);
        // Without a carrier the phases measured are noise, and may not separate anything.
        if (Separable(measured, o.second)) o.phases = measured;
      }
      for (Orientation& o : orientation) o.weights = Separation_Weights(o.phases, o.second);
    }
    if (round == 1 && hazeFrequency > 0.0) Weigh_Above_Haze(fitters);
    // The second harmonic, measured after each round: after the first, to know which
    // orientations hold one, for the second round's separation.
    if (orders == 2) {
      Measure_Second_Harmonic(fitters, round == 1);
      for (Orientation& o : orientation) {
        o.second = requireSecond || o.mcnr2 >= kLowMcnr;
        o.weights = Separation_Weights(o.phases, o.second);
      }
    }
  }
}

// The second harmonic of every orientation, at twice its wave vector, phase-locked to its
// frames' phases: its band is separated with them, so the band's own phase is psi.
// Without `depth`, its significance alone.
void PatternEstimator::Impl::Measure_Second_Harmonic(std::vector<CarrierFitter>& fitters,
                                                     bool depth) {
  const size_t frameCount = size_t{angles} * phases;
  double windowPower = 0.0;
  for (double w : window) windowPower += w * w;
  For_Orientations([&](unsigned a) {
    Orientation& o = orientation[a];
    const double fx = 2.0 * o.fx;
    const double fy = 2.0 * o.fy;
    o.mcnr2 = 0.0;
    o.modulation2 = 0.0;
    if (!Separable(o.phases, true) || std::hypot(fx, fy) > maxFrequency) return;
    const std::vector<Complex> weights = Separation_Weights(o.phases, true).second;
    // Significance as for the first harmonic: the apodised band at the grid frequencies
    // around 2k, over its noise.
    FloatImage band = Windowed_Band(weights, a);
    transforms[Lane(a)]->Forward(band);
    const double col = fx * grid.width;
    const double row = fy * grid.height;
    double peak = 0.0;
    for (int dc = 0; dc < 2; ++dc) {
      for (int dr = 0; dr < 2; ++dr) {
        const long c = static_cast<long>(std::floor(col)) + dc;
        const long r = static_cast<long>(std::floor(row)) + dr;
        const unsigned cc = static_cast<unsigned>(((c % long{grid.width}) + grid.width) % grid.width);
        const unsigned rr = static_cast<unsigned>(((r % long{grid.height}) + grid.height) % grid.height);
        peak = std::max(peak, std::norm(Complex(band[grid.Index(rr, cc)])));
      }
    }
    double gain = 0.0;
    for (const Complex& w : weights) gain += std::norm(w);
    const double detection = peak / (noise * gain * windowPower);
    const double mcnr = std::sqrt(std::max(0.0, detection - std::log(kSecondCandidates) - 1.0));
    o.mcnr2 = std::isfinite(mcnr) ? std::min(mcnr, kMaxMcnr) : 0.0;
    if (!depth) return;
    // Depth and phase from the fit's sums at 2k, on the band (unwindowed) in the passband.
    ComplexImage unwindowed(grid.pixels);
    platform::Parallel_Blocks(passband.size(), 8192, [&](size_t, size_t begin, size_t end) {
      for (size_t j = begin; j < end; ++j) {
        Complex sum;
        for (unsigned p = 0; p < phases; ++p) {
          sum += weights[p] * Complex(packed[j * frameCount + a * phases + p]);
        }
        unwindowed[passband[j]] = sum;
      }
    });
    const CarrierFit fit = fitters[a].Fit(unwindowed, widefield, fx, fy, 0);
    o.modulation2 = Depth(fit);
    const double atCentre = 2.0 * kPi * (fx * grid.centreX + fy * grid.centreY);
    o.phase2 = Wrap_Phase(std::arg(fit.match) - atCentre);
  });
}

// Depth: c = m/2 for bands separated with the frames' absolute phases. Noise in the
// widefield band inflates the model's power; that part is removed first.
double PatternEstimator::Impl::Depth(const CarrierFit& fit) const {
  double widefieldGain = 0.0;  // noise variance of a widefield bin per unit pixel variance
  for (const Orientation& o : orientation) {
    for (double w : o.weights.widefield) widefieldGain += w * w;
  }
  widefieldGain *= static_cast<double>(grid.pixels) / (static_cast<double>(angles) * angles);
  const double inflation = fit.weightSum * fit.modelGain * widefieldGain * noise;
  const double power = std::max(fit.modelPower - inflation, 0.5 * fit.modelPower);
  const double depth = power > 0.0 ? 2.0 * std::abs(fit.match) / power : 0.0;
  return std::isfinite(depth) ? std::min(std::max(depth, 0.0), Largest_First_Depth(1.0)) : 0.0;
}

PatternEstimate PatternEstimator::Impl::Summarise() const {
  PatternEstimate estimate;
  for (const Orientation& o : orientation) {
    double fx = o.fx;
    double fy = o.fy;
    std::vector<double> frameSet = o.phases;
    double psi = o.phase2;
    double angle = std::atan2(fy, fx);
    if (angle < 0.0 || angle >= kPi) {  // the fit crossed the direction's wrap
      fx = -fx;
      fy = -fy;
      for (double& phase : frameSet) phase = Wrap_Phase(-phase);
      psi = Wrap_Phase(-psi);
      angle = std::atan2(fy, fx);
    }
    OrientationEstimate e;
    e.angle = std::min(std::max(angle, 0.0), std::nextafter(kPi, 0.0));
    const double frequency = std::hypot(fx, fy);
    e.period = frequency > 0.0 ? 1.0 / frequency : 0.0;

    e.modulation = Depth(o.fit);

    // MCNR: the carrier band's strength at the coarse peak over its noise, less what noise
    // alone reaches at the best of the positions searched (|noise|^2 over its variance is
    // exponential, and the largest of n such values is about ln n + 0.58).
    const double mcnr =
        std::sqrt(std::max(0.0, o.detection - std::log(static_cast<double>(o.candidates)) - 1.0));
    e.mcnr = std::isfinite(mcnr) ? std::min(mcnr, kMaxMcnr) : 0.0;
    // A fit that left the frequencies searched found no carrier there, whatever its score.
    if (!o.inPassband) e.mcnr = 0.0;
    e.lowModulation = e.mcnr < kLowMcnr;
    e.guided = o.guided;
    // The second harmonic where asked for, or where it is as significant as a first one.
    e.mcnr2 = o.mcnr2;
    if (orders == 2 && (requireSecond || o.mcnr2 >= kLowMcnr)) {
      e.modulation2 = std::min(o.modulation2, 1.0);
      e.phase2 = psi;
    }
    // Only a second harmonic lets the first go deeper than 1 and the mask stay non-negative.
    e.modulation = std::min(e.modulation, Largest_First_Depth(e.modulation2));
    estimate.orientations.push_back(e);
    for (double phase : frameSet) estimate.phases.push_back(std::isfinite(phase) ? phase : 0.0);
  }
  return estimate;
}

bool Releases_Buffers(unsigned height, unsigned width, unsigned angles, unsigned phases) {
  return acquisition::Estimator_Releases(height, width, angles, phases);
}

PatternEstimator::PatternEstimator(unsigned height, unsigned width, unsigned angles,
                                   unsigned phases) {
  Check_Geometry(height, width, angles, phases);
  acquisition::Check_Memory({acquisition::Estimator_Bytes(height, width, angles, phases), 0},
                            "the pattern estimation");
  impl_ = std::make_unique<Impl>(height, width, angles, phases);
}

PatternEstimator::~PatternEstimator() {
  impl_.reset();
  acquisition::Return_Freed_Memory();
}

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
