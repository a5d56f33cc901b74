#include "pattern_sim.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "spectrum_transform.h"

namespace korvex_test {

namespace {

const double kPi = std::acos(-1.0);

// A smooth positive specimen: curved filaments of Gaussian profile, beads and a faint haze,
// on a grid `scale` times finer than the camera's (lengths are in camera pixels).
std::vector<double> Filaments(unsigned h, unsigned w, double scale, bool dense,
                              std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> object(size_t{h} * w, 0.02);
  auto splat = [&](double x, double y, double sigma, double amplitude) {
    const int reach = static_cast<int>(std::ceil(3 * sigma));
    for (int dc = -reach; dc <= reach; ++dc) {
      for (int dr = -reach; dr <= reach; ++dr) {
        const int c = static_cast<int>(std::lround(x)) + dc;
        const int r = static_cast<int>(std::lround(y)) + dr;
        if (c < 0 || r < 0 || c >= static_cast<int>(w) || r >= static_cast<int>(h)) continue;
        const double d2 = (c - x) * (c - x) + (r - y) * (r - y);
        object[size_t(c) * h + r] += amplitude * std::exp(-d2 / (2 * sigma * sigma));
      }
    }
  };
  const double cameraPixels = static_cast<double>(h) * w / (scale * scale);
  const unsigned crowd = dense ? 8 : 1;
  const unsigned filaments = crowd * (6 + static_cast<unsigned>(cameraPixels / 8192));
  const unsigned steps = static_cast<unsigned>(2 * (h + w) / scale);
  for (unsigned k = 0; k < filaments; ++k) {
    double x = u(rng) * w;
    double y = u(rng) * h;
    double heading = u(rng) * 2 * kPi;
    const double bend = (u(rng) - 0.5) * 0.02 / scale;
    const double brightness = 0.3 + 0.7 * u(rng);
    for (unsigned step = 0; step < steps; ++step) {
      splat(x, y, 0.8 * scale, brightness * 0.5);
      x += 0.5 * scale * std::cos(heading);
      y += 0.5 * scale * std::sin(heading);
      heading += bend;
    }
  }
  const unsigned beads = crowd * (20 + static_cast<unsigned>(cameraPixels / 4096));
  for (unsigned k = 0; k < beads; ++k) splat(u(rng) * w, u(rng) * h, 0.7 * scale, 1.0);
  return object;
}

}  // namespace

std::vector<double> Pupil_Otf(unsigned h, unsigned w, double cutoff) {
  std::vector<double> otf(size_t{h} * w, 0.0);
  for (unsigned c = 0; c < w; ++c) {
    for (unsigned r = 0; r < h; ++r) {
      const double fx = (static_cast<double>(c) - w / 2) / w;
      const double fy = (static_cast<double>(r) - h / 2) / h;
      const double q = std::hypot(fx, fy) / cutoff;
      if (q < 1.0) {
        otf[size_t{c} * h + r] =
            std::max(1.0 - (2.0 / kPi) * (std::asin(q) + q * std::sqrt(1.0 - q * q)), 0.0);
      }
    }
  }
  return otf;
}

PatternTruth Random_Truth(unsigned angles, unsigned phases, double period, double firstAngle,
                          double stepJitter, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  PatternTruth t;
  for (unsigned a = 0; a < angles; ++a) {
    t.angles.push_back(firstAngle + a * kPi / angles);
    t.periods.push_back(period * (1.0 + 0.002 * u(rng)));
    t.modulations.push_back(0.75 + 0.25 * u(rng));
    const double start = kPi * (1.0 + u(rng));
    for (unsigned p = 0; p < phases; ++p) {
      t.phases.push_back(start + 2.0 * kPi * p / phases + (p == 0 ? 0.0 : stepJitter * u(rng)));
    }
  }
  return t;
}

SimStack Simulate_Stack(unsigned cameraH, unsigned cameraW, double cutoff,
                        const PatternTruth& truth, double photons, double background,
                        unsigned seed, const CameraOptions& camera) {
  using korvex::patterns::Complex;
  std::mt19937 rng(seed);
  const unsigned q = std::max(1u, camera.factor);
  const unsigned h = cameraH * q;
  const unsigned w = cameraW * q;
  SimStack s;
  s.height = cameraH;
  s.width = cameraW;
  s.otf = Pupil_Otf(cameraH, cameraW, cutoff);
  const std::vector<double> fine = Filaments(h, w, q, camera.dense, rng);
  const size_t n = size_t{h} * w;
  const size_t cameraN = size_t{cameraH} * cameraW;
  const unsigned phases = static_cast<unsigned>(truth.phases.size() / truth.angles.size());
  const korvex::patterns::SpectralGrid grid(h, w);
  korvex::patterns::SpectrumTransform transform(grid);
  const std::vector<double> otf = q == 1 ? s.otf : Pupil_Otf(h, w, cutoff / q);
  std::vector<double> otfOrigin(n);
  for (unsigned c = 0; c < w; ++c) {
    for (unsigned r = 0; r < h; ++r) {
      otfOrigin[grid.Index(r, c)] = otf[grid.Index((r + h / 2) % h, (c + w / 2) % w)];
    }
  }
  // Camera pixels integrate q x q blocks of the fine grid.
  auto bin = [&](const std::vector<double>& image, double* out) {
    std::fill(out, out + cameraN, 0.0);
    for (unsigned c = 0; c < w; ++c) {
      for (unsigned r = 0; r < h; ++r) {
        out[size_t{c / q} * cameraH + r / q] += image[grid.Index(r, c)] / (q * q);
      }
    }
  };
  s.object.resize(cameraN);
  bin(fine, s.object.data());
  // Fine-grid coordinates in camera pixels, from the centre of camera pixel (0, 0).
  const double centre = 0.5 * (q - 1.0);
  s.frames.resize(cameraN * truth.phases.size());
  std::vector<double> image(n);
  for (size_t f = 0; f < truth.phases.size(); ++f) {
    const size_t a = f / phases;
    const double kx = std::cos(truth.angles[a]) / truth.periods[a];
    const double ky = std::sin(truth.angles[a]) / truth.periods[a];
    const double m2 = truth.modulations2.empty() ? 0.0 : truth.modulations2[a];
    const double psi = truth.phases2.empty() ? 0.0 : truth.phases2[a];
    korvex::patterns::ComplexImage lit(n);
    for (unsigned c = 0; c < w; ++c) {
      for (unsigned r = 0; r < h; ++r) {
        const double theta =
            2 * kPi * (kx * (c - centre) / q + ky * (r - centre) / q) + truth.phases[f];
        const double mask =
            1.0 + truth.modulations[a] * std::cos(theta) + m2 * std::cos(2 * theta + psi);
        lit[grid.Index(r, c)] = mask * fine[grid.Index(r, c)];
      }
    }
    transform.Forward(lit);
    for (size_t i = 0; i < n; ++i) lit[i] *= otfOrigin[i] / static_cast<double>(n);
    transform.Inverse(lit);
    for (size_t i = 0; i < n; ++i) image[i] = std::max(lit[i].real(), 0.0);
    bin(image, &s.frames[f * cameraN]);
  }
  if (photons > 0.0) {
    const double peak = *std::max_element(s.frames.begin(), s.frames.end());
    for (double& v : s.frames) {
      std::poisson_distribution<long> draw(v * photons / peak + background);
      v = static_cast<double>(draw(rng)) - (camera.keepBackground ? 0.0 : background);
    }
  }
  return s;
}

PatternErrors Compare(const PatternTruth& truth, const std::vector<double>& angles,
                      const std::vector<double>& periods, const std::vector<double>& modulations,
                      const std::vector<double>& phases, unsigned h, unsigned w) {
  PatternErrors e;
  const size_t perAngle = truth.phases.size() / truth.angles.size();
  for (size_t a = 0; a < truth.angles.size(); ++a) {
    // The truth in [0, pi): the opposite wave vector with negated phases is the same mask.
    double angle = std::fmod(truth.angles[a], 2 * kPi);
    if (angle < 0) angle += 2 * kPi;
    const double sign = angle >= kPi ? -1.0 : 1.0;
    const double dx =
        (sign * std::cos(angle) / truth.periods[a] - std::cos(angles[a]) / periods[a]) * w;
    const double dy =
        (sign * std::sin(angle) / truth.periods[a] - std::sin(angles[a]) / periods[a]) * h;
    e.waveVector = std::max(e.waveVector, std::hypot(dx, dy));
    e.modulation = std::max(e.modulation, std::fabs(truth.modulations[a] - modulations[a]));
    for (size_t p = 0; p < perAngle; ++p) {
      const size_t f = a * perAngle + p;
      const double d = std::remainder(sign * truth.phases[f] - phases[f], 2 * kPi);
      e.phase = std::max(e.phase, std::fabs(d) * 180.0 / kPi);
      // The phase of the mask at the centre: the origin's plus 2 pi k.centre.
      const double atCentre = d + 2 * kPi * (dx * 0.5 * (w - 1.0) / w + dy * 0.5 * (h - 1.0) / h);
      e.phaseCentre = std::max(e.phaseCentre, std::fabs(std::remainder(atCentre, 2 * kPi)) * 180.0 / kPi);
    }
  }
  return e;
}

PatternErrors Compare(const PatternTruth& truth, const korvex::patterns::PatternEstimate& estimate,
                      unsigned height, unsigned width) {
  std::vector<double> angles, periods, depths;
  for (const auto& o : estimate.orientations) {
    angles.push_back(o.angle);
    periods.push_back(o.period);
    depths.push_back(o.modulation);
  }
  return Compare(truth, angles, periods, depths, estimate.phases, height, width);
}

}  // namespace korvex_test
