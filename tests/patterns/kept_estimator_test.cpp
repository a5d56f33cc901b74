// A kept estimator: its orientations, frames and loops run in parallel in fixed pieces, so
// whatever the threads an estimate is the same to the last bit; and what it keeps between
// calls (the OTF's model) follows the caller's OTF.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#if defined(_OPENMP)
#include <omp.h>
#endif

#include "pattern_estimate.h"
#include "pattern_sim.h"

namespace {

using korvex::patterns::PatternEstimate;
using korvex::patterns::PatternEstimator;
using korvex::patterns::PatternGuess;

void Expect_Same(const PatternEstimate& a, const PatternEstimate& b, const std::string& label) {
  ASSERT_EQ(a.orientations.size(), b.orientations.size()) << label;
  for (size_t k = 0; k < a.orientations.size(); ++k) {
    const auto& x = a.orientations[k];
    const auto& y = b.orientations[k];
    EXPECT_EQ(x.angle, y.angle) << label << ", orientation " << k;
    EXPECT_EQ(x.period, y.period) << label << ", orientation " << k;
    EXPECT_EQ(x.modulation, y.modulation) << label << ", orientation " << k;
    EXPECT_EQ(x.mcnr, y.mcnr) << label << ", orientation " << k;
    EXPECT_EQ(x.modulation2, y.modulation2) << label << ", orientation " << k;
    EXPECT_EQ(x.phase2, y.phase2) << label << ", orientation " << k;
    EXPECT_EQ(x.guided, y.guided) << label << ", orientation " << k;
  }
  EXPECT_EQ(a.phases, b.phases) << label;
}

// Three orientations on 1 to 4 threads: one after another, two side by side and the third
// alone, all side by side, more threads than orientations. 3-beam, so that the second
// harmonic runs too, and 2-beam with a weak orientation sought beside the others.
TEST(EstimatorThreads, TheEstimateDoesNotDependOnTheThreads) {
#if !defined(_OPENMP)
  GTEST_SKIP() << "the thread count is set through OpenMP";
#else
  const int saved = omp_get_max_threads();
  struct Case {
    unsigned phases;
    bool threeBeam;
    double photons;
  };
  for (const Case c : {Case{5, true, 500}, Case{3, false, 40}}) {
    auto truth = korvex_test::Random_Truth(3, c.phases, 5.0, 0.4, 0.1, 17);
    if (c.threeBeam) {
      truth.modulations2.assign(3, 0.5);
      truth.phases2.assign(3, 1.0);
    } else {
      truth.modulations[1] = 0.15;
    }
    const auto stack = korvex_test::Simulate_Stack(96, 120, 0.25, truth, c.photons, 10.0, 17);
    PatternEstimator estimator(96, 120, 3, c.phases);
    PatternGuess guess;
    guess.orders = c.threeBeam ? 2 : 0;
    // The first call makes the transforms' plans, which every later call uses.
    omp_set_num_threads(2);
    const PatternEstimate reference =
        estimator.Estimate(stack.frames.data(), stack.otf.data(), guess);
    for (int threads : {1, 2, 3, 4}) {
      omp_set_num_threads(threads);
      Expect_Same(reference, estimator.Estimate(stack.frames.data(), stack.otf.data(), guess),
                  std::to_string(c.phases) + " phases on " + std::to_string(threads) + " threads");
    }
  }
  omp_set_num_threads(saved);
#endif
}

// An estimator handed another OTF estimates with it, as a new one would, and back again.
TEST(KeptEstimator, AnotherOtfIsTakenUp) {
  const auto truth = korvex_test::Random_Truth(3, 3, 6.0, 0.4, 0.1, 23);
  const auto stack = korvex_test::Simulate_Stack(80, 96, 0.25, truth, 1000, 10.0, 23);
  // A narrower OTF: another passband, another model of the filters.
  const std::vector<double> narrow = korvex_test::Pupil_Otf(80, 96, 0.22);
  auto fresh = [&](const std::vector<double>& otf) {
    PatternEstimator estimator(80, 96, 3, 3);
    return estimator.Estimate(stack.frames.data(), otf.data());
  };
  PatternEstimator kept(80, 96, 3, 3);
  const PatternEstimate first = kept.Estimate(stack.frames.data(), stack.otf.data());
  Expect_Same(fresh(narrow), kept.Estimate(stack.frames.data(), narrow.data()), "narrow OTF");
  Expect_Same(first, kept.Estimate(stack.frames.data(), stack.otf.data()), "the first OTF again");
  // The same values in single precision are another OTF only where they round.
  const std::vector<float> single(stack.otf.begin(), stack.otf.end());
  const std::vector<float> frames(stack.frames.begin(), stack.frames.end());
  PatternEstimator alone(80, 96, 3, 3);
  Expect_Same(alone.Estimate(frames.data(), single.data()),
              kept.Estimate(frames.data(), single.data()), "single precision");
}

}  // namespace
