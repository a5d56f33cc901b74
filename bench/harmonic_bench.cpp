// korvex_harmonic_bench: the engine's iteration with masks as images against masks given by
// their harmonics, and the pipeline's memory (korvex_pipeline_bench times its calls).
//
// Usage: korvex_harmonic_bench engine [SIZE=512] [ITERATIONS=10] [preconditioned]
//          on the fine grid (2 SIZE), single precision, the pipeline's engine options: one
//          iteration of the folded data term with 9 mask images, of the harmonic one with
//          unequal and with equal phase steps, of the multiplier (equal steps), and of the
//          preconditioned harmonic steps (unequal steps), with and without the out-of-focus
//          model (its default Gaussian), as
//          (t(ITERATIONS) - t(0)) / ITERATIONS, median of 3, in wall and in processor time (the
//          steadier on a busy machine), and t(0), the call without iterations (folding the
//          frames, uploads, filters). `preconditioned`: those two alone, the second against
//          the first.
//        korvex_harmonic_bench schemes [SIZE=256] [equal]
//          the exact harmonic form against the multiplier (equal or unequal phase steps):
//          engine time and correlation with the simulated object.
//        korvex_harmonic_bench starts [SIZE=256] [estimated]
//          the widefield start against the Fourier start over iteration counts: correlation
//          with the simulated object, engine and multiplier seconds.
//        korvex_harmonic_bench memory [SIZE=2048] [given]
//          the peak resident set of one pipeline call (defaults, 2 iterations; with `given`
//          the simulation's pattern instead of an estimate), counted from after the camera
//          stack was made, and per output pixel.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "Korvex.h"
#include "acquisition_pipeline.h"
#include "machine_info.h"
#include "out_of_focus_transfer.h"
#include "memory_use.h"
#include "pattern_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace acq = korvex::acquisition;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

constexpr double kNa = 1.2, kWavelength = 0.52, kPixel = 0.1;

acq::AcquisitionOptions Default_Options() {
  acq::AcquisitionOptions o;
  o.optics = {kNa, kWavelength, kPixel};
  return o;
}

struct Stack {
  std::vector<float> frames;
  korvex_test::PatternTruth truth;
};

// Phase steps off equal by up to 0.3 rad unless `equalSteps`.
Stack Camera_Stack(unsigned size, bool equalSteps = false) {
  const double cutoff = 2.0 * kNa / kWavelength * kPixel;
  Stack s;
  s.truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.85 * cutoff), 0.3, equalSteps ? 0.0 : 0.3, 8);
  const auto sim = korvex_test::Simulate_Stack(size, size, cutoff, s.truth, 1000, 10.0, 8);
  s.frames.assign(sim.frames.begin(), sim.frames.end());
  return s;
}

acq::IlluminationPattern Pattern_Of(const korvex_test::PatternTruth& t) {
  return acq::Pattern_From_Rows(t.angles, t.periods, t.modulations, t.phases);
}

