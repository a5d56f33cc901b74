// The Fourier start and the preconditioned steps of harmonic engines: the start is the
// quadratic's minimiser where the multiplier is exact, the preconditioned iteration reaches the
// constrained minimiser that plain steps reach (and gets closer in few iterations), and the
// refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "acquisition_pipeline.h"
#include "engine_run.h"
#include "synthetic_sim.h"

namespace {

using namespace korvex::test;

struct Harmonic_Setup {
  Problem problem;  // frames and OTF; the masks are given by `harmonics`
  KorvexHarmonics harmonics;
};

// Two-beam patterns of 3 orientations x 3 phases. `exact`: wave vectors on whole frequency
// bins and equal phase steps, where the multiplier is the exact normal operator.
Harmonic_Setup Make_Setup(unsigned W, unsigned H, bool exact) {
  const double pi = std::acos(-1.0);
  Harmonic_Setup s;
  s.problem = Random_Problem(W, H, 9, 5 * W + H);
  for (unsigned a = 0; a < 3; ++a) {
    if (exact) {
      s.harmonics.orientations.push_back({2 * pi * (3.0 + a) / W, 2 * pi * (2.0 * a - 1) / H});
    } else {
      const double angle = 0.4 + a * pi / 3, period = 4.3 + 0.6 * a;
      s.harmonics.orientations.push_back(
          {2 * pi * std::cos(angle) / period, 2 * pi * std::sin(angle) / period});
    }
    for (unsigned p = 0; p < 3; ++p) {
      const double phase = 2 * pi * p / 3 + (exact ? 0.2 : 0.25 * p * p + 0.1 * a);
      s.harmonics.coefficients.push_back({std::polar(0.4, phase), std::complex<double>()});
    }
  }
  s.harmonics.approximation = korvex::acquisition::Harmonic_Multiplier(s.harmonics, s.problem.otf,
                                                                       s.problem.H, s.problem.W);
  return s;
}

struct Outcome {
  std::vector<double> image, gradient;  // the output, and the gradient of the last iteration
};

Outcome Run_Harmonic(const Harmonic_Setup& s, unsigned iterations, double lambda,
                     const KorvexOptions& options) {
  const Problem& p = s.problem;
  HostArrays<double> arrays(p);
  Korvex<double> engine(p.W, p.H, p.F, iterations, true);
  engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), s.harmonics, arrays.output.data(),
                        0.0, lambda, 0.05, options);
  std::vector<double> gradient(size_t{p.W} * p.H);
  EXPECT_EQ(cudaMemcpy(gradient.data(), engine.d_grad, gradient.size() * sizeof(double),
                       cudaMemcpyDeviceToHost),
            cudaSuccess);
  return {arrays.output, gradient};
}

double Norm(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x * x;
  return std::sqrt(sum);
}

// The gradient's pixels away from the border (row-major device order), where the smoothing
// term's stencil is the periodic Laplacian that the start divides by.
std::vector<double> Interior(const std::vector<double>& rowMajor, unsigned W, unsigned H) {
  std::vector<double> inside;
  for (unsigned r = 1; r + 1 < H; ++r) {
    for (unsigned c = 1; c + 1 < W; ++c) inside.push_back(rowMajor[size_t{r} * W + c]);
  }
  return inside;
}

TEST(FourierStartTest, IsTheQuadraticsMinimiserWhereTheMultiplierIsExact) {
  const Harmonic_Setup s = Make_Setup(24, 15, true);
  KorvexOptions options;
  options.frameData = true;
  options.foldedData = true;
  options.sparsity = 0.1;
  for (double lambda : {0.0, 0.02}) {
    const Outcome widefield = Run_Harmonic(s, 1, lambda, options);
    KorvexOptions fourier = options;
    fourier.fourierStart = true;
    const Outcome start = Run_Harmonic(s, 1, lambda, fourier);
    // The gradient at the start vanishes, up to rounding, where the start's model holds.
    EXPECT_LT(Norm(Interior(start.gradient, 24, 15)),
              1e-9 * Norm(Interior(widefield.gradient, 24, 15)))
        << "lambda " << lambda;
  }
}

TEST(FourierStartTest, IsClippedAtZeroWithTheConstraint) {
  const Harmonic_Setup s = Make_Setup(20, 17, false);
  KorvexOptions options;
  options.frameData = true;
  options.fourierStart = true;
  const Outcome free = Run_Harmonic(s, 0, 0.01, options);
  options.nonNegative = true;
  const Outcome clipped = Run_Harmonic(s, 0, 0.01, options);
  bool negative = false;
  for (size_t i = 0; i < free.image.size(); ++i) {
    negative = negative || free.image[i] < 0;
    EXPECT_EQ(clipped.image[i], std::max(free.image[i], 0.0)) << "at " << i;
  }
  EXPECT_TRUE(negative) << "the case should exercise the clipping";
}

