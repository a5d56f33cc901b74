// Fourier up-sampling reproduces a band-limited image exactly, on odd and even sizes.
#include "fourier_upsampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using korvex::acquisition::FourierUpsampler;

constexpr double kTwoPi = 6.283185307179586476925286766559;

// A real image band-limited to the grid: cosines at whole-grid frequencies below Nyquist,
// plus, for an even size, the Nyquist cosine itself (whose interpolant is cos(pi x)). x and
// y are in camera pixels, so the same function sampled at (c / s, r / s) is the exact fine
// image.
double Band_Limited(double x, double y, unsigned height, unsigned width) {
  double v = 0.7 + 0.3 * std::cos(kTwoPi * (2 * x / width + 3 * y / height) + 0.4) +
             0.2 * std::sin(kTwoPi * ((width / 2 - 1) * x / width - 1 * y / height) - 1.1) +
             0.1 * std::cos(kTwoPi * ((height - 1) / 2) * y / height + 0.3);
  if (width % 2 == 0) v += 0.25 * std::cos(kTwoPi * (width / 2) * x / width);
  if (height % 2 == 0) {
    v += 0.15 * std::cos(kTwoPi * (height / 2) * y / height) *
         std::cos(kTwoPi * (width % 2 == 0 ? width / 2 : 1) * x / width);
  }
  return v;
}

template <typename T>
double Largest_Error(unsigned height, unsigned width, unsigned factor, unsigned frames) {
  std::vector<T> coarse(size_t{height} * width * frames);
  for (unsigned f = 0; f < frames; ++f) {
    for (unsigned c = 0; c < width; ++c) {
      for (unsigned r = 0; r < height; ++r) {
        coarse[(size_t{f} * width + c) * height + r] =
            T((f + 1) * Band_Limited(c, r, height, width));
      }
    }
  }
  const unsigned fh = height * factor, fw = width * factor;
  std::vector<T> fine(size_t{fh} * fw * frames);
  FourierUpsampler<T> upsampler(height, width, factor);
  upsampler.Upsample(coarse.data(), frames, fine.data());
  double worst = 0;
  for (unsigned f = 0; f < frames; ++f) {
    for (unsigned c = 0; c < fw; ++c) {
      for (unsigned r = 0; r < fh; ++r) {
        const double expected =
            (f + 1) * Band_Limited(double(c) / factor, double(r) / factor, height, width);
        worst = std::max(worst, std::abs(fine[(size_t{f} * fw + c) * fh + r] - expected));
      }
    }
  }
  return worst;
}

TEST(FourierUpsampling, ReproducesBandLimitedImagesOfOddAndEvenSizes) {
  // Odd frame counts send the last frame through the pair transform alone.
  EXPECT_LT(Largest_Error<double>(15, 21, 2, 3), 1e-12);
  EXPECT_LT(Largest_Error<double>(16, 12, 2, 3), 1e-12);
  EXPECT_LT(Largest_Error<double>(16, 15, 3, 2), 1e-12);
  EXPECT_LT(Largest_Error<double>(9, 10, 1, 1), 1e-15);
  EXPECT_LT(Largest_Error<float>(32, 31, 2, 3), 2e-5);
}

}  // namespace
