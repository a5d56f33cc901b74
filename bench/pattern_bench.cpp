// korvex_pattern_bench: how close the pattern estimator lands to known patterns, and how
// long it takes. Stacks come from tests/patterns/pattern_sim (filaments and beads, Poisson
// noise); the matching run on korvex_simulate's data, with reconstructions, is
// bench/octave/pattern_estimation_bench.m.
//
// Usage: korvex_pattern_bench [repeats | time | lowlight | 3beam | time3beam | memory [N]]
// (repeats of the 512 x 512 x 9
// timing, default 5; "time" runs the timing alone; "lowlight" the camera-like stacks alone:
// 103 nm pixels, NA 1.2, 520 nm, period at 0.85 of the cut-off, sparse and dense specimens
// drawn 4 (256^2) or 3 (512^2) times finer and binned, 100 and 1000 photons on 10 of
// background, KORVEX_LOWLIGHT_SEEDS stacks a row (default 2), with the RMS phase error of the
// orientations found; "3beam" 3-beam stacks of 5 phases and the 512 x 512 x 15 timing, "time3beam"
// the timing alone; "memory" the estimator's peak and kept resident memory at N x N x 9,
// default 2048, beside what the memory check counts for it). KORVEX_LOWLIGHT_FLOOR=1 adds to
// every low-light row the RMS phase error of its orientations found, at the origin and the
// centre, beside the Cramér–Rao floor its photons allow (bench/phase_floor.h).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "machine_info.h"
#include "memory_budget.h"
#include "memory_use.h"
#include "pattern_estimate.h"
#include "pattern_sim.h"
#include "phase_floor.h"

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

