// Masks given by their harmonics: the gradient folded by harmonic against the frame-by-frame
// gradient of the same masks as images, on odd and non-square grids, two- and three-beam
// patterns, equal and unequal phase steps; whole reconstructions of both; and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "acquisition_pipeline.h"
#include "engine_run.h"
#include "synthetic_sim.h"

namespace {

using namespace korvex::test;

struct Case {
  unsigned W, H, angles, phases;
  bool threeBeam, equalSteps;
  bool onGrid = false;     // wave vectors on whole frequency bins
  bool unevenOtf = false;  // an OTF that is not even, as a measured one may be
  // An OTF that vanishes outside an ellipse reaching 0.3 of the grid along each axis, so that
  // the engine filters through the band of columns it is nonzero in.
  bool bandLimited = false;
};

std::string Name(const ::testing::TestParamInfo<Case>& info) {
  const Case& c = info.param;
  return std::to_string(c.W) + "x" + std::to_string(c.H) + "_" + std::to_string(c.angles) + "x" +
         std::to_string(c.phases) + (c.threeBeam ? "_threeBeam" : "_twoBeam") +
         (c.equalSteps ? "_equalSteps" : "_unequalSteps") + (c.unevenOtf ? "_unevenOtf" : "") +
         (c.bandLimited ? "_bandLimited" : "");
}

// A problem whose masks are 1 + a1 cos(theta) + a2 cos(2 theta + psi), theta = k.r + phi_j,
// given both as images and by their harmonics.
struct HarmonicProblem {
  Problem problem;
  KorvexHarmonics harmonics;
};

HarmonicProblem Make_Problem(const Case& c) {
  const double pi = std::acos(-1.0);
  HarmonicProblem h;
  h.problem = Random_Problem(c.W, c.H, c.angles * c.phases, 11 * c.W + c.H);
  for (unsigned a = 0; a < c.angles; ++a) {
    const double angle = 0.3 + a * pi / c.angles;
    const double period = 4.7 + 0.9 * a;
    if (c.onGrid) {
      h.harmonics.orientations.push_back({2 * pi * (3.0 + a) / c.W, 2 * pi * (2.0 * a - 1) / c.H});
    } else {
      h.harmonics.orientations.push_back(
          {2 * pi * std::cos(angle) / period, 2 * pi * std::sin(angle) / period});
    }
    const double a1 = 0.9 - 0.1 * a;
    const double a2 = c.threeBeam ? 0.45 + 0.05 * a : 0.0;
    const double psi = c.threeBeam ? 0.7 * (a + 1) : 0.0;
    for (unsigned p = 0; p < c.phases; ++p) {
      const double phi = 2 * pi * p / c.phases + (c.equalSteps ? 0.2 : 0.31 * p * p + 0.1 * a);
      h.harmonics.coefficients.push_back(
          {std::polar(a1 / 2, phi), std::polar(a2 / 2, 2 * phi + psi)});
    }
  }
  const size_t n = size_t{c.W} * c.H;
  if (c.unevenOtf) {
    for (size_t i = 0; i < n; ++i) h.problem.otf[i] *= 1.0 + 0.3 * std::sin(0.7 * double(i));
  }
  for (unsigned col = 0; col < c.W && c.bandLimited; ++col) {
    for (unsigned row = 0; row < c.H; ++row) {
      const double fx = (double(col) - c.W / 2) / (0.3 * c.W);
      const double fy = (double(row) - c.H / 2) / (0.3 * c.H);
      if (fx * fx + fy * fy > 1.0) h.problem.otf[size_t{col} * c.H + row] = 0.0;
    }
  }
  for (unsigned f = 0; f < h.problem.F; ++f) {
    const KorvexHarmonics::Orientation& o = h.harmonics.orientations[f / c.phases];
    for (unsigned col = 0; col < c.W; ++col) {
      for (unsigned row = 0; row < c.H; ++row) {
        const std::complex<double> e = std::polar(1.0, o.kx * col + o.ky * row);
        const auto& k = h.harmonics.coefficients[f];
        h.problem.masks[f * n + size_t{col} * c.H + row] =
            1.0 + 2.0 * (k[0] * e + k[1] * e * e).real();
      }
    }
  }
  return h;
}

template <typename T>
std::vector<double> Device_Image(const T* device, size_t n) {
  std::vector<T> host(n);
  EXPECT_EQ(cudaMemcpy(host.data(), device, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
  return To_Double(host);
}

// The gradient of the first iteration (at the widefield start, lambda 0), and the image
// after `iterations`, of the frame-by-frame engine and of the harmonic one.
template <typename T>
struct Both {
  std::vector<double> frameGradient, harmonicGradient, frameImage, harmonicImage;
};

template <typename T>
Both<T> Run_Both(const HarmonicProblem& h, const KorvexOptions& options, unsigned iterations) {
  const Problem& p = h.problem;
  Both<T> both;
  for (unsigned limit : {1u, iterations}) {
    HostArrays<T> arrays(p);
    Korvex<T> frames(p.W, p.H, p.F, limit);
    frames.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                          arrays.output.data(), T(0), T(0), T(0.1), options);
    const std::vector<double> frameOut = To_Double(arrays.output);
    const std::vector<double> frameGradient = Device_Image(frames.d_grad, size_t{p.W} * p.H);
    Korvex<T> harmonic(p.W, p.H, p.F, limit, true);
    harmonic.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), h.harmonics,
                            arrays.output.data(), T(0), T(0), T(0.1), options);
    if (limit == 1) {
      both.frameGradient = frameGradient;
      both.harmonicGradient = Device_Image(harmonic.d_grad, size_t{p.W} * p.H);
    } else {
      both.frameImage = frameOut;
      both.harmonicImage = To_Double(arrays.output);
    }
  }
  return both;
}

