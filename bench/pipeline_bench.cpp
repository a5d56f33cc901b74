// korvex_pipeline_bench: the acquisition pipeline with its defaults (2x up-sampling, 15
// preconditioned iterations, non-negative, sparsity) on one simulated camera stack of
// N x N x 9, with the optics of bench/octave/acquisition_figures.m (NA 1.2, 520 nm, 100 nm
// camera pixels). --steps plain takes the plain steps instead.
//
// Usage: korvex_pipeline_bench [--size N] [--repeats R] [--precision float|double]
//                              [--iterations K] [--steps preconditioned|plain]
//                              [--out-of-focus default|off|on|both]
//
// --out-of-focus on / off runs the pipeline with / without its out-of-focus model (default: as
// the pipeline's default for the steps; the simulated stack is thin, so the model's start finds
// no haze); both runs the warm calls with and without it in turn, in one process, and prints
// the ratio of their medians.
//
// Prints the first call of this process (what every command-line run pays: FFTW plans, the
// engine, the OTF; the plans come from FFTW's wisdom when an earlier process measured this
// geometry), the median of R warm calls with their stages, the ratio of the two, and the
// process's peak resident set with its bytes per output pixel.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "acquisition_pipeline.h"
#include "pattern_sim.h"

namespace {

namespace acq = korvex::acquisition;
using Clock = std::chrono::steady_clock;

struct Settings {
  unsigned size = 512;
  int repeats = 5;
  std::string precision = "float";
  unsigned iterations = acq::ReconstructionDefaults::kIterations;
  bool preconditioned = acq::ReconstructionDefaults::kPreconditioned;
  std::string outOfFocus = "default";
};

Settings Parse(int argc, char** argv) {
  Settings s;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--size") {
      s.size = static_cast<unsigned>(std::atoi(argv[i + 1]));
    } else if (flag == "--repeats") {
      s.repeats = std::max(1, std::atoi(argv[i + 1]));
    } else if (flag == "--precision") {
      s.precision = argv[i + 1];
    } else if (flag == "--iterations") {
      s.iterations = static_cast<unsigned>(std::atoi(argv[i + 1]));
    } else if (flag == "--steps") {
      s.preconditioned = std::string(argv[i + 1]) != "plain";
    } else if (flag == "--out-of-focus") {
      s.outOfFocus = argv[i + 1];
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      std::exit(2);
    }
  }
  if (s.size < 16 || (s.precision != "float" && s.precision != "double") ||
      (s.outOfFocus != "default" && s.outOfFocus != "off" && s.outOfFocus != "on" &&
       s.outOfFocus != "both")) {
    std::fprintf(stderr, "usage: %s [--size N>=16] [--repeats R] [--precision float|double]"
                 " [--iterations K] [--steps preconditioned|plain]"
                 " [--out-of-focus default|off|on|both]\n",
                 argv[0]);
    std::exit(2);
  }
  return s;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Warm calls without and with the out-of-focus model in turn (each pipeline warmed up by one
// call first), so that both see the same load; medians, their ratio and the share.
template <typename T>
void Compare_Out_Of_Focus(const Settings& s, const std::vector<T>& frames,
                          acq::AcquisitionOptions options) {
  const unsigned n = s.size;
  acq::AcquisitionPipeline<T> pipelines[2];
  std::vector<double> total[2], engine[2], processor[2];
  double share = 0;
  unsigned fine = 0, run[2] = {0, 0};
  for (int call = -1; call < s.repeats; ++call) {
    for (int on = 0; on < 2; ++on) {
      options.outOfFocus.enabled = on == 1;
      const Clock::time_point start = Clock::now();
      const std::clock_t cpu = std::clock();
      const acq::AcquisitionResult<T> r = pipelines[on].Reconstruct(frames.data(), n, n, 9, options);
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      fine = r.height;
      run[on] = r.iterations;
      if (on == 1) share = r.outOfFocusShare;
      if (call < 0) continue;
      total[on].push_back(seconds);
      engine[on].push_back(r.seconds.reconstruction);
      processor[on].push_back(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC);
    }
  }
  std::printf("pipeline %ux%ux9 -> %ux%u, %s, %u iterations (%u and %u run), warm medians of %d\n",
              n, n, fine, fine, s.precision.c_str(), s.iterations, run[0], run[1], s.repeats);
  std::printf("  without the out-of-focus model  total %8.3f s  engine %8.3f s  processor %8.3f s\n",
              Median(total[0]), Median(engine[0]), Median(processor[0]));
  std::printf("  with it                         total %8.3f s  engine %8.3f s  processor %8.3f s\n",
              Median(total[1]), Median(engine[1]), Median(processor[1]));
  std::printf("  with / without                  total %8.3f    engine %8.3f    processor %8.3f"
              "   (share %.3f)\n",
              Median(total[1]) / Median(total[0]), Median(engine[1]) / Median(engine[0]),
              Median(processor[1]) / Median(processor[0]), share);
}

template <typename T>
void Run(const Settings& s) {
  const double na = 1.2, wavelength = 0.52, pixel = 0.1;
  const double cutoff = 2.0 * na / wavelength * pixel;
  const unsigned n = s.size;
  const auto truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.85 * cutoff), 0.3, 0.1, 8);
  // Only the frames outlive the simulation: its double-precision stack and specimen would
  // otherwise count in the peak resident size reported for the pipeline.
  const std::vector<T> frames = [&] {
    const auto stack = korvex_test::Simulate_Stack(n, n, cutoff, truth, 1000, 10.0, 8);
    return std::vector<T>(stack.frames.begin(), stack.frames.end());
  }();

  acq::AcquisitionOptions options;
  options.optics.na = na;
  options.optics.wavelength = wavelength;
  options.optics.pixelSize = pixel;
  options.iterations = s.iterations;
  options.preconditioned = s.preconditioned;
  if (s.outOfFocus != "default") options.outOfFocus.enabled = s.outOfFocus == "on";
  if (s.outOfFocus == "both") {
    Compare_Out_Of_Focus(s, frames, options);
    return;
  }
  acq::AcquisitionPipeline<T> pipeline;
  // Wall seconds in the result, processor seconds of the whole process beside them.
  std::vector<double> processor;
  const auto call = [&] {
    const Clock::time_point start = Clock::now();
    const std::clock_t cpu = std::clock();
    acq::AcquisitionResult<T> r = pipeline.Reconstruct(frames.data(), n, n, 9, options);
    r.seconds.total = std::chrono::duration<double>(Clock::now() - start).count();
    processor.push_back(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC);
    return r;
  };
  const acq::AcquisitionResult<T> first = call();
  const double firstProcessor = processor.front();
  std::vector<acq::AcquisitionResult<T>> warm;
  for (int i = 0; i < s.repeats; ++i) warm.push_back(call());
  std::sort(warm.begin(), warm.end(),
            [](const auto& a, const auto& b) { return a.seconds.total < b.seconds.total; });
  const acq::StageTimes& m = warm[warm.size() / 2].seconds;
  std::sort(processor.begin() + 1, processor.end());
  const double warmProcessor = processor[1 + (processor.size() - 1) / 2];  // median of the warm

  std::printf("pipeline %ux%ux9 -> %ux%u, %s, %u %s iterations (%u run), "
              "out-of-focus model %s\n",
              n, n, first.height, first.width, s.precision.c_str(), s.iterations,
              s.preconditioned ? "preconditioned" : "plain", first.iterations,
              acq::Out_Of_Focus_On(options) ? "on" : "off");
  const auto stages = [](const acq::StageTimes& t) {
    std::printf("  estimation %.3f  upsampling %.3f  otf %.3f  masks %.3f  setup %.3f  engine %.3f s\n",
                t.estimation, t.upsampling, t.otf, t.masks, t.engineSetup, t.reconstruction);
  };
  std::printf("first call of this process  %8.3f s\n", first.seconds.total);
  stages(first.seconds);
  std::printf("warm call, median of %-4d   %8.3f s\n", s.repeats, m.total);
  stages(m);
  std::printf("first / warm                %8.2f  (processor time %.3f s / %.3f s: %.2f)\n",
              first.seconds.total / m.total, firstProcessor, warmProcessor,
              firstProcessor / warmProcessor);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double peak = static_cast<double>(usage.ru_maxrss) * 1024.0;
  std::printf("peak resident               %8.0f MB  (%.0f bytes per output pixel)\n", peak / 1e6,
              peak / (double(first.height) * first.width));
}

}  // namespace

int main(int argc, char** argv) {
  const Settings s = Parse(argc, argv);
  try {
    if (s.precision == "float") {
      Run<float>(s);
    } else {
      Run<double>(s);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvex_pipeline_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
