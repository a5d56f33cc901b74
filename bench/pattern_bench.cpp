// korvex_pattern_bench: how close the pattern estimator lands to known patterns, and how
// long it takes. Stacks come from tests/patterns/pattern_sim (filaments and beads, Poisson
// noise); the matching run on korvex_simulate's data, with reconstructions, is
// bench/octave/pattern_estimation_bench.m.
//
// Usage: korvex_pattern_bench [repeats | time]   (repeats of the 512 x 512 x 9 timing,
// default 5; "time" runs the timing alone)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "machine_info.h"
#include "pattern_estimate.h"
#include "pattern_sim.h"

namespace {

using korvex::patterns::PatternEstimate;
using korvex::patterns::PatternEstimator;

struct Case {
  unsigned height;
  unsigned width;
  double periodOfCutoff;  // pattern frequency as a fraction of the OTF cut-off
  double photons;
  double jitterDegrees;
};

}  // namespace

int main(int argc, char** argv) {
  const bool timeOnly = argc > 1 && std::string(argv[1]) == "time";
  const int repeats = argc > 1 && !timeOnly ? std::max(1, std::atoi(argv[1])) : 5;
  const double pi = std::acos(-1.0);
  const double cutoff = 0.25;  // cycles per pixel, the demo's optics
  const Case cases[] = {
      {256, 256, 0.70, 300, 10},  {256, 256, 0.92, 3000, 10}, {256, 256, 0.80, 1000, 5},
      {512, 512, 0.70, 3000, 10}, {512, 512, 0.92, 300, 10},  {512, 512, 0.85, 1000, 0},
      {301, 437, 0.75, 300, 10},  {301, 437, 0.90, 3000, 10}, {255, 385, 0.82, 1000, 10},
  };
  std::printf("korvex_pattern_bench: %s\n", korvex::bench::machine_description().c_str());
  std::printf("%-10s %6s %7s %6s %4s | %9s %9s %9s %8s\n", "size", "k/kc", "photons", "jitter",
              "seed", "k err px", "phase deg", "depth err", "min MCNR");
  korvex_test::PatternErrors worst;
  unsigned seed = 1;
  for (const Case& c : cases) {
    if (timeOnly) break;
    for (unsigned trial = 0; trial < 3; ++trial, ++seed) {
      const double period = 1.0 / (c.periodOfCutoff * cutoff);
      const double first = pi * 0.37 * seed;  // any angle
      const auto truth =
          korvex_test::Random_Truth(3, 3, period, first, c.jitterDegrees * pi / 180.0, seed);
      const bool noiseFree = std::getenv("KORVEX_NOISE_FREE") != nullptr;
      const auto stack = korvex_test::Simulate_Stack(c.height, c.width, cutoff, truth,
                                                     noiseFree ? 0.0 : c.photons, 10.0, seed);
      PatternEstimator estimator(c.height, c.width, 3, 3);
      const PatternEstimate e = estimator.Estimate(stack.frames.data(), stack.otf.data());
      const auto err = korvex_test::Compare(truth, e, c.height, c.width);
      double mcnr = 1e300;
      for (const auto& o : e.orientations) mcnr = std::min(mcnr, o.mcnr);
      std::printf("%4ux%-5u %6.2f %7.0f %6.0f %4u | %9.4f %9.3f %9.4f %8.1f\n", c.height, c.width,
                  c.periodOfCutoff, c.photons, c.jitterDegrees, seed, err.waveVector, err.phase,
                  err.modulation, mcnr);
      worst.waveVector = std::max(worst.waveVector, err.waveVector);
      worst.phase = std::max(worst.phase, err.phase);
      worst.modulation = std::max(worst.modulation, err.modulation);
    }
  }
  std::printf("worst: wave vector %.4f px (target 0.03), phase %.3f deg (3), depth %.4f (0.05)\n",
              worst.waveVector, worst.phase, worst.modulation);

  // Time at 512 x 512 x 9, single precision input, the estimator kept (plans made once).
  const auto truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.8 * cutoff), 0.3, 0.1, 99);
  const auto stack = korvex_test::Simulate_Stack(512, 512, cutoff, truth, 1000, 10.0, 99);
  const std::vector<float> frames(stack.frames.begin(), stack.frames.end());
  const std::vector<float> otf(stack.otf.begin(), stack.otf.end());
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  PatternEstimator estimator(512, 512, 3, 3);
  estimator.Estimate(frames.data(), otf.data());
  const double first = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<double> times;
  std::vector<double> cpu;
  for (int r = 0; r < repeats; ++r) {
    const auto t = Clock::now();
    const std::clock_t c = std::clock();
    estimator.Estimate(frames.data(), otf.data());
    cpu.push_back(static_cast<double>(std::clock() - c) / CLOCKS_PER_SEC);
    times.push_back(std::chrono::duration<double>(Clock::now() - t).count());
  }
  std::sort(times.begin(), times.end());
  std::sort(cpu.begin(), cpu.end());
  // Processor time beside wall time: on a shared machine the wall time includes waiting.
  std::printf(
      "time at 512x512x9 (single): %.3f s median of %d (processor time %.3f s), "
      "%.3f s first call with set-up (target 0.3 s)\n",
      times[times.size() / 2], repeats, cpu[cpu.size() / 2], first);
  return 0;
}