class HarmonicGradientTest : public ::testing::TestWithParam<Case> {};

TEST_P(HarmonicGradientTest, MatchesTheFrameByFrameGradient) {
  const HarmonicProblem h = Make_Problem(GetParam());
  for (bool frameData : {true, false}) {
    KorvexOptions options;
    options.frameData = frameData;
    options.nonNegative = true;
    options.sparsity = frameData ? 0.2 : 0.0;
    const Both<float> single = Run_Both<float>(h, options, 2);
    EXPECT_LT(Relative_Difference(single.harmonicGradient, single.frameGradient), 1e-5)
        << "frameData " << frameData;
    const Both<double> twice = Run_Both<double>(h, options, 15);
    EXPECT_LT(Relative_Difference(twice.harmonicGradient, twice.frameGradient), 1e-10)
        << "frameData " << frameData;
    EXPECT_LT(Relative_Difference(twice.harmonicImage, twice.frameImage), 1e-8)
        << "frameData " << frameData;
  }
}

INSTANTIATE_TEST_SUITE_P(
    OddAndNonSquare, HarmonicGradientTest,
    ::testing::Values(Case{37, 24, 3, 3, false, true}, Case{37, 24, 3, 3, false, false},
                      Case{20, 27, 3, 5, true, true}, Case{20, 27, 3, 5, true, false},
                      Case{33, 33, 2, 4, true, false}, Case{16, 9, 1, 3, false, false},
                      Case{21, 16, 3, 3, true, false, false, true}),
    Name);

// The same with the OTF zero outside a band of columns: the harmonic engine filters through
// transforms pruned to that band, the frame-by-frame one through whole 2-D transforms.
INSTANTIATE_TEST_SUITE_P(
    BandLimited, HarmonicGradientTest,
    ::testing::Values(Case{37, 24, 3, 3, false, false, false, false, true},
                      Case{20, 27, 3, 5, true, true, false, false, true},
                      Case{33, 33, 2, 4, true, false, false, true, true},
                      Case{16, 9, 1, 3, false, false, false, false, true}),
    Name);

// A Gaussian low-pass exp(-(fx^2 + fy^2) / (2 sigma^2)), fx and fy in cycles per pixel, plus
// `floor`, centred and column-major: nonzero everywhere.
std::vector<double> Gaussian_Transfer(unsigned W, unsigned H, double sigma, double floor) {
  std::vector<double> g(size_t{W} * H);
  for (unsigned col = 0; col < W; ++col) {
    for (unsigned row = 0; row < H; ++row) {
      const double fx = (double(col) - W / 2) / W, fy = (double(row) - H / 2) / H;
      g[size_t{col} * H + row] = std::exp(-(fx * fx + fy * fy) / (2 * sigma * sigma)) + floor;
    }
  }
  return g;
}

