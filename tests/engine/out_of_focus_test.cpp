// The out-of-focus term of the harmonic engine: the joint gradient of (x, b) against a
// frame-by-frame evaluation of the same objective, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "acquisition_pipeline.h"
#include "engine_run.h"
#include "synthetic_sim.h"

namespace {

using namespace korvex::test;

// Random frames lit by 1 + a1 cos(theta) + a2 cos(2 theta + psi), theta = k.r + phi_j with
// unequal phase steps; the masks both as images and by their harmonics.
struct HazeProblem {
  Problem problem;
  KorvexHarmonics harmonics;
  std::vector<double> transfer;  // G: a Gaussian low-pass made slightly uneven
};

// A Gaussian low-pass of standard deviation `sigma` (cycles per pixel), centred and
// column-major, made slightly uneven.
std::vector<double> Uneven_Gaussian(unsigned W, unsigned H, double sigma) {
  std::vector<double> g(size_t{W} * H);
  for (unsigned col = 0; col < W; ++col) {
    for (unsigned row = 0; row < H; ++row) {
      const double fx = (double(col) - W / 2) / W, fy = (double(row) - H / 2) / H;
      g[size_t{col} * H + row] = std::exp(-(fx * fx + fy * fy) / (2 * sigma * sigma)) *
                                 (1.0 + 0.2 * std::sin(0.9 * col));
    }
  }
  return g;
}

HazeProblem Make_Problem(unsigned W, unsigned H, unsigned phases, bool threeBeam,
                         bool equalStepsOnBins = false) {
  const double pi = std::acos(-1.0);
  HazeProblem h;
  h.problem = Random_Problem(W, H, 3 * phases, 7 * W + H);
  for (unsigned a = 0; a < 3; ++a) {
    const double angle = 0.4 + a * pi / 3, period = 4.3 + 0.7 * a;
    if (equalStepsOnBins) {
      h.harmonics.orientations.push_back({2 * pi * (3.0 + a) / W, 2 * pi * (2.0 * a - 1) / H});
    } else {
      h.harmonics.orientations.push_back(
          {2 * pi * std::cos(angle) / period, 2 * pi * std::sin(angle) / period});
    }
    for (unsigned p = 0; p < phases; ++p) {
      const double phi = 2 * pi * p / phases + (equalStepsOnBins ? 0.2 : 0.27 * p * p + 0.1 * a);
      h.harmonics.coefficients.push_back(
          {std::polar(0.45 - 0.05 * a, phi), std::polar(threeBeam ? 0.2 : 0.0, 2 * phi + 0.5 * a)});
    }
  }
  const size_t n = size_t{W} * H;
  for (unsigned f = 0; f < h.problem.F; ++f) {
    const KorvexHarmonics::Orientation& o = h.harmonics.orientations[f / phases];
    const auto& c = h.harmonics.coefficients[f];
    for (unsigned col = 0; col < W; ++col) {
      for (unsigned row = 0; row < H; ++row) {
        const std::complex<double> e = std::polar(1.0, o.kx * col + o.ky * row);
        h.problem.masks[f * n + size_t{col} * H + row] =
            1.0 + 2.0 * (c[0] * e + c[1] * e * e).real();
      }
    }
  }
  h.transfer = Uneven_Gaussian(W, H, 0.08);
  return h;
}

// The same problem seen through a G narrower than the grid: G E falls below rounding well inside
// it, so that b's transforms prune to G's band and the b-gradient gathers from a corner box.
HazeProblem Narrow(HazeProblem h) {
  h.transfer = Uneven_Gaussian(h.problem.W, h.problem.H, 0.03);
  return h;
}

// The even part of a centred, column-major W x H array, row-major with zero at the origin.
std::vector<double> Even_Origin_Rows(const std::vector<double>& centred, unsigned W, unsigned H) {
  const std::vector<double> rows = Centre_To_Origin(To_Rows(centred.data(), W, H), W, H);
  std::vector<double> even(rows.size());
  for (unsigned row = 0; row < H; ++row) {
    for (unsigned col = 0; col < W; ++col) {
      even[size_t{row} * W + col] =
          0.5 * (rows[size_t{row} * W + col] + rows[size_t{(H - row) % H} * W + (W - col) % W]);
    }
  }
  return even;
}

// The gradient of 1/2 sum_j |H(m_j x) + G b - d_j|^2 + sparsity sum_i (w_i x_i + F G(0) b_i)
// in (x, b), frame by frame, at the row-major pair `point` (x, then b); b's projected onto what
// b >= 0 lets move.
std::vector<double> Frame_By_Frame_Gradient(const HazeProblem& h, const std::vector<double>& point,
                                            bool frameData, double sparsity) {
  const Problem& p = h.problem;
  const unsigned W = p.W, H = p.H;
  const size_t n = size_t{W} * H;
  const std::vector<double> otf = Even_Origin_Rows(p.otf, W, H);
  const std::vector<double> g = Even_Origin_Rows(h.transfer, W, H);
  const std::vector<double> x(point.begin(), point.begin() + n), b(point.begin() + n, point.end());
  const std::vector<double> haze = Blur(b, g, W, H);
  std::vector<double> gradient(2 * n, 0.0), residualSum(n, 0.0);
  for (unsigned f = 0; f < p.F; ++f) {
    const std::vector<double> mask = To_Rows(p.masks.data() + f * n, W, H);
    const std::vector<double> frame = To_Rows(p.image.data() + f * n, W, H);
    std::vector<double> lit(n);
    for (size_t i = 0; i < n; ++i) lit[i] = mask[i] * x[i];
    std::vector<double> residual = Blur(lit, otf, W, H);
    for (size_t i = 0; i < n; ++i) {
      residual[i] += haze[i] - (frameData ? frame[i] : mask[i] * frame[i]);
      residualSum[i] += residual[i];
    }
    const std::vector<double> back = Blur(residual, otf, W, H);
    for (size_t i = 0; i < n; ++i) gradient[i] += mask[i] * (back[i] + sparsity);
  }
  const std::vector<double> hazeGradient = Blur(residualSum, g, W, H);
  for (size_t i = 0; i < n; ++i) {
    const double v = hazeGradient[i] + sparsity * p.F * g[0];
    gradient[n + i] = b[i] <= 0.0 && v > 0.0 ? 0.0 : v;
  }
  return gradient;
}

template <typename T>
std::vector<double> Device_Image(const T* device, size_t n) {
  std::vector<T> host(n);
  EXPECT_EQ(cudaMemcpy(host.data(), device, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
  return To_Double(host);
}

template <typename T>
std::vector<double> Device_Pair(const T* device, size_t n) {
  std::vector<T> host(2 * n);
  EXPECT_EQ(cudaMemcpy(host.data(), device, host.size() * sizeof(T), cudaMemcpyDeviceToHost),
            cudaSuccess);
  return To_Double(host);
}

// After `iterations` (lambda 0) d_grad holds the gradient at the pair in d_estimatePrev: the
// engine's gradient against the frame-by-frame one at the engine's own point.
template <typename T>
void Expect_Joint_Gradient(const HazeProblem& h, bool frameData, unsigned iterations,
                           double tolerance) {
  const Problem& p = h.problem;
  const size_t n = size_t{p.W} * p.H;
  KorvexOptions options;
  options.frameData = frameData;
  // A negative weight (which the pipeline never passes) pulls b up from its start at zero at
  // once, so that the gradient is compared where b is partly positive and partly held at 0.
  options.sparsity = -0.5;
  options.outOfFocus = h.transfer;
  HostArrays<T> arrays(p);
  Korvex<T> engine(p.W, p.H, p.F, iterations, true, true);
  engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), h.harmonics, arrays.output.data(),
                        T(0), T(0), T(0.05), options);
  ASSERT_EQ(engine.m_iteration, iterations - 1);
  const std::vector<double> point = Device_Pair(engine.d_estimatePrev, n);
  size_t hazePixels = 0;
  for (size_t i = n; i < 2 * n; ++i) hazePixels += point[i] > 0.0;
  ASSERT_GT(hazePixels, n / 10) << "the haze must be under way for its terms to count";
  const std::vector<double> expected =
      Frame_By_Frame_Gradient(h, point, frameData, options.sparsity);
  const std::vector<double> actual = Device_Pair(engine.d_grad, n);
  EXPECT_LT(Relative_Difference(actual, expected), tolerance) << "frameData " << frameData;
  // Each half on its own scale: the haze's gradient is far smaller than the specimen's.
  const auto half = [n](const std::vector<double>& v, bool second) {
    return std::vector<double>(v.begin() + (second ? n : 0), v.begin() + (second ? 2 * n : n));
  };
  EXPECT_LT(Relative_Difference(half(actual, true), half(expected, true)), tolerance)
      << "frameData " << frameData;
}

TEST(OutOfFocusGradientTest, MatchesTheFrameByFrameGradientOnOddNonSquareGrids) {
  for (const HazeProblem& h : {Make_Problem(23, 18, 3, false), Make_Problem(20, 27, 5, true)}) {
    for (bool frameData : {true, false}) {
      Expect_Joint_Gradient<double>(h, frameData, 6, 1e-10);
      Expect_Joint_Gradient<float>(h, frameData, 6, 1e-4);
    }
  }
  // Through a G narrower than the grid (b's own band, the b-gradient's corner box), in double,
  // where rounding stays far below what a frequency left out would cost.
  for (bool frameData : {true, false}) {
    Expect_Joint_Gradient<double>(Narrow(Make_Problem(41, 36, 3, true)), frameData, 6, 1e-10);
  }
}

// The harmonics with an approximation A~ = F |otf|^2 + 0.1, for preconditioned steps.
KorvexHarmonics With_Approximation(const HazeProblem& h) {
  const Problem& p = h.problem;
  KorvexHarmonics harmonics = h.harmonics;
  harmonics.approximation.resize(size_t{p.W} * p.H);
  for (size_t i = 0; i < harmonics.approximation.size(); ++i) {
    harmonics.approximation[i] = p.F * p.otf[i] * p.otf[i] + 0.1;
  }
  return harmonics;
}

// Preconditioned steps with the haze, on the frames; a negative sparsity pulls b up at once,
// as in Expect_Joint_Gradient.
KorvexOptions Preconditioned_Haze_Options(const HazeProblem& h) {
  KorvexOptions options;
  options.frameData = true;
  options.sparsity = -0.5;
  options.outOfFocus = h.transfer;
  options.preconditioned = true;
  return options;
}

// A multiplier stands for equal phase steps, where w = F: with wave vectors on whole bins it is
// exact, and the haze's terms then follow the same iterates as with the harmonic form, with
// plain steps on the pair and with preconditioned ones that b follows.
TEST(OutOfFocusGradientTest, AMultiplierGivesTheSameIteratesForEqualStepsOnWholeBins) {
  const HazeProblem h = Make_Problem(19, 20, 5, true, true);
  const Problem& p = h.problem;
  const size_t n = size_t{p.W} * p.H;
  for (const bool preconditioned : {false, true}) {
    SCOPED_TRACE(preconditioned ? "preconditioned" : "plain steps");
    KorvexHarmonics harmonics = With_Approximation(h);
    const KorvexOptions options = [&] {
      KorvexOptions o = Preconditioned_Haze_Options(h);
      o.preconditioned = preconditioned;
      o.nonNegative = true;  // so that the direction starts from the gradient's free part
      return o;
    }();
    std::vector<double> gradients[2], haze[2];
    for (int form = 0; form < 2; ++form) {
      if (form == 1) {
        harmonics.multiplier = korvex::acquisition::Harmonic_Multiplier(harmonics, p.otf, p.H, p.W);
      }
      HostArrays<double> arrays(p);
      Korvex<double> engine(p.W, p.H, p.F, 6, true, true);
      engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), harmonics,
                            arrays.output.data(), 0.0, 0.0, 0.05, options);
      gradients[form] = Device_Pair(engine.d_grad, n);
      haze[form].resize(n);
      engine.Out_Of_Focus(haze[form].data());
    }
    EXPECT_LT(Relative_Difference(gradients[1], gradients[0]), 1e-9);
    EXPECT_LT(Relative_Difference(haze[1], haze[0]), 1e-9);
  }
}

