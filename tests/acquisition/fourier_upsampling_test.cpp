// Fourier up-sampling reproduces a band-limited image exactly, on odd and even sizes, and
// matches the zero-padded spectrum transformed back on the fine grid for any image.
#include "fourier_upsampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
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

// The definition written out for one coarse image: its spectrum by a direct sum, each bin
// placed at its signed frequency on the fine grid (the Nyquist bin of an even size in halves
// at +N/2 and -N/2), and the fine image summed directly from those bins.
std::vector<double> Padded_Reference(const double* coarse, unsigned height, unsigned width,
                                     unsigned factor) {
  using C = std::complex<double>;
  using Landings = std::vector<std::pair<long, double>>;  // signed fine bins and weights
  const auto landings = [](unsigned n, unsigned k) {
    const long d = k < (n + 1) / 2 ? long(k) : long(k) - long(n);
    return 2 * k == n ? Landings{{d, 0.5}, {-d, 0.5}} : Landings{{d, 1.0}};
  };
  const unsigned fh = height * factor, fw = width * factor;
  std::vector<double> fine(size_t{fh} * fw, 0.0);
  for (unsigned l = 0; l < width; ++l) {
    for (unsigned k = 0; k < height; ++k) {
      C z = 0;
      for (unsigned c = 0; c < width; ++c) {
        for (unsigned r = 0; r < height; ++r) {
          z += coarse[size_t{c} * height + r] *
               std::polar(1.0, -kTwoPi * (double(k) * r / height + double(l) * c / width));
        }
      }
      z /= double(height) * width;
      for (const auto& [dc, wc] : landings(width, l)) {
        for (const auto& [dr, wr] : landings(height, k)) {
          for (unsigned c = 0; c < fw; ++c) {
            for (unsigned r = 0; r < fh; ++r) {
              const C e = std::polar(wc * wr, kTwoPi * (double(dr) * r / fh + double(dc) * c / fw));
              fine[size_t{c} * fh + r] += (z * e).real();
            }
          }
        }
      }
    }
  }
  return fine;
}

TEST(FourierUpsampling, MatchesThePaddedSpectrumOnAnyImage) {
  struct Case {
    unsigned height, width, factor, frames;
  };
  // Even and odd sides (split Nyquist bins on either or both), factors 1 to 3, frame counts
  // that fill the last pair and that leave it half empty.
  for (const Case& k : {Case{8, 6, 2, 3}, Case{7, 9, 3, 2}, Case{6, 5, 3, 1}, Case{5, 4, 1, 3},
                        Case{1, 6, 2, 2}, Case{4, 4, 4, 1}}) {
    std::mt19937 random(k.height * 100 + k.width * 10 + k.factor);
    std::uniform_real_distribution<double> value(-1.0, 2.0);
    const size_t pixels = size_t{k.height} * k.width;
    const size_t finePixels = pixels * k.factor * k.factor;
    std::vector<double> coarse(pixels * k.frames), fine(finePixels * k.frames);
    for (double& v : coarse) v = value(random);
    FourierUpsampler<double>(k.height, k.width, k.factor)
        .Upsample(coarse.data(), k.frames, fine.data());
    for (unsigned f = 0; f < k.frames; ++f) {
      const std::vector<double> expected =
          Padded_Reference(coarse.data() + f * pixels, k.height, k.width, k.factor);
      double worst = 0;
      for (size_t i = 0; i < finePixels; ++i) {
        worst = std::max(worst, std::abs(fine[f * finePixels + i] - expected[i]));
      }
      EXPECT_LT(worst, 1e-12) << k.height << "x" << k.width << " x" << k.factor << " frame " << f;
      // Fine sample (s r, s c) is camera sample (r, c) itself.
      const unsigned fh = k.height * k.factor;
      for (unsigned c = 0; c < k.width; ++c) {
        for (unsigned r = 0; r < k.height; ++r) {
          ASSERT_EQ(fine[f * finePixels + size_t{c} * k.factor * fh + r * k.factor],
                    coarse[f * pixels + size_t{c} * k.height + r]);
        }
      }
    }
  }
}

}  // namespace
