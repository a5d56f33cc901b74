// The pipeline's masks given by their harmonics: its reconstruction equals the engine's
// frame-by-frame one with the mask images of the same pattern (korvex_masks' builder for a
// two-beam pattern, the documented three-beam formula written out otherwise), on a non-square
// grid with unequal phase steps.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Korvex.h"
#include "acquisition_pipeline.h"
#include "fourier_upsampling.h"

namespace {

using namespace korvex::acquisition;

constexpr unsigned kH = 18, kW = 23, kF = 9, kFactor = 2;

AcquisitionOptions Options(bool threeBeam) {
  AcquisitionOptions o;
  o.optics = {1.2, 0.52, 0.1};
  std::vector<double> phase;
  for (unsigned f = 0; f < kF; ++f) phase.push_back(2.0944 * (f % 3) + 0.17 * f * f);
  o.pattern =
      Pattern_From_Rows({0.2, 0.2 + 2.0944, 0.2 + 4.1888}, {2.6, 2.9, 3.3}, {0.9, 0.8, 0.7}, phase,
                        threeBeam ? std::vector<double>{0.5, 0.4, 0.3} : std::vector<double>{},
                        threeBeam ? std::vector<double>{0.3, -1.1, 2.0} : std::vector<double>{});
  o.iterations = 12;
  o.preconditioned = false;  // the engine with mask images takes plain steps only
  return o;
}

std::vector<double> Frames() {
  std::vector<double> frames(kH * kW * kF);
  for (size_t i = 0; i < frames.size(); ++i) {
    frames[i] = 1.0 + 0.5 * std::sin(0.37 * double(i % (kH * kW))) + 0.1 * double(i / (kH * kW));
  }
  return frames;
}

// The fine grid's masks as images, column-major.
std::vector<double> Mask_Images(const IlluminationPattern& camera, unsigned H, unsigned W) {
  std::vector<double> masks(size_t{H} * W * kF);
  if (camera.orientations[0].modulation2 == 0.0) {
    Build_Masks(On_Finer_Grid(camera, kFactor), H, W, masks.data());
    return masks;
  }
  const IlluminationPattern p = On_Finer_Grid(camera, kFactor);
  const double pi = std::acos(-1.0);
  for (unsigned f = 0; f < kF; ++f) {
    const korvex::patterns::OrientationEstimate& o = p.orientations[f / 3];
    for (unsigned c = 0; c < W; ++c) {
      for (unsigned r = 0; r < H; ++r) {
        const double theta =
            2 * pi * (std::cos(o.angle) * c + std::sin(o.angle) * r) / o.period + p.phases[f];
        masks[f * size_t{H} * W + size_t{c} * H + r] =
            1.0 + o.modulation * std::cos(theta) + o.modulation2 * std::cos(2 * theta + o.phase2);
      }
    }
  }
  return masks;
}

class HarmonicMasksTest : public ::testing::TestWithParam<bool> {};

TEST_P(HarmonicMasksTest, PipelineMatchesTheFrameByFrameEngineWithMaskImages) {
  const AcquisitionOptions options = Options(GetParam());
  std::vector<double> frames = Frames();
  AcquisitionPipeline<double> pipeline;
  const AcquisitionResult<double> result = pipeline.Reconstruct(frames.data(), kH, kW, kF, options);

  const unsigned H = kH * kFactor, W = kW * kFactor;
  std::vector<double> fine(size_t{H} * W * kF);
  FourierUpsampler<double>(kH, kW, kFactor).Upsample(frames.data(), kF, fine.data());
  std::vector<double> masks = Mask_Images(*options.pattern, H, W);
  std::vector<double> otf = Fine_Grid_Otf(options, kH, kW, kFactor);
  double mean = 0;
  for (double v : frames) mean += v / static_cast<double>(frames.size());
  KorvexOptions engineOptions;
  engineOptions.nonNegative = options.nonNegative;
  engineOptions.frameData = options.frameData;
  engineOptions.sparsity = Sparsity_Share(options) * mean;
  std::vector<double> image(size_t{H} * W);
  Korvex<double> engine(W, H, kF, options.iterations);
  engine.Mapsim_Compute(fine.data(), otf.data(), masks.data(), image.data(), options.threshold,
                        options.lambda, options.alpha, engineOptions);

  ASSERT_EQ(result.image.size(), image.size());
  double scale = 0, worst = 0;
  for (size_t i = 0; i < image.size(); ++i) {
    scale = std::max(scale, std::abs(image[i]));
    worst = std::max(worst, std::abs(result.image[i] - image[i]));
  }
  EXPECT_GT(scale, 0.0);
  EXPECT_LT(worst / scale, 1e-8);
  EXPECT_EQ(result.iterations, engine.m_iteration + 1);
}

INSTANTIATE_TEST_SUITE_P(TwoAndThreeBeam, HarmonicMasksTest, ::testing::Bool());

// The multiplier against its formula evaluated frequency by frequency: sum_a sum_l M_{l,-l}
// |OTF(q + l k_a)|^2, |OTF|^2 bilinear between samples and periodic, on an odd non-square grid
// with wave vectors off the bins and in every direction. The OTFs: one zero beyond a disc, one
// nonzero everywhere, and a disc moved across the grid's edges (its support wraps around), in
// double and in single precision.
std::vector<double> Test_Otf(int kind, unsigned H, unsigned W) {
  std::vector<double> otf = Widefield_Otf(H, W, 1.2, 0.52, 0.05);
  for (size_t i = 0; i < otf.size(); ++i) otf[i] *= 1.0 + 0.2 * std::sin(0.3 * double(i));
  if (kind == 1) {
    for (double& v : otf) v += 0.01;
  } else if (kind == 2) {
    std::vector<double> moved(otf.size());
    for (unsigned c = 0; c < W; ++c) {
      for (unsigned r = 0; r < H; ++r) {
        moved[size_t{(c + W / 2 + 3) % W} * H + (r + H / 2 - 2) % H] = otf[size_t{c} * H + r];
      }
    }
    otf = moved;
  }
  return otf;
}

TEST(HarmonicMultiplierFormulaTest, MatchesTheDirectEvaluation) {
  for (int kind = 0; kind < 6; ++kind) {
    const bool threeBeam = kind % 2 == 1;
    const AcquisitionOptions options = Options(threeBeam);
    const unsigned H = kH * kFactor + 1, W = kW * kFactor;
    const KorvexHarmonics harmonics = Fine_Grid_Harmonics(*options.pattern, kFactor);
    std::vector<double> otf = Test_Otf(kind / 2, H, W);
    if (kind == 5) {  // single precision: the same sums of the float values
      for (double& v : otf) v = static_cast<float>(v);
    }
    const std::vector<double> multiplier =
        kind == 5 ? Harmonic_Multiplier(harmonics, std::vector<float>(otf.begin(), otf.end()), H, W)
                  : Harmonic_Multiplier(harmonics, otf, H, W);
    const double pi = std::acos(-1.0);
    const auto squared = [&](double x, double y) {  // at centred position (x, y), in bins
      const double x0 = std::floor(x), y0 = std::floor(y), tx = x - x0, ty = y - y0;
      const auto at = [&](double c, double r) {
        const long col = ((long(c) % long(W)) + long(W)) % long(W);
        const long row = ((long(r) % long(H)) + long(H)) % long(H);
        return otf[size_t(col) * H + size_t(row)] * otf[size_t(col) * H + size_t(row)];
      };
      return (1 - ty) * ((1 - tx) * at(x0, y0) + tx * at(x0 + 1, y0)) +
             ty * ((1 - tx) * at(x0, y0 + 1) + tx * at(x0 + 1, y0 + 1));
    };
    double worst = 0, largest = 0;
    for (unsigned c = 0; c < W; ++c) {
      for (unsigned r = 0; r < H; ++r) {
        double expected = 0;
        for (size_t a = 0; a < 3; ++a) {
          const double kx = harmonics.orientations[a].kx * W / (2 * pi);
          const double ky = harmonics.orientations[a].ky * H / (2 * pi);
          for (size_t p = 0; p < 3; ++p) {
            const auto& k = harmonics.coefficients[a * 3 + p];
            expected += squared(c, r);
            for (int l = 1; l <= 2; ++l) {
              expected += std::norm(k[l - 1]) *
                          (squared(c + l * kx, r + l * ky) + squared(c - l * kx, r - l * ky));
            }
          }
        }
        largest = std::max(largest, std::abs(expected));
        worst = std::max(worst, std::abs(multiplier[size_t{c} * H + r] - expected));
      }
    }
    EXPECT_LT(worst, 1e-12 * largest)
        << "OTF " << kind / 2 << (threeBeam ? " three-beam" : " two-beam");
  }
  const KorvexHarmonics harmonics = Fine_Grid_Harmonics(*Options(false).pattern, kFactor);
  // An OTF of zeros has no support: a multiplier of zeros.
  for (double v : Harmonic_Multiplier(harmonics, std::vector<float>(20, 0.0f), 4, 5)) {
    EXPECT_EQ(v, 0.0);
  }
  EXPECT_THROW(Harmonic_Multiplier(KorvexHarmonics{}, std::vector<double>(20, 1.0), 4, 5),
               std::invalid_argument);
  EXPECT_THROW(Harmonic_Multiplier(harmonics, std::vector<double>(19, 1.0), 4, 5),
               std::invalid_argument);
}

}  // namespace