TEST(OutOfFocusEngineTest, RefusesWhatItCannotModel) {
  const HazeProblem h = Make_Problem(16, 12, 3, false);
  const Problem& p = h.problem;
  HostArrays<double> arrays(p);
  KorvexOptions options;
  options.outOfFocus = h.transfer;
  const auto run = [&](Korvex<double>& engine, const KorvexOptions& given) {
    return Message_Of([&] {
      engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), h.harmonics,
                            arrays.output.data(), 0.0, 0.0, 0.1, given);
    });
  };
  Korvex<double> plain(p.W, p.H, p.F, 3, true);
  EXPECT_FALSE(plain.Holds_Out_Of_Focus());
  EXPECT_EQ(run(plain, options),
            "KorvexCUDA Error: the out-of-focus model needs an engine built for it!\n");
  EXPECT_EQ(Message_Of([&] { plain.Out_Of_Focus(nullptr); }),
            "KorvexCUDA Error: the last reconstruction had no out-of-focus model!\n");
  Korvex<double> engine(p.W, p.H, p.F, 3, true, true);
  KorvexOptions wrong = options;
  wrong.outOfFocus.pop_back();
  EXPECT_EQ(run(engine, wrong),
            "KorvexCUDA Error: the out-of-focus transfer must hold 192 values (got 191)!\n");
  wrong = options;
  wrong.outOfFocus[7] = NAN;
  EXPECT_EQ(run(engine, wrong), "KorvexCUDA Error: the out-of-focus transfer holds NaN or Inf!\n");
  wrong = options;
  wrong.outOfFocusCost = 1.5;
  EXPECT_EQ(run(engine, wrong),
            "KorvexCUDA Error: outOfFocusCost must lie in [0, 1], got 1.500000!\n");
  Korvex<double> frames(p.W, p.H, p.F, 3);
  EXPECT_EQ(Message_Of([&] {
              frames.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                                    arrays.output.data(), 0.0, 0.0, 0.1, options);
            }),
            "KorvexCUDA Error: the out-of-focus model needs masks given by their harmonics!\n");
  EXPECT_EQ(Message_Of([&] { Korvex<double>(p.W, p.H, p.F, 3, false, true); }),
            "KorvexCUDA Error: the out-of-focus model needs an engine built for harmonics!\n");
  // The engine built for the haze still runs without it, and then reports none.
  EXPECT_EQ(run(engine, KorvexOptions{}), "<no exception>");
  EXPECT_EQ(Message_Of([&] { engine.Out_Of_Focus(nullptr); }),
            "KorvexCUDA Error: the last reconstruction had no out-of-focus model!\n");
  EXPECT_EQ(run(engine, options), "<no exception>");
  std::vector<double> haze(size_t{p.W} * p.H, -1.0);
  const double share = engine.Out_Of_Focus(haze.data());
  EXPECT_GE(share, 0.0);
  EXPECT_LT(share, 1.0);
  for (double v : haze) EXPECT_GT(v, -1e-9);
}