// Camera-like stacks in low light: the figures the estimator must reach there.
void Low_Light() {
  const double pi = std::acos(-1.0);
  const double cutoff = 2.0 * 1.2 / 0.520 * 0.103;  // cycles per camera pixel
  std::printf("%-8s %-6s %7s %4s | %9s %9s %9s %9s %s\n", "size", "kind", "photons", "seed",
              "k err bin", "phase deg", "at centre", "depth err", "MCNR per orientation");
  korvex_test::PatternErrors worst[2];
  const char* only = std::getenv("KORVEX_LOWLIGHT_SIZE");  // one size, for quick runs
  const char* photonsOnly = std::getenv("KORVEX_LOWLIGHT_PHOTONS");
  const char* seedCount = std::getenv("KORVEX_LOWLIGHT_SEEDS");  // more stacks per row
  const unsigned seeds = seedCount ? static_cast<unsigned>(std::max(1, std::atoi(seedCount))) : 2u;
  double sumSquares[2] = {0.0, 0.0};  // of the found orientations' phase errors, degrees
  double frameCount[2] = {0.0, 0.0};
  const bool floor = std::getenv("KORVEX_LOWLIGHT_FLOOR") != nullptr;
  double floorSquares[2] = {0.0, 0.0};  // the floors', over the same frames
  double floorCentre[2] = {0.0, 0.0};
  double uniformSquares[2] = {0.0, 0.0};
  double overlapSquares[2] = {0.0, 0.0};
  double stepSquares[2] = {0.0, 0.0};
  double overlapCentre[2] = {0.0, 0.0};
  double uniformCentre[2] = {0.0, 0.0};
  double centreSum[2] = {0.0, 0.0};     // the phase errors' at the centre
  double equalSquares[2] = {0.0, 0.0};  // the same phases held to equal steps
  // The phase error common to an orientation's frames (their mean), the one figure a tool that
  // fits one phase per orientation reports; worst over the stacks.
  double worstCommon[2] = {0.0, 0.0};
  for (unsigned size : {256u, 512u}) {
    if (only && std::atoi(only) != static_cast<int>(size)) continue;
    for (bool dense : {false, true}) {
      for (double photons : {100.0, 1000.0}) {
        if (photonsOnly && std::atof(photonsOnly) != photons) continue;
        for (unsigned seed = 1; seed <= seeds; ++seed) {
          const char* jitter = std::getenv("KORVEX_STEP_JITTER");  // radians, default 0.1
          const auto truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.85 * cutoff),
                                                       0.3 + 0.5 * seed, jitter ? std::atof(jitter) : 0.1, seed);
          korvex_test::CameraOptions camera;
          camera.factor = size == 256 ? 4 : 3;
          camera.dense = dense;
          camera.keepBackground = std::getenv("KORVEX_KEEP_BACKGROUND") != nullptr;
          const bool noiseFree = std::getenv("KORVEX_NOISE_FREE") != nullptr;
          const auto stack = korvex_test::Simulate_Stack(size, size, cutoff, truth,
                                                         noiseFree ? 0.0 : photons, 10.0, seed, camera);
          PatternEstimator estimator(size, size, 3, 3);
          const std::vector<float> frames(stack.frames.begin(), stack.frames.end());
          const std::vector<float> otf(stack.otf.begin(), stack.otf.end());
          const PatternEstimate e = estimator.Estimate(frames.data(), otf.data());
          const auto err = korvex_test::Compare(truth, e, size, size);
          std::printf("%4ux%-4u %-6s %7.0f %4u | %9.4f %9.3f %9.3f %9.4f", size, size,
                      dense ? "dense" : "sparse", photons, seed, err.waveVector, err.phase,
                      err.phaseCentre, err.modulation);
          for (const auto& o : e.orientations) {
            std::printf(" %6.1f%s", o.mcnr, o.lowModulation ? "!" : "");
          }
          const int row = photons > 500 ? 1 : 0;
          double stackSquares = 0.0, centreSquares = 0.0, stackFrames = 0.0, kSquares = 0.0;
          double common = 0.0;  // the largest phase error common to an orientation's frames
          for (unsigned a = 0; a < 3; ++a) {  // the orientations found (not lowModulation)
            if (e.orientations[a].lowModulation) continue;
            const double sign = std::fmod(truth.angles[a], 2 * pi) >= pi ? -1.0 : 1.0;
            // The wave vector's error, in cycles per pixel, carries the phase to the centre.
            const double dx = sign * std::cos(truth.angles[a]) / truth.periods[a] -
                              std::cos(e.orientations[a].angle) / e.orientations[a].period;
            const double dy = sign * std::sin(truth.angles[a]) / truth.periods[a] -
                              std::sin(e.orientations[a].angle) / e.orientations[a].period;
            kSquares += (dx * dx + dy * dy) * size * size;
            // The same frames' phases held to equal steps: the line through them.
            const double step = std::remainder(e.phases[3 * a + 1] - e.phases[3 * a], 2 * pi) > 0
                                    ? 2 * pi / 3 : -2 * pi / 3;
            std::complex<double> offset;
            for (unsigned p = 0; p < 3; ++p) offset += std::polar(1.0, e.phases[3 * a + p] - step * p);
            std::complex<double> shared;
            for (unsigned f = 3 * a; f < 3 * a + 3; ++f) {
              shared += std::polar(1.0, sign * truth.phases[f] - e.phases[f]);
            }
            common = std::max(common, std::fabs(std::arg(shared)) * 180 / pi);
            for (unsigned f = 3 * a; f < 3 * a + 3; ++f) {
              const double q = std::remainder(
                  sign * truth.phases[f] - std::arg(offset) - step * (f - 3 * a), 2 * pi);
              equalSquares[row] += q * q * (180 / pi) * (180 / pi);
              const double d = std::remainder(sign * truth.phases[f] - e.phases[f], 2 * pi);
              const double c = std::remainder(
                  d + 2 * pi * (dx * 0.5 * (size - 1.0) + dy * 0.5 * (size - 1.0)), 2 * pi);
              stackSquares += d * d * (180 / pi) * (180 / pi);
              centreSquares += c * c * (180 / pi) * (180 / pi);
              stackFrames += 1.0;
            }
          }
          std::printf("  | common %.2f deg", common);
          worstCommon[row] = std::max(worstCommon[row], common);
          sumSquares[row] += stackSquares;
          centreSum[row] += centreSquares;
          frameCount[row] += stackFrames;
          if (floor && stackFrames > 0.0) {
            const auto bound = korvex_bench::Phase_Floor(size, size, cutoff, truth, photons, 10.0,
                                                         seed, camera);
            std::printf("  | RMS %.2f (%.2f) deg, %.4f bins; floor %.2f (%.2f) deg, %.4f bins, "
                        "uniform %.2f (%.2f), overlap %.2f (%.2f) deg, %.4f bins, uniform %.2f (%.2f); "
                        "scoring step from the truth %.2f deg",
                        std::sqrt(stackSquares / stackFrames), std::sqrt(centreSquares / stackFrames),
                        std::sqrt(3.0 * kSquares / stackFrames), bound.known.phase,
                        bound.known.phaseCentre, bound.known.waveVector, bound.uniform.phase,
                        bound.uniform.phaseCentre, bound.overlap.phase, bound.overlap.phaseCentre,
                        bound.overlap.waveVector, bound.overlapUniform.phase,
                        bound.overlapUniform.phaseCentre, bound.step);
            stepSquares[row] += bound.step * bound.step * stackFrames;
            overlapSquares[row] += bound.overlap.phase * bound.overlap.phase * stackFrames;
            overlapCentre[row] += bound.overlap.phaseCentre * bound.overlap.phaseCentre * stackFrames;
            floorSquares[row] += bound.known.phase * bound.known.phase * stackFrames;
            floorCentre[row] += bound.known.phaseCentre * bound.known.phaseCentre * stackFrames;
            uniformSquares[row] += bound.uniform.phase * bound.uniform.phase * stackFrames;
            uniformCentre[row] += bound.uniform.phaseCentre * bound.uniform.phaseCentre * stackFrames;
          }
          std::printf("\n");
          korvex_test::PatternErrors& w = worst[photons > 500 ? 1 : 0];
          w.waveVector = std::max(w.waveVector, err.waveVector);
          w.phase = std::max(w.phase, err.phase);
          w.phaseCentre = std::max(w.phaseCentre, err.phaseCentre);
        }
      }
    }
  }
  const auto rms = [&](int k) {
    return frameCount[k] > 0 ? std::sqrt(sumSquares[k] / frameCount[k]) : 0.0;
  };
  const auto rmsCentre = [&](int k) {
    return frameCount[k] > 0 ? std::sqrt(centreSum[k] / frameCount[k]) : 0.0;
  };
  std::printf("worst at 100 photons: wave vector %.4f bins (target 0.15), phase %.2f deg (6), "
              "at the centre %.2f deg; RMS phase %.2f deg (%.2f at the centre)\n",
              worst[0].waveVector, worst[0].phase, worst[0].phaseCentre, rms(0), rmsCentre(0));
  std::printf("worst at 1000 photons: wave vector %.4f bins (target 0.03), phase %.2f deg (3), "
              "at the centre %.2f deg; RMS phase %.2f deg (%.2f at the centre)\n",
              worst[1].waveVector, worst[1].phase, worst[1].phaseCentre, rms(1), rmsCentre(1));
  std::printf("worst phase common to an orientation's frames: %.2f deg at 100 photons, %.2f deg "
              "at 1000\n", worstCommon[0], worstCommon[1]);
  for (int k = 0; k < 2; ++k) {
    if (frameCount[k] == 0.0) continue;
    std::printf("at %d photons, the phases held to equal steps: RMS %.2f deg\n", k == 0 ? 100 : 1000,
                std::sqrt(equalSquares[k] / frameCount[k]));
  }
  for (int k = 0; floor && k < 2; ++k) {
    if (frameCount[k] == 0.0) continue;
    std::printf("Cramer-Rao floors at %d photons, RMS over the same frames: specimen known "
                "%.2f deg (%.2f at the centre), pixels weighted alike %.2f deg (%.2f); "
                "from the overlap %.2f deg (%.2f); a scoring step from the truth %.2f deg\n",
                k == 0 ? 100 : 1000, std::sqrt(floorSquares[k] / frameCount[k]),
                std::sqrt(floorCentre[k] / frameCount[k]), std::sqrt(uniformSquares[k] / frameCount[k]),
                std::sqrt(uniformCentre[k] / frameCount[k]), std::sqrt(overlapSquares[k] / frameCount[k]),
                std::sqrt(overlapCentre[k] / frameCount[k]), std::sqrt(stepSquares[k] / frameCount[k]));
  }
}

