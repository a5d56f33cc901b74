// Two real frames through one complex transform, read at chosen bins: each frame's own
// spectrum there, on odd and even, square and oblong grids, with and without a second frame.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "spectrum_transform.h"

namespace {

using korvex::patterns::Complex;
using korvex::patterns::ComplexImage;
using korvex::patterns::PackedValue;
using korvex::patterns::SpectralGrid;
using korvex::patterns::SpectrumTransform;

TEST(SpectrumTransform, PairReadAtBinsGivesEachFramesSpectrum) {
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (const auto& [height, width] : {std::pair{16u, 16u}, {15u, 22u}, {21u, 9u}, {17u, 17u}}) {
    const SpectralGrid grid(height, width);
    SpectrumTransform transform(grid);
    std::vector<float> first(grid.pixels), second(grid.pixels);
    for (size_t i = 0; i < grid.pixels; ++i) {
      first[i] = u(rng);
      second[i] = u(rng);
    }
    // Every bin but a stride of them, out of order: the mirror of a bin need not be read.
    std::vector<size_t> bins;
    for (size_t i = grid.pixels; i-- > 0;) {
      if (i % 3 != 1) bins.push_back(i);
    }
    ComplexImage one(first.begin(), first.end()), two(second.begin(), second.end());
    transform.Forward(one);
    transform.Forward(two);
    std::vector<PackedValue> out(3 * bins.size(), PackedValue(7.0f, 7.0f));
    transform.Forward_Pair_At(first, &second, bins, out.data(), 3);
    for (size_t j = 0; j < bins.size(); ++j) {
      EXPECT_LT(std::abs(Complex(out[3 * j]) - one[bins[j]]), 1e-4) << height << "x" << width;
      EXPECT_LT(std::abs(Complex(out[3 * j + 1]) - two[bins[j]]), 1e-4) << height << "x" << width;
      EXPECT_EQ(out[3 * j + 2], PackedValue(7.0f, 7.0f));  // the stride's gap is left alone
    }
    transform.Forward_Pair_At(second, nullptr, bins, out.data(), 3);
    for (size_t j = 0; j < bins.size(); ++j) {
      EXPECT_LT(std::abs(Complex(out[3 * j]) - two[bins[j]]), 1e-4) << height << "x" << width;
    }
  }
}

}  // namespace