// b's samples on a Wb x Hb grid (row-major) as the image on the W x H grid that holds the
// same frequencies up to that grid's Nyquist and no others: a plain discrete Fourier sum.
std::vector<double> Interpolate(const std::vector<double>& b, unsigned Wb, unsigned Hb,
                                unsigned W, unsigned H) {
  std::vector<std::complex<double>> coarse(b.begin(), b.end());
  Dft2(coarse, Wb, Hb, -1);
  // Each frequency to its place on x's grid: index k of n stands for k, or k - n above n / 2.
  const auto place = [](unsigned k, unsigned n, unsigned fine) {
    return k <= n / 2 ? k : fine - (n - k);
  };
  std::vector<std::complex<double>> spectrum(size_t{W} * H, 0.0);
  for (unsigned v = 0; v < Hb; ++v) {
    for (unsigned u = 0; u < Wb; ++u) {
      spectrum[size_t{place(v, Hb, H)} * W + place(u, Wb, W)] = coarse[size_t{v} * Wb + u];
    }
  }
  Dft2(spectrum, W, H, +1);
  std::vector<double> fine(size_t{W} * H);
  for (size_t i = 0; i < fine.size(); ++i) fine[i] = spectrum[i].real() / (double(Wb) * Hb);
  return fine;
}