// The two-metric steps stop where the projected gradient does: at the constrained minimiser,
// which a long run of plain steps approaches. Clipping P^-1 g instead stops elsewhere. Without
// the constraint both reach the quadratic's minimiser.
TEST(PreconditionedStepsTest, ReachTheMinimiserFaster) {
  const Harmonic_Setup s = Make_Setup(32, 27, false);
  for (bool nonNegative : {true, false}) {
    KorvexOptions plain;
    plain.frameData = true;
    plain.nonNegative = nonNegative;
    plain.sparsity = 0.3;
    KorvexOptions preconditioned = plain;
    preconditioned.preconditioned = true;
    const double lambda = 0.01;
    const std::vector<double> minimiser = Run_Harmonic(s, 3000, lambda, plain).image;
    const double longRun =
        Relative_Difference(Run_Harmonic(s, 300, lambda, preconditioned).image, minimiser);
    EXPECT_LT(longRun, 1e-4) << "nonNegative " << nonNegative;
    const double fewPlain =
        Relative_Difference(Run_Harmonic(s, 15, lambda, plain).image, minimiser);
    const double fewPreconditioned =
        Relative_Difference(Run_Harmonic(s, 15, lambda, preconditioned).image, minimiser);
    EXPECT_LT(fewPreconditioned, 0.5 * fewPlain) << "nonNegative " << nonNegative;
  }
}

// One engine kept over calls of every kind (the buffers it exchanges while iterating, the real
// transforms, the preconditioner's filter) gives each call the image and the last gradient of
// a fresh engine, bit for bit, in a mixed order and with an odd iteration count, on odd sizes.
TEST(FourierStepsTest, AKeptEngineGivesEachCallAFreshEnginesResults) {
  const Harmonic_Setup s = Make_Setup(21, 14, false);
  const Problem& p = s.problem;
  std::vector<KorvexOptions> calls(4);
  calls[0].preconditioned = true;
  calls[0].nonNegative = true;
  calls[0].sparsity = 0.2;
  calls[1].frameData = true;
  calls[2] = calls[0];
  calls[2].fourierStart = true;
  calls[3] = calls[0];
  Korvex<double> kept(p.W, p.H, p.F, 7, true);
  for (size_t c = 0; c < calls.size(); ++c) {
    HostArrays<double> arrays(p);
    kept.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), s.harmonics, arrays.output.data(),
                        0.0, 0.01, 0.05, calls[c]);
    std::vector<double> gradient(size_t{p.W} * p.H);
    ASSERT_EQ(cudaMemcpy(gradient.data(), kept.d_grad, gradient.size() * sizeof(double),
                         cudaMemcpyDeviceToHost),
              cudaSuccess);
    const Outcome fresh = Run_Harmonic(s, 7, 0.01, calls[c]);
    EXPECT_EQ(arrays.output, fresh.image) << "call " << c;
    EXPECT_EQ(gradient, fresh.gradient) << "call " << c;
  }
}

TEST(FourierStepsTest, RefuseAMissingOrMisshapenApproximation) {
  Harmonic_Setup s = Make_Setup(16, 12, false);
  const Problem& p = s.problem;
  HostArrays<double> arrays(p);
  Korvex<double> engine(p.W, p.H, p.F, 3, true);
  const auto run = [&](const KorvexOptions& options) {
    return Message_Of([&] {
      engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), s.harmonics,
                            arrays.output.data(), 0.0, 0.0, 0.1, options);
    });
  };
  KorvexOptions options;
  options.preconditioned = true;
  EXPECT_EQ(run(options), "<no exception>");
  s.harmonics.approximation.assign(7, 1.0);
  EXPECT_EQ(run(options), "KorvexCUDA Error: the approximation must hold 192 values (got 7)!\n");
  s.harmonics.approximation.clear();
  EXPECT_EQ(run(options),
            "KorvexCUDA Error: the Fourier start and the preconditioner need "
            "harmonics.approximation!\n");
  options.preconditioned = false;
  options.fourierStart = true;
  EXPECT_NE(run(options).find("need harmonics.approximation"), std::string::npos);

  Korvex<double> images(p.W, p.H, p.F, 3);
  EXPECT_EQ(Message_Of([&] {
              images.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                                    arrays.output.data(), 0.0, 0.0, 0.1, options);
            }),
            "KorvexCUDA Error: the Fourier start and the preconditioner need masks given by "
            "their harmonics!\n");
}

}  // namespace
