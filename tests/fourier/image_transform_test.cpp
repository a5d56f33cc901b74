// The shared image transform: two real images from one transform give the spectra that each
// one's own transform gives, and ifftshift puts each bin where an unshifted transform has it;
// odd, even, non-square and single-line sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <utility>
#include <vector>

#include "image_transform.h"

namespace {

using korvex::fourier::ImageTransform;

const std::pair<unsigned, unsigned> kSizes[] = {{7, 5}, {6, 9}, {8, 8}, {1, 8}, {9, 1}};

template <typename T>
class ImageTransformTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ImageTransformTest, Precisions);

TYPED_TEST(ImageTransformTest, APackedPairSplitsIntoEachImagesOwnSpectrum) {
  using T = TypeParam;
  using C = std::complex<T>;
  const double tolerance = std::is_same_v<T, float> ? 2e-5 : 1e-12;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (const auto& [h, w] : kSizes) {
    const size_t n = size_t{h} * w;
    std::vector<double> a(n), b(n);
    for (size_t i = 0; i < n; ++i) a[i] = value(random), b[i] = value(random);
    ImageTransform<T> transform(h, w, "test");
    // Each alone.
    std::vector<C> alone_a(n), alone_b(n);
    korvex::fourier::Pack_Pair<T, double>(a.data(), nullptr, n, alone_a.data());
    korvex::fourier::Pack_Pair<T, double>(b.data(), nullptr, n, alone_b.data());
    transform.Forward(alone_a.data());
    transform.Forward(alone_b.data());
    // Together.
    std::vector<C> packed(n), second(n);
    korvex::fourier::Pack_Pair(a.data(), b.data(), n, packed.data());
    transform.Forward(packed.data());
    korvex::fourier::Split_Pair(packed.data(), second.data(), h, w);
    double worst = 0.0;
    for (size_t i = 0; i < n; ++i) {
      worst = std::max({worst, double(std::abs(packed[i] - alone_a[i])),
                        double(std::abs(second[i] - alone_b[i]))});
    }
    EXPECT_LT(worst, tolerance * double(n)) << h << " x " << w;
    // And back: the unnormalised inverse gives n times the image.
    transform.Inverse(alone_a.data());
    for (size_t i = 0; i < n; ++i) {
      ASSERT_NEAR(double(alone_a[i].real()) / double(n), a[i], tolerance * 10) << h << " x " << w;
    }
  }
}

TEST(Ifftshift, PutsEverySignedFrequencyWhereAnUnshiftedTransformHasIt) {
  for (const auto& [h, w] : kSizes) {
    // A centred image holding its signed (row, column) frequency indices: row r of a
    // centred spectrum stands for r - floor(h / 2).
    std::vector<std::pair<int, int>> centred(size_t{h} * w), out(size_t{h} * w);
    for (unsigned c = 0; c < w; ++c) {
      for (unsigned r = 0; r < h; ++r) {
        centred[size_t{c} * h + r] = {int(r) - int(h / 2), int(c) - int(w / 2)};
      }
    }
    korvex::fourier::Ifftshift(centred.data(), out.data(), h, w);
    // Bin k of an unshifted transform of n: k below ceil(n / 2), k - n from there on.
    const auto signed_index = [](unsigned k, unsigned n) {
      return k < (n + 1) / 2 ? int(k) : int(k) - int(n);
    };
    for (unsigned c = 0; c < w; ++c) {
      for (unsigned r = 0; r < h; ++r) {
        const std::pair<int, int> expected{signed_index(r, h), signed_index(c, w)};
        ASSERT_EQ(out[size_t{c} * h + r], expected) << h << " x " << w << " at " << r << "," << c;
      }
    }
  }
}

}  // namespace