// With preconditioned steps b follows x: after the run d_grad holds x's gradient at x's last
// point (the estimate less the last move, which d_estimatePrev keeps) and the haze b has moved
// to since, its own part zeroed (b takes no step), and b stays non-negative. Where b lives on a
// grid of its own (`coarse`), the frame-by-frame gradient takes it on x's grid.
void Expect_Gradient_At_The_Haze_That_Follows_X(const HazeProblem& h, bool coarse) {
  const Problem& p = h.problem;
  const size_t n = size_t{p.W} * p.H;
  const KorvexHarmonics harmonics = With_Approximation(h);
  KorvexOptions options = Preconditioned_Haze_Options(h);
  HostArrays<double> arrays(p);
  Korvex<double> engine(p.W, p.H, p.F, 6, true, true);
  engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), harmonics, arrays.output.data(),
                        0.0, 0.0, 0.05, options);
  ASSERT_EQ(engine.m_iteration, 5u);
  const unsigned Wb = engine.Haze_Width(), Hb = engine.Haze_Height();
  ASSERT_EQ(coarse, 2 * Wb * Hb <= n) << Wb << " x " << Hb;
  const size_t m = size_t{Wb} * Hb;
  const std::vector<double> now = Device_Image(engine.d_estimate, n);
  const std::vector<double> move = Device_Image(engine.d_estimatePrev, n);
  const std::vector<double> b = Device_Image(engine.d_estimate + n, m);
  std::vector<double> point(2 * n);
  for (size_t i = 0; i < n; ++i) point[i] = now[i] - move[i];
  const std::vector<double> fine = coarse ? Interpolate(b, Wb, Hb, p.W, p.H) : b;
  std::copy(fine.begin(), fine.end(), point.begin() + n);
  size_t hazePixels = 0;
  for (double v : b) {
    ASSERT_GE(v, 0.0);
    hazePixels += v > 0.0;
  }
  ASSERT_GT(hazePixels, m / 10) << "the haze must be under way for its terms to count";
  const std::vector<double> expected = Frame_By_Frame_Gradient(h, point, true, options.sparsity);
  const std::vector<double> actual = Device_Image(engine.d_grad, n);
  const std::vector<double> expectedX(expected.begin(), expected.begin() + n);
  EXPECT_LT(Relative_Difference(actual, expectedX), 1e-10);
  for (double v : Device_Image(engine.d_grad + n, m)) EXPECT_EQ(v, 0.0);
}

