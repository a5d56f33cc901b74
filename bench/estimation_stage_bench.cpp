// korvex_estimation_stage_bench: the acquisition pipeline's pattern estimation stage beside
// the estimator called directly, on one 512 x 512 x 9 single-precision stack with the
// optics of bench/octave/acquisition_figures.m (NA 1.2, 520 nm, 100 nm camera pixels: the
// cut-off lies at 0.46 cycles per pixel, against the estimator bench's 0.25).
//
// Usage: korvex_estimation_stage_bench [pipeline | direct | both] [repeats] [cutoff] [phases]
//   pipeline: AcquisitionPipeline<float> with upsample 1 and 0 iterations (the stages after
//             estimation stay cheap); prints its estimation stage time.
//   direct:   PatternEstimator::Estimate on the same frames and the same camera-grid OTF.
//   cutoff:   cycles per pixel of the simulated optics (default the pipeline's 0.4615).
//   phases:   per orientation (default 3); 5 or more simulate 3-beam illumination, whose
//             second harmonic (depth 0.5) the estimator then measures too.
// Each prints the median wall and processor time of `repeats` calls after a first one that
// builds the plans, and the estimate's errors against the truth. Under callgrind
// (--instr-atstart=no) only the timed calls are measured, not the simulation or the first.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <valgrind/callgrind.h>

#include "acquisition_pipeline.h"
#include "optical_transfer.h"
#include "pattern_estimate.h"
#include "pattern_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace acq = korvex::acquisition;
namespace pat = korvex::patterns;

struct Times {
  std::vector<double> wall, cpu;
  void Print(const char* what) {
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%s: %.4f s wall, %.4f s processor (median of %zu)\n", what, wall[wall.size() / 2],
                cpu[cpu.size() / 2], wall.size());
  }
};

void Report(const korvex_test::PatternTruth& truth, const pat::PatternEstimate& estimate,
            unsigned h, unsigned w) {
  const auto e = korvex_test::Compare(truth, estimate, h, w);
  std::printf("  errors: wave vector %.4f px, phase %.3f deg, depth %.4f\n", e.waveVector, e.phase,
              e.modulation);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "both";
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const double na = 1.2, wavelength = 0.52, pixel = 0.1;
  const double cutoff = argc > 3 ? std::atof(argv[3]) : 2.0 * na / wavelength * pixel;
  const unsigned phases = argc > 4 ? static_cast<unsigned>(std::max(3, std::atoi(argv[4]))) : 3;
  const unsigned h = 512, w = 512, count = 3 * phases;
  auto truth = korvex_test::Random_Truth(3, phases, 1.0 / (0.85 * cutoff), 0.3, 0.1, 8);
  if (phases >= 5) {
    truth.modulations2.assign(3, 0.5);
    truth.phases2.assign(3, 0.7);
  }
  const auto stack = korvex_test::Simulate_Stack(h, w, cutoff, truth, 1000, 10.0, 8);
  const std::vector<float> frames(stack.frames.begin(), stack.frames.end());
  std::printf("512x512x%u single, cut-off %.4f cycles/pixel\n", count, cutoff);

  if (mode == "pipeline" || mode == "both") {
    acq::AcquisitionPipeline<float> pipeline;
    acq::AcquisitionOptions options;
    // The optics whose cut-off is `cutoff` at 100 nm pixels.
    options.optics.na = cutoff * wavelength / (2.0 * pixel);
    options.optics.wavelength = wavelength;
    options.optics.pixelSize = pixel;
    options.phases = phases;
    options.upsample = 1;
    options.iterations = 0;
    Times t;
    acq::AcquisitionResult<float> r;
    for (int i = 0; i <= repeats; ++i) {
      if (i == 1) CALLGRIND_START_INSTRUMENTATION;
      const std::clock_t c = std::clock();
      r = pipeline.Reconstruct(frames.data(), h, w, count, options);
      const double cpu = static_cast<double>(std::clock() - c) / CLOCKS_PER_SEC;
      if (i == 0) continue;
      t.wall.push_back(r.seconds.estimation);
      t.cpu.push_back(cpu * r.seconds.estimation / std::max(r.seconds.total, 1e-12));
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    t.Print("pipeline estimation stage (processor time prorated from the call)");
    Report(truth, r.pattern, h, w);
  }
  if (mode == "direct" || mode == "both") {
    // The OTF the pipeline hands the estimator, converted to the frames' precision.
    const std::vector<double> model = acq::Widefield_Otf(
        h, w, cutoff * wavelength / (2.0 * pixel), wavelength, pixel);
    const std::vector<float> otf(model.begin(), model.end());
    pat::PatternEstimator estimator(h, w, 3, phases);
    Times t;
    pat::PatternEstimate e;
    for (int i = 0; i <= repeats; ++i) {
      if (i == 1) CALLGRIND_START_INSTRUMENTATION;
      const auto start = Clock::now();
      const std::clock_t c = std::clock();
      e = estimator.Estimate(frames.data(), otf.data());
      const double cpu = static_cast<double>(std::clock() - c) / CLOCKS_PER_SEC;
      if (i == 0) continue;
      t.wall.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      t.cpu.push_back(cpu);
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    t.Print("estimator called directly");
    Report(truth, e, h, w);
  }
  return 0;
}