// 3-beam stacks, 5 phases: the second harmonic at 0.9 of the cut-off, phase-locked.
void Three_Beam(bool timeOnly) {
  const double pi = std::acos(-1.0);
  const double cutoff = 2.0 * 1.2 / 0.520 * 0.103;
  std::printf("%-8s %7s %4s | %9s %9s %9s %9s %9s %s\n", "size", "photons", "seed", "k err bin",
              "phase deg", "depth err", "m2 err", "psi deg", "MCNR2 per orientation");
  for (unsigned size : {256u, 512u}) {
    if (timeOnly) break;
    for (double photons : {100.0, 1000.0}) {
      for (unsigned seed = 1; seed <= 2; ++seed) {
        auto truth = korvex_test::Random_Truth(3, 5, 1.0 / (0.45 * cutoff), 0.2 + 0.7 * seed,
                                               0.1, seed);
        for (unsigned a = 0; a < 3; ++a) {
          truth.modulations2.push_back(0.6 * truth.modulations[a]);
          truth.phases2.push_back(std::fmod(1.7 * (a + seed), 2 * pi));
        }
        korvex_test::CameraOptions camera;
        camera.factor = size == 256 ? 4 : 3;
        const auto stack =
            korvex_test::Simulate_Stack(size, size, cutoff, truth, photons, 10.0, seed, camera);
        const std::vector<float> frames(stack.frames.begin(), stack.frames.end());
        const std::vector<float> otf(stack.otf.begin(), stack.otf.end());
        PatternEstimator estimator(size, size, 3, 5);
        const PatternEstimate e = estimator.Estimate(frames.data(), otf.data());
        const auto err = korvex_test::Compare(truth, e, size, size);
        double m2 = 0.0, psi = 0.0;
        for (unsigned a = 0; a < 3; ++a) {
          const auto& o = e.orientations[a];
          m2 = std::max(m2, std::fabs(o.modulation2 - truth.modulations2[a]));
          // The truth in [0, pi): the opposite wave vector negates psi with the phases.
          const double sign = std::fmod(truth.angles[a], 2 * pi) >= pi ? -1.0 : 1.0;
          psi = std::max(psi, std::fabs(std::remainder(sign * truth.phases2[a] - o.phase2, 2 * pi)));
        }
        std::printf("%4ux%-4u %7.0f %4u | %9.4f %9.3f %9.4f %9.4f %9.2f", size, size, photons,
                    seed, err.waveVector, err.phase, err.modulation, m2, psi * 180 / pi);
        for (const auto& o : e.orientations) std::printf(" %6.1f", o.mcnr2);
        std::printf("\n");
      }
    }
  }
  // Time at 512 x 512 x 15, single precision, the estimator kept.
  auto truth = korvex_test::Random_Truth(3, 5, 1.0 / (0.45 * cutoff), 0.3, 0.1, 7);
  truth.modulations2.assign(3, 0.5);
  truth.phases2.assign(3, 1.0);
  const auto stack = korvex_test::Simulate_Stack(512, 512, cutoff, truth, 1000, 10.0, 7);
  const std::vector<float> frames(stack.frames.begin(), stack.frames.end());
  const std::vector<float> otf(stack.otf.begin(), stack.otf.end());
  PatternEstimator estimator(512, 512, 3, 5);
  estimator.Estimate(frames.data(), otf.data());
  std::vector<double> wall, cpu;
  for (int r = 0; r < 5; ++r) {
    const auto t = std::chrono::steady_clock::now();
    const std::clock_t c = std::clock();
    estimator.Estimate(frames.data(), otf.data());
    cpu.push_back(static_cast<double>(std::clock() - c) / CLOCKS_PER_SEC);
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("time at 512x512x15 (single): %.3f s median of 5 (processor time %.3f s), "
              "target 0.5 s\n", wall[2], cpu[2]);
}

// The estimator's resident memory at size x size x 9, single precision: its peak during a
// first and a warm estimate, and what it keeps between them, above the caller's data.
void Memory(unsigned size) {
  const double cutoff = 2.0 * 1.2 / 0.520 * 0.103;
  const auto truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.85 * cutoff), 0.3, 0.1, 3);
  std::vector<float> frames, otf;
  {
    const auto stack = korvex_test::Simulate_Stack(size, size, cutoff, truth, 1000, 10.0, 3);
    frames.assign(stack.frames.begin(), stack.frames.end());
    otf.assign(stack.otf.begin(), stack.otf.end());
  }
  korvex::acquisition::Return_Freed_Memory();
  const bool reset = korvex::bench::reset_peak();
  const double before = static_cast<double>(korvex::bench::status_bytes("VmRSS"));
  double kept = 0.0, seconds = 0.0;
  {
    PatternEstimator estimator(size, size, 3, 3);
    for (int call = 0; call < 2; ++call) {
      const auto t = std::chrono::steady_clock::now();
      estimator.Estimate(frames.data(), otf.data());
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    }
    kept = static_cast<double>(korvex::bench::status_bytes("VmRSS")) - before;
  }
  const double peak = static_cast<double>(korvex::bench::status_bytes("VmHWM")) - before;
  const double counted =
      static_cast<double>(korvex::acquisition::Estimator_Bytes(size, size, 3, 3));
  std::printf("estimator %ux%ux9 (single): peak %.0f MB%s, kept between calls %.0f MB, "
              "counted %.0f MB; warm estimate %.2f s\n",
              size, size, peak / 1e6, reset ? "" : " (peak not reset: includes the set-up)",
              kept / 1e6, counted / 1e6, seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "memory") {
    Memory(argc > 2 ? static_cast<unsigned>(std::max(16, std::atoi(argv[2]))) : 2048u);
    return 0;
  }
  if (argc > 1 && (std::string(argv[1]) == "3beam" || std::string(argv[1]) == "time3beam")) {
    std::printf("korvex_pattern_bench: %s\n", korvex::bench::machine_description().c_str());
    Three_Beam(std::string(argv[1]) == "time3beam");
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "lowlight") {
    std::printf("korvex_pattern_bench: %s\n", korvex::bench::machine_description().c_str());
    Low_Light();
    return 0;
  }
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