TEST(OutOfFocusGradientTest, PreconditionedStepsTakeTheGradientAtTheHazeThatFollowsX) {
  Expect_Gradient_At_The_Haze_That_Follows_X(Make_Problem(23, 18, 3, false), false);
  // G narrow enough for b's own grid, on both axes.
  Expect_Gradient_At_The_Haze_That_Follows_X(Narrow(Make_Problem(41, 36, 3, true)), true);
}

// b's grid holds G's band below its Nyquist frequency on an even size of small primes, and is
// x's own where it would not be smaller.
TEST(OutOfFocusEngineTest, BsGridHoldsGsBandOnAFastSize) {
  EXPECT_EQ(Korvex<float>::Haze_Grid_Side(31, 192), 64u);
  EXPECT_EQ(Korvex<float>::Haze_Grid_Side(40, 512), 84u);   // 82 = 2 x 41 is passed over
  EXPECT_EQ(Korvex<float>::Haze_Grid_Side(7, 41), 16u);
  EXPECT_EQ(Korvex<float>::Haze_Grid_Side(20, 41), 41u);
}

// A reused engine keeps nothing of its last call's haze: after a call on other frames it
// returns, bit for bit, the image, the haze and the share of an engine that is new.
TEST(OutOfFocusEngineTest, AReusedEngineGivesWhatANewOneGives) {
  const HazeProblem h = Narrow(Make_Problem(41, 36, 3, true));
  const Problem& p = h.problem;
  const size_t n = size_t{p.W} * p.H;
  const KorvexHarmonics harmonics = With_Approximation(h);
  const KorvexOptions options = Preconditioned_Haze_Options(h);
  HostArrays<double> first(p);
  for (double& v : first.image) v = 3.0 * v + 1.0;
  HostArrays<double> second(p);
  struct Result {
    std::vector<double> image, haze;
    double share;
  };
  const auto run = [&](Korvex<double>& engine, HostArrays<double>& arrays) {
    engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), harmonics,
                          arrays.output.data(), 0.0, 0.0, 0.05, options);
    Result r{To_Double(arrays.output), std::vector<double>(n), 0.0};
    r.share = engine.Out_Of_Focus(r.haze.data());
    return r;
  };
  Korvex<double> reused(p.W, p.H, p.F, 6, true, true);
  const Result before = run(reused, first);
  const Result again = run(reused, second);
  Korvex<double> fresh(p.W, p.H, p.F, 6, true, true);
  const Result expected = run(fresh, second);
  ASSERT_GT(expected.share, 0.0);
  EXPECT_NE(before.image, expected.image);
  EXPECT_EQ(again.image, expected.image);
  EXPECT_EQ(again.haze, expected.haze);
  EXPECT_EQ(again.share, expected.share);
}