// Whole reconstructions through a band-limited OTF against the same OTF with values far below
// rounding outside the band, which makes the band the whole grid: pruning the transforms to the
// band changes the images by rounding only, with the Fourier start, preconditioned steps,
// sparsity and the out-of-focus term too, on an odd grid and three-beam masks. The haze's G is
// the OTF itself (zero outside the band), a Gaussian narrow enough that G'G beyond the band is
// below rounding (its transforms pruned as well, with preconditioned and with plain steps),
// and a Gaussian over a floor, nonzero everywhere (its transforms whole, beside a pruned x).
template <typename T>
void Expect_Pruning_Changes_Rounding_Only(double outside, double tolerance) {
  // Equal phase steps, for which the multiplier is exact: with the widely unequal steps of a
  // random problem the start's reduced solution takes the frames' light, finds no haze and
  // runs the call without it.
  const HarmonicProblem h = Make_Problem({33, 20, 3, 3, true, true, false, false, true});
  const Problem& p = h.problem;
  KorvexHarmonics harmonics = h.harmonics;
  harmonics.approximation = korvex::acquisition::Harmonic_Multiplier(harmonics, p.otf, p.H, p.W);
  const std::vector<double> transfers[] = {p.otf, Gaussian_Transfer(p.W, p.H, 0.04, 0.0),
                                           Gaussian_Transfer(p.W, p.H, 0.04, 0.0),
                                           Gaussian_Transfer(p.W, p.H, 0.1, 0.02)};
  for (int variant = 0; variant < 6; ++variant) {
    const bool haze = variant >= 2;
    KorvexOptions options;
    options.frameData = true;
    options.nonNegative = variant != 0;
    options.sparsity = 0.05;
    options.fourierStart = options.preconditioned = variant != 0 && variant != 4;
    if (haze) options.outOfFocus = transfers[variant - 2];
    std::vector<double> images[2], hazes[2];
    double shares[2] = {0.0, 0.0};
    for (int whole = 0; whole < 2; ++whole) {
      Problem q = p;
      for (double& v : q.otf) v = v == 0.0 && whole == 1 ? outside : v;
      HostArrays<T> arrays(q);
      Korvex<T> engine(p.W, p.H, p.F, 8, true, haze);
      engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), harmonics,
                            arrays.output.data(), T(0), T(0.01), T(0.1), options);
      images[whole] = To_Double(arrays.output);
      if (haze) {
        std::vector<T> g(size_t{p.W} * p.H);
        shares[whole] = engine.Out_Of_Focus(g.data());
        hazes[whole] = To_Double(g);
      }
    }
    EXPECT_LT(Relative_Difference(images[0], images[1]), tolerance) << "variant " << variant;
    if (!haze) continue;
    ASSERT_GT(shares[1], 1e-3) << "variant " << variant << ": the haze must carry light";
    EXPECT_LT(Relative_Difference(hazes[0], hazes[1]), tolerance) << "variant " << variant;
    EXPECT_NEAR(shares[0], shares[1], tolerance * shares[1]) << "variant " << variant;
  }
}

TEST(BandPruningTest, ChangesTheImagesByRoundingOnly) {
  Expect_Pruning_Changes_Rounding_Only<float>(1e-30, 1e-4);
  Expect_Pruning_Changes_Rounding_Only<double>(1e-150, 1e-11);
}

// With a flat approximation and no smoothing the preconditioner is the identity, so the
// preconditioned steps are the plain ones: s.y / y.P^-1 y, from the changes the harmonic
// iteration keeps, is the frame-by-frame engine's s.y / y.y from its stored estimates and
// gradients. Two-beam orientations in pairs and alone, three-beam ones alone, odd sizes.
TEST(PreconditionedStepsTest, WithAFlatApproximationFollowTheFrameByFrameSteps) {
  for (const Case& c : {Case{37, 24, 3, 3, false, false}, Case{33, 33, 2, 4, false, false},
                        Case{20, 27, 3, 5, true, false}}) {
    SCOPED_TRACE(Name(::testing::TestParamInfo<Case>(c, 0)));
    HarmonicProblem h = Make_Problem(c);
    const Problem& p = h.problem;
    h.harmonics.approximation.assign(size_t{p.W} * p.H, 2.0);
    KorvexOptions plain;
    plain.frameData = true;
    KorvexOptions preconditioned = plain;
    preconditioned.preconditioned = true;
    HostArrays<double> arrays(p);
    Korvex<double> frames(p.W, p.H, p.F, 15);
    frames.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                          arrays.output.data(), 0.0, 0.0, 0.1, plain);
    const std::vector<double> frameImage = To_Double(arrays.output);
    Korvex<double> harmonic(p.W, p.H, p.F, 15, true);
    harmonic.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), h.harmonics,
                            arrays.output.data(), 0.0, 0.0, 0.1, preconditioned);
    EXPECT_LT(Relative_Difference(To_Double(arrays.output), frameImage), 1e-8);
    EXPECT_EQ(harmonic.m_iteration, frames.m_iteration);
    EXPECT_NEAR(harmonic.m_alpha, frames.m_alpha, 1e-8 * frames.m_alpha);
  }
}

