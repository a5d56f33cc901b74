#include "phase_floor.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <stdexcept>
#include <vector>

#include "spectrum_transform.h"

namespace korvex_bench {

namespace {

const double kPi = std::acos(-1.0);

// Inverts the symmetric positive definite n x n matrix a (row-major) in place, by
// Gauss-Jordan elimination with partial pivoting.
void Invert(std::vector<double>& a, size_t n) {
  std::vector<double> inverse(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) inverse[i * n + i] = 1.0;
  for (size_t col = 0; col < n; ++col) {
    size_t pivot = col;
    for (size_t r = col + 1; r < n; ++r) {
      if (std::fabs(a[r * n + col]) > std::fabs(a[pivot * n + col])) pivot = r;
    }
    if (!(std::fabs(a[pivot * n + col]) > 0.0)) throw std::runtime_error("singular Fisher matrix");
    for (size_t k = 0; k < n; ++k) {
      std::swap(a[col * n + k], a[pivot * n + k]);
      std::swap(inverse[col * n + k], inverse[pivot * n + k]);
    }
    const double d = a[col * n + col];
    for (size_t k = 0; k < n; ++k) {
      a[col * n + k] /= d;
      inverse[col * n + k] /= d;
    }
    for (size_t r = 0; r < n; ++r) {
      if (r == col) continue;
      const double f = a[r * n + col];
      for (size_t k = 0; k < n; ++k) {
        a[r * n + k] -= f * a[col * n + k];
        inverse[r * n + k] -= f * inverse[col * n + k];
      }
    }
  }
  a.swap(inverse);
}

// The spread of each orientation's parameters (kx, ky, m, phi_1 ... phi_P) fitted by least
// squares to the frames' slopes (kx, ky, m, phase), pixel i weighted by 1 / assumed(i),
// under noise of variance actual(i): A^-1 B A^-1 with A = sum s s' / assumed and
// B = sum s s' actual / assumed^2. Where the two agree, A^-1: the Cramér–Rao bound.
template <typename Assumed, typename Actual>
PhaseFloor Bound(const std::vector<std::vector<double>>& slopes, Assumed assumed, Actual actual,
                 size_t angles, size_t phases, size_t n, unsigned h, unsigned w) {
  const size_t count = 3 + phases;
  const double centreX = 0.5 * (w - 1.0), centreY = 0.5 * (h - 1.0);
  double waveVector = 0.0, phase = 0.0, phaseCentre = 0.0;
  for (size_t a = 0; a < angles; ++a) {
    std::vector<double> fisher(count * count, 0.0), spread(count * count, 0.0);
    for (size_t p = 0; p < phases; ++p) {
      const size_t frame = a * phases + p;
      // Slopes of this frame: kx, ky, m and its own phase (the other phases do not move it).
      const size_t index[4] = {0, 1, 2, 3 + p};
      for (size_t i = frame * n; i < (frame + 1) * n; ++i) {
        const double v = assumed(i);
        const double ratio = actual(i) / (v * v);
        for (int s = 0; s < 4; ++s) {
          for (int t = 0; t < 4; ++t) {
            const double product = slopes[s][i] * slopes[t][i];
            fisher[index[s] * count + index[t]] += product / v;
            spread[index[s] * count + index[t]] += product * ratio;
          }
        }
      }
    }
    Invert(fisher, count);
    // A^-1 B A^-1, into fisher.
    std::vector<double> left(count * count, 0.0), sandwich(count * count, 0.0);
    for (size_t r = 0; r < count; ++r)
      for (size_t k = 0; k < count; ++k)
        for (size_t c = 0; c < count; ++c) left[r * count + c] += fisher[r * count + k] * spread[k * count + c];
    for (size_t r = 0; r < count; ++r)
      for (size_t k = 0; k < count; ++k)
        for (size_t c = 0; c < count; ++c) sandwich[r * count + c] += left[r * count + k] * fisher[k * count + c];
    fisher.swap(sandwich);
    waveVector += fisher[0] * w * w + fisher[count + 1] * h * h;
    for (size_t p = 0; p < phases; ++p) {
      const size_t q = 3 + p;
      phase += fisher[q * count + q];
      // At the centre: phi + 2 pi k.centre, whose gradient is (2 pi cx, 2 pi cy, 0, e_p).
      const double g[3] = {2 * kPi * centreX, 2 * kPi * centreY, 1.0};
      const size_t at[3] = {0, 1, q};
      double variance = 0.0;
      for (int s = 0; s < 3; ++s) {
        for (int t = 0; t < 3; ++t) variance += g[s] * g[t] * fisher[at[s] * count + at[t]];
      }
      phaseCentre += variance;
    }
  }
  const double degrees = 180.0 / kPi;
  PhaseFloor floor;
  floor.waveVector = std::sqrt(waveVector / static_cast<double>(angles));
  floor.phase = std::sqrt(phase / static_cast<double>(angles * phases)) * degrees;
  floor.phaseCentre = std::sqrt(phaseCentre / static_cast<double>(angles * phases)) * degrees;
  return floor;
}

// The phases' error at the origin, RMS over the frames in degrees, of one scoring step from
// the truth, slopes weighted by 1 / variance, on the residual of a noisy stack: an estimator
// that knows the specimen and reaches the floor, checked on the noise at hand.
template <typename Variance>
double Scoring_Step(const std::vector<std::vector<double>>& slopes, Variance variance,
                    const std::vector<double>& residual, size_t angles, size_t phases, size_t n) {
  const size_t count = 3 + phases;
  double squares = 0.0;
  for (size_t a = 0; a < angles; ++a) {
    std::vector<double> fisher(count * count, 0.0), gradient(count, 0.0);
    for (size_t p = 0; p < phases; ++p) {
      const size_t frame = a * phases + p;
      const size_t index[4] = {0, 1, 2, 3 + p};
      for (size_t i = frame * n; i < (frame + 1) * n; ++i) {
        const double v = variance(i);
        for (int s = 0; s < 4; ++s) {
          gradient[index[s]] += slopes[s][i] * residual[i] / v;
          for (int t = 0; t < 4; ++t) fisher[index[s] * count + index[t]] += slopes[s][i] * slopes[t][i] / v;
        }
      }
    }
    Invert(fisher, count);
    for (size_t p = 0; p < phases; ++p) {
      double step = 0.0;
      for (size_t k = 0; k < count; ++k) step += fisher[(3 + p) * count + k] * gradient[k];
      squares += step * step;
    }
  }
  return std::sqrt(squares / static_cast<double>(angles * phases)) * 180.0 / kPi;
}

}  // namespace

PhaseFloors Phase_Floor(unsigned h, unsigned w, double cutoff, const korvex_test::PatternTruth& truth,
                       double photons, double background, unsigned seed,
                       const korvex_test::CameraOptions& camera) {
  using korvex_test::PatternTruth;
  using korvex_test::Simulate_Stack;
  const size_t angles = truth.angles.size();
  const size_t phases = truth.phases.size() / angles;
  const size_t n = size_t{h} * w;
  // Noise-free frames, in photons as Simulate_Stack scales them: the mean counts, background
  // included, are the Poisson variances.
  const std::vector<double> mean = Simulate_Stack(h, w, cutoff, truth, 0.0, 0.0, seed, camera).frames;
  const double scale = photons / *std::max_element(mean.begin(), mean.end());

  // Slopes of every frame by forward differences: each frame depends on its own
  // orientation's parameters alone, so one stack serves all orientations for each kind.
  const double dk = 1e-5;  // cycles per pixel: 0.02 rad across 256 pixels
  const double dm = 1e-3;
  const double dphi = 1e-3;
  auto slope = [&](const PatternTruth& moved, double step) {
    std::vector<double> s = Simulate_Stack(h, w, cutoff, moved, 0.0, 0.0, seed, camera).frames;
    for (size_t i = 0; i < s.size(); ++i) s[i] = (s[i] - mean[i]) * scale / step;
    return s;
  };
  auto movedWaveVector = [&](double ex, double ey) {
    PatternTruth moved = truth;
    for (size_t a = 0; a < angles; ++a) {
      const double kx = std::cos(truth.angles[a]) / truth.periods[a] + ex;
      const double ky = std::sin(truth.angles[a]) / truth.periods[a] + ey;
      moved.angles[a] = std::atan2(ky, kx);
      moved.periods[a] = 1.0 / std::hypot(kx, ky);
    }
    return moved;
  };
  PatternTruth movedDepth = truth, movedPhase = truth;
  for (double& m : movedDepth.modulations) m += dm;
  for (double& p : movedPhase.phases) p += dphi;
  const std::vector<std::vector<double>> slopes = {
      slope(movedWaveVector(dk, 0.0), dk), slope(movedWaveVector(0.0, dk), dk),
      slope(movedDepth, dm), slope(movedPhase, dphi)};

  // The same slopes less what the estimator cannot use: a frame's carrier at +k holds the
  // specimen at q - k, known from the widefield band only where |q - k| is within the
  // cut-off. Each frame's +k part, C = (m/2) e^{i theta} S imaged, follows from three stacks,
  // F(phi) = W + 2 Re C: Re C = (F(phi) - F(phi + pi)) / 4, Im C = -(F(phi + pi/2) - W) / 2.
  auto shifted = [&](const PatternTruth& t, double by) {
    PatternTruth moved = t;
    for (double& p : moved.phases) p += by;
    return Simulate_Stack(h, w, cutoff, moved, 0.0, 0.0, seed, camera).frames;
  };
  using Complex = std::complex<double>;
  auto carrier = [&](const PatternTruth& t) {
    const std::vector<double> f0 = shifted(t, 0.0), f1 = shifted(t, kPi), f2 = shifted(t, 0.5 * kPi);
    std::vector<Complex> c(f0.size());
    for (size_t i = 0; i < c.size(); ++i) {
      const double widefield = 0.5 * (f0[i] + f1[i]);
      c[i] = scale * Complex(0.25 * (f0[i] - f1[i]), -0.5 * (f2[i] - widefield));
    }
    return c;
  };
  const std::vector<Complex> base = carrier(truth);
  const std::vector<Complex> movedX = carrier(movedWaveVector(dk, 0.0));
  const std::vector<Complex> movedY = carrier(movedWaveVector(0.0, dk));
  const korvex::patterns::SpectralGrid grid(h, w);
  korvex::patterns::SpectrumTransform transform(grid);
  std::vector<std::vector<double>> usable(4, std::vector<double>(mean.size()));
  korvex::patterns::ComplexImage image(n);
  for (size_t f = 0; f < truth.phases.size(); ++f) {
    const size_t a = f / phases;
    const double kx = std::cos(truth.angles[a]) / truth.periods[a];
    const double ky = std::sin(truth.angles[a]) / truth.periods[a];
    for (size_t s = 0; s < 4; ++s) {
      for (size_t i = 0; i < n; ++i) {
        const size_t j = f * n + i;
        image[i] = s == 0 ? (movedX[j] - base[j]) / dk
                 : s == 1 ? (movedY[j] - base[j]) / dk
                 : s == 2 ? base[j] / truth.modulations[a]
                          : Complex(0.0, 1.0) * base[j];
      }
      transform.Forward(image);
      for (unsigned c = 0; c < w; ++c) {
        for (unsigned r = 0; r < h; ++r) {
          if (std::hypot(grid.Fx(c) - kx, grid.Fy(r) - ky) >= cutoff) image[grid.Index(r, c)] = 0.0;
        }
      }
      transform.Inverse(image);
      for (size_t i = 0; i < n; ++i) usable[s][f * n + i] = 2.0 * image[i].real() / static_cast<double>(n);
    }
  }

  const auto poisson = [&](size_t i) { return std::max(mean[i] * scale + background, 1e-12); };
  const auto uniform = [](size_t) { return 1.0; };
  PhaseFloors floors;
  floors.overlap = Bound(usable, poisson, poisson, angles, phases, n, h, w);
  floors.overlapUniform = Bound(usable, uniform, poisson, angles, phases, n, h, w);
  floors.known = Bound(slopes, poisson, poisson, angles, phases, n, h, w);
  floors.uniform = Bound(slopes, uniform, poisson, angles, phases, n, h, w);
  std::vector<double> residual = Simulate_Stack(h, w, cutoff, truth, photons, background, seed, camera).frames;
  for (size_t i = 0; i < residual.size(); ++i) residual[i] -= mean[i] * scale;
  floors.step = Scoring_Step(slopes, poisson, residual, angles, phases, n);
  return floors;
}

}  // namespace korvex_bench
