#include "synthetic_sim.h"

#include <cmath>
#include <complex>
#include <random>

namespace korvex::test {

namespace {

double Single(double value) { return static_cast<double>(static_cast<float>(value)); }

// Centred OTF (zero frequency at row H/2, column W/2) in MATLAB order, from a centred
// real-valued function of the frequency offsets.
template <typename Shape>
std::vector<double> Centred_Otf(unsigned W, unsigned H, Shape shape) {
  std::vector<double> otf(size_t{W} * H);
  for (unsigned c = 0; c < W; ++c) {
    for (unsigned r = 0; r < H; ++r) {
      const double fx = static_cast<double>(c) - W / 2;
      const double fy = static_cast<double>(r) - H / 2;
      otf[size_t{c} * H + r] = Single(shape(fx, fy));
    }
  }
  return otf;
}

// Incoherent OTF of a circular pupil of `radius` frequency pixels: the autocorrelation of the
// pupil, computed as the spectrum of |pupil's transform|^2 and scaled to 1 at zero frequency.
std::vector<double> Circular_Pupil_Otf(unsigned W, unsigned H, double radius) {
  const size_t n = size_t{W} * H;
  std::vector<std::complex<double>> field(n);
  for (unsigned r = 0; r < H; ++r) {
    for (unsigned c = 0; c < W; ++c) {
      const double fx = static_cast<double>(c < W - c ? c : W - c);  // origin-centred
      const double fy = static_cast<double>(r < H - r ? r : H - r);
      field[size_t{r} * W + c] = fx * fx + fy * fy <= radius * radius ? 1.0 : 0.0;
    }
  }
  Dft2(field, W, H, +1);
  for (auto& value : field) value = std::norm(value);
  Dft2(field, W, H, -1);
  const double dc = field[0].real();
  std::vector<double> origin(n);
  for (size_t i = 0; i < n; ++i) origin[i] = field[i].real() / dc;
  // Back to a centred MATLAB-order array, as a microscope's OTF is handed over.
  std::vector<double> centredRows(n);
  for (unsigned r = 0; r < H; ++r) {
    for (unsigned c = 0; c < W; ++c) {
      centredRows[size_t{(r + H / 2) % H} * W + (c + W / 2) % W] = origin[size_t{r} * W + c];
    }
  }
  std::vector<double> otf = To_Columns(centredRows, W, H);
  for (double& value : otf) value = Single(value);
  return otf;
}

std::vector<double> Points_And_Lines(unsigned W, unsigned H) {
  std::vector<double> rows(size_t{W} * H, 0.0);
  auto put = [&](unsigned r, unsigned c, double v) {
    if (r < H && c < W) rows[size_t{r} * W + c] = v;
  };
  for (unsigned k = 0; k < 6; ++k) put(6 + 9 * k, 5 + 10 * k % (W - 8), 1.0);  // points
  for (unsigned c = 4; c + 4 < W; ++c) put(H / 3, c, 0.8);                     // a row line
  for (unsigned r = 4; r + 4 < H; ++r) put(r, 2 * W / 3, 0.6);                 // a column line
  for (unsigned k = 8; k + 8 < W && k + 8 < H; ++k) put(k, k, 0.7);            // a diagonal
  return To_Columns(rows, W, H);
}

}  // namespace

Problem Random_Problem(unsigned W, unsigned H, unsigned F, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Problem p;
  p.W = W;
  p.H = H;
  p.F = F;
  const size_t stack = size_t{W} * H * F;
  p.image.resize(stack);
  p.masks.resize(stack);
  for (size_t i = 0; i < stack; ++i) {
    p.image[i] = Single(uniform(engine));
    p.masks[i] = Single(uniform(engine));
  }
  p.otf = Centred_Otf(W, H, [&](double fx, double fy) {
    return std::exp(-(fx * fx / (W * W) + fy * fy / (H * H)) * 12.0);
  });
  return p;
}

SimScene Simulated_Scene(unsigned W, unsigned H) {
  SimScene scene;
  Problem& p = scene.problem;
  p.W = W;
  p.H = H;
  p.F = 9;
  const size_t n = size_t{W} * H;
  scene.object = Points_And_Lines(W, H);
  p.otf = Circular_Pupil_Otf(W, H, W / 8.0);
  const std::vector<double> otfRows = Centre_To_Origin(To_Rows(p.otf.data(), W, H), W, H);
  const std::vector<double> objectRows = To_Rows(scene.object.data(), W, H);

  const double pi = std::acos(-1.0);
  const double frequency = 0.8 * (W / 4.0) / W;  // cycles per pixel, inside the OTF support
  p.image.resize(n * p.F);
  p.masks.resize(n * p.F);
  for (unsigned orientation = 0; orientation < 3; ++orientation) {
    const double angle = orientation * pi / 3.0;
    for (unsigned phase = 0; phase < 3; ++phase) {
      const unsigned f = orientation * 3 + phase;
      std::vector<double> maskRows(n);
      std::vector<double> lit(n);
      for (unsigned r = 0; r < H; ++r) {
        for (unsigned c = 0; c < W; ++c) {
          const size_t i = size_t{r} * W + c;
          const double along = c * std::cos(angle) + r * std::sin(angle);
          maskRows[i] = Single(1.0 + std::cos(2.0 * pi * frequency * along + phase * 2.0 * pi / 3));
          lit[i] = maskRows[i] * objectRows[i];
        }
      }
      const std::vector<double> frame = To_Columns(Blur(lit, otfRows, W, H), W, H);
      const std::vector<double> mask = To_Columns(maskRows, W, H);
      for (size_t i = 0; i < n; ++i) {
        p.image[f * n + i] = Single(frame[i]);
        p.masks[f * n + i] = mask[i];
      }
    }
  }
  return scene;
}

double Scaled_Error(const std::vector<double>& estimate, const std::vector<double>& truth) {
  double et = 0;
  double ee = 0;
  double tt = 0;
  for (size_t i = 0; i < truth.size(); ++i) {
    et += estimate[i] * truth[i];
    ee += estimate[i] * estimate[i];
    tt += truth[i] * truth[i];
  }
  const double scale = ee > 0 ? et / ee : 0.0;
  double residual = 0;
  for (size_t i = 0; i < truth.size(); ++i) {
    const double d = scale * estimate[i] - truth[i];
    residual += d * d;
  }
  return std::sqrt(residual / tt);
}

}  // namespace korvex::test