// The folded frame-by-frame evaluation applies the same operator as the plain one when the OTF
// is not even.
TEST(FoldedGradientTest, MatchesThePlainGradientForAnUnevenOtf) {
  const HarmonicProblem h = Make_Problem({21, 16, 3, 3, false, false, false, true});
  const Problem& p = h.problem;
  std::vector<double> gradients[2];
  for (int folded = 0; folded < 2; ++folded) {
    KorvexOptions options;
    options.frameData = true;
    options.foldedData = folded == 1;
    HostArrays<double> arrays(p);
    Korvex<double> engine(p.W, p.H, p.F, 1);
    engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                          arrays.output.data(), 0.0, 0.0, 0.1, options);
    gradients[folded] = Device_Image(engine.d_grad, size_t{p.W} * p.H);
  }
  EXPECT_LT(Relative_Difference(gradients[1], gradients[0]), 1e-12);
}

// With equal phase steps the cross terms vanish, and with wave vectors on whole bins each
// remaining term is exactly a shifted transfer function: the multiplier is then exact.
TEST(HarmonicMultiplierTest, IsTheExactOperatorForEqualStepsOnWholeBins) {
  for (const Case& c :
       {Case{24, 15, 3, 3, false, true, true}, Case{19, 20, 2, 5, true, true, true}}) {
    HarmonicProblem h = Make_Problem(c);
    const Problem& p = h.problem;
    KorvexOptions options;
    options.frameData = true;
    options.sparsity = 0.1;
    std::vector<double> gradients[2];
    for (int form = 0; form < 2; ++form) {
      if (form == 1) {
        h.harmonics.multiplier =
            korvex::acquisition::Harmonic_Multiplier(h.harmonics, p.otf, p.H, p.W);
      }
      HostArrays<double> arrays(p);
      Korvex<double> engine(p.W, p.H, p.F, 1, true);
      engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), h.harmonics,
                            arrays.output.data(), 0.0, 0.0, 0.1, options);
      gradients[form] = Device_Image(engine.d_grad, size_t{p.W} * p.H);
    }
    EXPECT_LT(Relative_Difference(gradients[1], gradients[0]), 1e-10) << Name({c, 0});
  }
}

TEST(HarmonicEngineTest, RefusesMismatchedHarmonicsAndTheOtherKindOfCall) {
  HarmonicProblem h = Make_Problem({16, 12, 3, 3, false, false});
  const Problem& p = h.problem;
  HostArrays<double> arrays(p);
  Korvex<double> harmonic(p.W, p.H, p.F, 3, true);
  const auto run = [&](const KorvexHarmonics& given) {
    return Message_Of([&] {
      harmonic.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), given, arrays.output.data(),
                              0.0, 0.0, 0.1, KorvexOptions{});
    });
  };
  KorvexHarmonics short_ = h.harmonics;
  short_.coefficients.pop_back();
  EXPECT_EQ(run(short_),
            "KorvexCUDA Error: harmonics must describe 9 frames, the same number for every "
            "orientation (got 8 frames in 3 orientations)!\n");
  KorvexHarmonics uneven = h.harmonics;
  uneven.orientations.pop_back();
  EXPECT_NE(run(uneven).find("(got 9 frames in 2 orientations)"), std::string::npos);
  KorvexHarmonics infinite = h.harmonics;
  infinite.coefficients[4][1] = {0.0, INFINITY};
  EXPECT_EQ(run(infinite), "KorvexCUDA Error: harmonics hold NaN or Inf!\n");
  KorvexHarmonics wrongMultiplier = h.harmonics;
  wrongMultiplier.multiplier.assign(5, 1.0);
  EXPECT_EQ(run(wrongMultiplier),
            "KorvexCUDA Error: the multiplier must hold 192 values (got 5)!\n");
  EXPECT_EQ(Message_Of([&] {
              harmonic.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                                      arrays.output.data(), 0.0, 0.0, 0.1);
            }),
            "KorvexCUDA Error: an engine built for harmonics takes no mask images!\n");
  Korvex<double> frames(p.W, p.H, p.F, 3);
  EXPECT_EQ(Message_Of([&] {
              frames.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), h.harmonics,
                                    arrays.output.data(), 0.0, 0.0, 0.1, KorvexOptions{});
            }),
            "KorvexCUDA Error: masks given by their harmonics need an engine built for them!\n");
  // After the refusals the engine still reconstructs.
  EXPECT_EQ(run(h.harmonics), "<no exception>");
}

}  // namespace