int Time_Engine(unsigned size, unsigned iterations, bool preconditionedOnly) {
  const unsigned fine = 2 * size;
  const acq::AcquisitionOptions options = Default_Options();
  KorvexOptions engineOptions;
  engineOptions.nonNegative = true;
  engineOptions.frameData = true;
  engineOptions.foldedData = true;
  engineOptions.sparsity = 0.25;
  std::printf(
      "engine iteration, %ux%ux9 single (the fine grid of %ux%u), the pipeline's "
      "options\n",
      fine, fine, size, size);
  std::vector<float> otf;
  {
    const std::vector<double> o = acq::Fine_Grid_Otf(options, size, size, 2);
    otf.assign(o.begin(), o.end());
  }
  std::vector<float> output(size_t{fine} * fine);
  double reference = 0, referenceCpu = 0;
  std::vector<float> exactImage;
  for (int variant = preconditionedOnly ? 4 : 0; variant < 6; ++variant) {
    const bool haze = variant == 5;
    const bool equalSteps = variant == 2 || variant == 3;
    const Stack stack = Camera_Stack(size, equalSteps);
    const acq::IlluminationPattern pattern = Pattern_Of(stack.truth);
    std::vector<float> frames(size_t{fine} * fine * 9);
    for (size_t i = 0; i < frames.size(); ++i) frames[i] = stack.frames[i % stack.frames.size()];
    std::vector<float> masks;
    if (variant == 0) {
      masks.resize(frames.size());
      acq::Build_Masks(acq::On_Finer_Grid(pattern, 2), fine, fine, masks.data());
    }
    KorvexHarmonics harmonics = acq::Fine_Grid_Harmonics(pattern, 2);
    if (variant == 3) {
      harmonics.multiplier = acq::Harmonic_Multiplier(
          harmonics, std::vector<double>(otf.begin(), otf.end()), fine, fine);
    }
    engineOptions.preconditioned = variant >= 4;
    if (haze) {
      engineOptions.outOfFocus = acq::Out_Of_Focus_Transfer(
          options, size, size, 2, std::vector<double>(otf.begin(), otf.end()));
    }
    if (variant >= 4) {
      harmonics.approximation = acq::Harmonic_Multiplier(
          harmonics, std::vector<double>(otf.begin(), otf.end()), fine, fine);
    }
    // Two engines, of 0 and of `iterations` iterations, each run once untimed.
    Korvex<float> none(fine, fine, 9, 0, variant != 0, haze);
    Korvex<float> some(fine, fine, 9, iterations, variant != 0, haze);
    // Wall and processor seconds of one call.
    const auto run = [&](Korvex<float>& engine) {
      const Clock::time_point start = Clock::now();
      const std::clock_t cpu = std::clock();
      if (variant == 0) {
        engine.Mapsim_Compute(frames.data(), otf.data(), masks.data(), output.data(), 0.0f, 0.003f,
                              0.05f, engineOptions);
      } else {
        engine.Mapsim_Compute(frames.data(), otf.data(), harmonics, output.data(), 0.0f, 0.003f,
                              0.05f, engineOptions);
      }
      return std::pair<double, double>(Seconds(start),
                                       static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC);
    };
    run(none);
    run(some);
    std::vector<double> wall, processor, setup, setupCpu;
    for (int round = 0; round < 3; ++round) {
      const auto base = run(none);
      const auto full = run(some);
      wall.push_back((full.first - base.first) / iterations);
      processor.push_back((full.second - base.second) / iterations);
      setup.push_back(base.first);
      setupCpu.push_back(base.second);
    }
    const double ms = 1e3 * Median(wall);
    const double cpuMs = 1e3 * Median(processor);
    if (variant == (preconditionedOnly ? 4 : 0)) {
      reference = ms;
      referenceCpu = cpuMs;
    }
    const char* names[] = {"folded, 9 mask images", "harmonic, unequal steps",
                           "harmonic, equal steps", "multiplier, equal steps",
                           "harmonic, preconditioned", "+ out-of-focus model"};
    // The multiplier's image against the exact form's, same data and iterations.
    if (variant == 2) exactImage = output;
    if (variant == 3) {
      double difference = 0, norm = 0;
      for (size_t i = 0; i < output.size(); ++i) {
        difference += double(output[i] - exactImage[i]) * double(output[i] - exactImage[i]);
        norm += double(exactImage[i]) * double(exactImage[i]);
      }
      std::printf(
          "  multiplier's image after %u iterations differs from the exact form's by "
          "%.2e (relative RMS)\n",
          iterations, std::sqrt(difference / norm));
    }
    std::printf("  %-26s %8.2f ms wall (%.2f x), %8.2f ms processor (%.2f x the %s)\n",
                names[variant], ms, ms / reference, cpuMs, cpuMs / referenceCpu,
                preconditionedOnly ? "preconditioned steps" : "mask images");
    std::printf("  %-26s %8.2f ms wall, %8.2f ms processor without iterations\n", "",
                1e3 * Median(setup), 1e3 * Median(setupCpu));
  }
  return 0;
}

// Pearson correlation of the fine image, averaged over 2 x 2 blocks, with the camera-grid
// object.
double Correlation(const std::vector<float>& fine, const std::vector<double>& object,
                   unsigned size) {
  const size_t n = size_t{size} * size;
  std::vector<double> coarse(n, 0.0);
  for (unsigned c = 0; c < 2 * size; ++c) {
    for (unsigned r = 0; r < 2 * size; ++r) {
      coarse[size_t{c / 2} * size + r / 2] += 0.25 * fine[size_t{c} * 2 * size + r];
    }
  }
  double ma = 0, mb = 0;
  for (size_t i = 0; i < n; ++i) {
    ma += coarse[i] / double(n);
    mb += object[i] / double(n);
  }
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < n; ++i) {
    ab += (coarse[i] - ma) * (object[i] - mb);
    aa += (coarse[i] - ma) * (coarse[i] - ma);
    bb += (object[i] - mb) * (object[i] - mb);
  }
  return ab / std::sqrt(aa * bb);
}