// A penalty that holds every pixel of b0 at 0 is a start that found no haze: the call then runs
// as one without the model would, to the last bit, from either start, and reports no haze.
TEST(OutOfFocusEngineTest, AStartThatFindsNoHazeRunsAsWithoutTheModel) {
  const HazeProblem h = Narrow(Make_Problem(41, 36, 3, true));
  const Problem& p = h.problem;
  const size_t n = size_t{p.W} * p.H;
  const KorvexHarmonics harmonics = With_Approximation(h);
  for (const bool fourierStart : {false, true}) {
    SCOPED_TRACE(fourierStart ? "Fourier start" : "widefield start");
    KorvexOptions options = Preconditioned_Haze_Options(h);
    options.sparsity = 50.0;
    options.fourierStart = fourierStart;
    Korvex<double> engine(p.W, p.H, p.F, 6, true, true);
    HostArrays<double> with(p);
    engine.Mapsim_Compute(with.image.data(), with.otf.data(), harmonics, with.output.data(), 0.0,
                          0.0, 0.05, options);
    std::vector<double> haze(n, 1.0);
    EXPECT_EQ(engine.Out_Of_Focus(haze.data()), 0.0);
    EXPECT_EQ(haze, std::vector<double>(n, 0.0));
    options.outOfFocus.clear();
    HostArrays<double> without(p);
    engine.Mapsim_Compute(without.image.data(), without.otf.data(), harmonics,
                          without.output.data(), 0.0, 0.0, 0.05, options);
    EXPECT_EQ(with.output, without.output);
    EXPECT_THROW(engine.Out_Of_Focus(nullptr), std::runtime_error);
  }
}

// With preconditioned steps the iteration keeps only the changes the step size needs, the
// haze's share of the gradient included: after one more iteration, the move, the gradient's
// change and the direction's change are the differences between the two runs' last estimate,
// gradient and direction.
TEST(OutOfFocusGradientTest, PreconditionedStepsKeepTheChangesWithTheHazesShare) {
  const HazeProblem h = Make_Problem(23, 18, 3, false);
  const Problem& p = h.problem;
  const size_t n = size_t{p.W} * p.H;
  const KorvexHarmonics harmonics = With_Approximation(h);
  KorvexOptions options = Preconditioned_Haze_Options(h);
  for (const bool nonNegative : {false, true}) {
    SCOPED_TRACE(nonNegative ? "non-negative" : "unconstrained");
    options.nonNegative = nonNegative;
    struct Last {
      std::vector<double> estimate, gradient, direction, move, gradientChange, directionChange;
    };
    const auto run = [&](unsigned iterations) {
      HostArrays<double> arrays(p);
      Korvex<double> engine(p.W, p.H, p.F, iterations, true, true);
      engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), harmonics,
                            arrays.output.data(), 0.0, 0.0, 0.05, options);
      EXPECT_EQ(engine.m_iteration, iterations - 1);
      return Last{Device_Image(engine.d_estimate, n),     Device_Image(engine.d_grad, n),
                  Device_Image(engine.d_dataGrad, n),     Device_Image(engine.d_estimatePrev, n),
                  Device_Image(engine.d_gradPrev, n),     Device_Image(engine.d_directionPrev, n)};
    };
    const Last before = run(5);
    const Last after = run(6);
    const auto difference = [n](const std::vector<double>& a, const std::vector<double>& b) {
      std::vector<double> d(n);
      for (size_t i = 0; i < n; ++i) d[i] = a[i] - b[i];
      return d;
    };
    EXPECT_LT(Relative_Difference(after.move, difference(after.estimate, before.estimate)),
              1e-12);
    EXPECT_LT(Relative_Difference(after.gradientChange, difference(after.gradient, before.gradient)),
              1e-12);
    EXPECT_LT(Relative_Difference(after.directionChange,
                                  difference(after.direction, before.direction)),
              1e-12);
  }
}

}  // namespace
