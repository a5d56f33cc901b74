// Synthetic SIM acquisitions. The raw frames are blurred in the image domain rather than
// through the OTF: the data only has to keep the step sizes positive, not be a faithful
// forward model, and this keeps the generator free of any FFT.
#include "bench_data.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>

namespace korvex::bench {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Separable Gaussian blur of a column-major height x width image, zero outside.
std::vector<double> blur(const std::vector<double>& in, unsigned width, unsigned height,
                         double sigma) {
  const int radius = static_cast<int>(std::ceil(3 * sigma));
  std::vector<double> weights(2 * radius + 1);
  for (int k = -radius; k <= radius; ++k)
    weights[k + radius] = std::exp(-0.5 * k * k / (sigma * sigma));
  std::vector<double> along_rows(in.size(), 0.0);
  std::vector<double> out(in.size(), 0.0);
  const int H = static_cast<int>(height);
  const int W = static_cast<int>(width);
  for (int c = 0; c < W; ++c) {
    for (int r = 0; r < H; ++r) {
      double sum = 0;
      for (int k = std::max(-radius, -r); k <= std::min(radius, H - 1 - r); ++k) {
        sum += weights[k + radius] * in[size_t(c) * H + r + k];
      }
      along_rows[size_t(c) * H + r] = sum;
    }
  }
  for (int c = 0; c < W; ++c) {
    for (int r = 0; r < H; ++r) {
      double sum = 0;
      for (int k = std::max(-radius, -c); k <= std::min(radius, W - 1 - c); ++k) {
        sum += weights[k + radius] * along_rows[size_t(c + k) * H + r];
      }
      out[size_t(c) * H + r] = sum;
    }
  }
  return out;
}

std::vector<double> test_object(unsigned width, unsigned height) {
  std::vector<double> object(size_t(width) * height, 0.0);
  std::mt19937 random(12345);
  std::uniform_int_distribution<unsigned> row(0, height - 1);
  std::uniform_int_distribution<unsigned> col(0, width - 1);
  const size_t points = object.size() / 200 + 1;
  for (size_t i = 0; i < points; ++i) object[size_t(col(random)) * height + row(random)] += 50.0;
  for (unsigned line = 0; line < 8; ++line) {
    const unsigned r0 = row(random);
    const unsigned c0 = col(random);
    const double angle = kPi * line / 8;
    for (double t = 0; t < std::max(width, height); t += 0.5) {
      const long r = std::lround(r0 + t * std::sin(angle));
      const long c = std::lround(c0 + t * std::cos(angle));
      if (r < 0 || c < 0 || r >= long(height) || c >= long(width)) break;
      object[size_t(c) * height + size_t(r)] += 5.0;
    }
  }
  return object;
}

// Incoherent OTF of a circular pupil at `radius`, a frequency in units of the cut-off.
double pupil_otf(double radius) {
  if (radius >= 1.0) return 0.0;
  return 2.0 / kPi * (std::acos(radius) - radius * std::sqrt(1.0 - radius * radius));
}

}  // namespace

template <typename T>
Acquisition<T> make_acquisition(unsigned width, unsigned height, unsigned frames) {
  Acquisition<T> a;
  a.width = width;
  a.height = height;
  a.frames = frames;
  const size_t pixels = size_t(width) * height;
  const std::vector<double> blurred = blur(test_object(width, height), width, height, 2.0);
  a.image.resize(pixels * frames);
  a.masks.resize(pixels * frames);
  a.otf.resize(pixels);
  a.output.assign(pixels, T(0));

  const double period = 5.0;  // pixels
  for (unsigned f = 0; f < frames; ++f) {
    const double angle = kPi * ((f / 3) % 3) / 3;
    const double phase = 2 * kPi * (f % 3) / 3;
    const double kx = std::cos(angle) * 2 * kPi / period;
    const double ky = std::sin(angle) * 2 * kPi / period;
    for (unsigned c = 0; c < width; ++c) {
      for (unsigned r = 0; r < height; ++r) {
        const size_t at = f * pixels + size_t(c) * height + r;
        const double mask = 1.0 + std::cos(kx * c + ky * r + phase);
        a.masks[at] = static_cast<T>(mask);
        a.image[at] = static_cast<T>(mask * blurred[size_t(c) * height + r]);
      }
    }
  }
  const double cutoff = 0.5;
  for (unsigned c = 0; c < width; ++c) {
    for (unsigned r = 0; r < height; ++r) {
      const double fy = (double(r) - height / 2) / (height / 2.0);
      const double fx = (double(c) - width / 2) / (width / 2.0);
      a.otf[size_t(c) * height + r] = static_cast<T>(pupil_otf(std::hypot(fx, fy) / cutoff));
    }
  }
  return a;
}

template Acquisition<float> make_acquisition<float>(unsigned, unsigned, unsigned);
template Acquisition<double> make_acquisition<double>(unsigned, unsigned, unsigned);

}  // namespace korvex::bench