// The exact harmonic form against the multiplier, on one simulated stack with its true
// pattern: engine time and the correlation of each image (2 x 2 block means) with the object.
int Compare_Schemes(unsigned size, bool equalSteps) {
  const double cutoff = 2.0 * kNa / kWavelength * kPixel;
  const auto truth =
      korvex_test::Random_Truth(3, 3, 1.0 / (0.85 * cutoff), 0.3, equalSteps ? 0.0 : 0.3, 8);
  const auto sim = korvex_test::Simulate_Stack(size, size, cutoff, truth, 1000, 10.0, 8);
  const std::vector<float> frames(sim.frames.begin(), sim.frames.end());
  std::printf("schemes, %ux%ux9 single -> %ux%u, true pattern, %s phase steps, 1000 photons\n",
              size, size, 2 * size, 2 * size, equalSteps ? "equal" : "unequal");
  struct Scheme {
    const char* name;
    bool multiplier;
    unsigned iterations;
  };
  const Scheme schemes[] = {{"exact", false, 40}, {"multiplier", true, 40}, {"exact", false, 80}};
  acq::AcquisitionPipeline<float> pipeline;
  for (const Scheme& scheme : schemes) {
    acq::AcquisitionOptions options = Default_Options();
    options.pattern = Pattern_Of(truth);
    options.multiplier = scheme.multiplier;
    options.iterations = scheme.iterations;
    pipeline.Reconstruct(frames.data(), size, size, 9, options);  // plans
    const auto r = pipeline.Reconstruct(frames.data(), size, size, 9, options);
    std::printf("  %-18s %3u iterations: engine %.3f s, correlation with the object %.4f\n",
                scheme.name, scheme.iterations, r.seconds.reconstruction,
                Correlation(r.image, sim.object, size));
  }
  return 0;
}

// The widefield start against the Fourier start (the unconstrained quadratic with the
// multiplier, one division), over iteration counts, on one simulated stack with unequal phase
// steps: correlation with the object (2 x 2 block means), engine and multiplier seconds.
int Compare_Starts(unsigned size, bool estimated) {
  const double cutoff = 2.0 * kNa / kWavelength * kPixel;
  const auto truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.85 * cutoff), 0.3, 0.3, 8);
  const auto sim = korvex_test::Simulate_Stack(size, size, cutoff, truth, 1000, 10.0, 8);
  const std::vector<float> frames(sim.frames.begin(), sim.frames.end());
  std::printf("starts, %ux%ux9 single -> %ux%u, %s pattern, unequal phase steps, 1000 photons\n",
              size, size, 2 * size, 2 * size, estimated ? "estimated" : "true");
  acq::AcquisitionPipeline<float> pipeline;
  for (const bool fourier : {false, true}) {
    for (const unsigned iterations : {0u, 2u, 4u, 6u, 8u, 10u, 15u, 20u, 40u, 80u}) {
      acq::AcquisitionOptions options = Default_Options();
      if (!estimated) options.pattern = Pattern_Of(truth);
      options.fourierStart = fourier;
      options.iterations = iterations;
      pipeline.Reconstruct(frames.data(), size, size, 9, options);  // plans
      const auto r = pipeline.Reconstruct(frames.data(), size, size, 9, options);
      std::printf("  %-9s start %3u iterations (%3u run): engine %.3f s, multiplier %.3f s, "
                  "correlation %.4f\n",
                  fourier ? "Fourier" : "widefield", iterations, r.iterations,
                  r.seconds.reconstruction, r.seconds.masks, Correlation(r.image, sim.object, size));
    }
  }
  return 0;
}

int Measure_Memory(unsigned size, bool given) {
  const Stack stack = Camera_Stack(size);
  acq::AcquisitionOptions options = Default_Options();
  options.iterations = 2;
  if (given) options.pattern = Pattern_Of(stack.truth);
  const size_t before = korvex::bench::status_bytes("VmRSS");
  const bool reset = korvex::bench::reset_peak();
  acq::AcquisitionPipeline<float> pipeline;
  const auto result = pipeline.Reconstruct(stack.frames.data(), size, size, 9, options);
  const size_t peak = korvex::bench::status_bytes("VmHWM");
  const double outputPixels = double(result.height) * result.width;
  std::printf("pipeline memory, %ux%ux9 single -> %ux%u, defaults, %u iterations, %s\n", size, size,
              result.height, result.width, options.iterations,
              given ? "pattern given" : "pattern estimated");
  std::printf("  resident before the call  %8.1f MiB (program, libraries, camera stack)\n",
              double(before) / 1048576.0);
  std::printf("  peak resident set         %8.1f MiB%s = %.0f bytes per output pixel\n",
              double(peak) / 1048576.0, reset ? "" : " (peak not reset: includes the simulation)",
              double(peak) / outputPixels);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "engine";
  const auto number = [&](int i, unsigned fallback) {
    return argc > i ? static_cast<unsigned>(std::atoi(argv[i])) : fallback;
  };
  std::printf("%s\n", korvex::bench::machine_description().c_str());
  if (mode == "engine") {
    return Time_Engine(number(2, 512), number(3, 10),
                       argc > 4 && std::string(argv[4]) == "preconditioned");
  }
  if (mode == "schemes") {
    return Compare_Schemes(number(2, 256), argc > 3 && std::string(argv[3]) == "equal");
  }
  if (mode == "starts") {
    return Compare_Starts(number(2, 256), argc > 3 && std::string(argv[3]) == "estimated");
  }
  if (mode == "memory") {
    return Measure_Memory(number(2, 2048), argc > 3 && std::string(argv[3]) == "given");
  }
  std::fprintf(stderr, "usage: korvex_harmonic_bench engine|schemes|memory [SIZE] [N]\n");
  return 2;
}
