// korvex_bench: per-iteration time of the reconstruction beside the time of its transforms,
// and the memory a reconstruction takes. A plain program (no benchmark library) so that it
// builds wherever the engine builds, the GPU machine included.
//
//   korvex_bench [--sizes 256,512] [--frames 9] [--precision float|double|both]
//                [--iterations K] [--repeats R]
//   korvex_bench --memory SIZE [--frames 9] [--precision float|double] [--iterations K]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "iteration_timing.h"
#include "machine_info.h"
#include "memory_use.h"

namespace {

using korvex::bench::IterationFigures;
using korvex::bench::MemoryFigures;

struct Options {
  std::vector<unsigned> sizes{256, 512};
  unsigned frames = 9;
  std::string precision = "both";
  unsigned iterations = 10;
  unsigned repeats = 5;
  unsigned memorySize = 0;  // non-zero: memory mode
};

unsigned to_unsigned(const std::string& text, const std::string& option) {
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || value == 0 || value > 1u << 16) {
    throw std::invalid_argument(option + " wants a positive whole number, not '" + text + "'");
  }
  return static_cast<unsigned>(value);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(name + " wants a value");
    const std::string value = argv[++i];
    if (name == "--sizes") {
      o.sizes.clear();
      std::istringstream list(value);
      for (std::string item; std::getline(list, item, ',');)
        o.sizes.push_back(to_unsigned(item, name));
    } else if (name == "--frames") {
      o.frames = to_unsigned(value, name);
    } else if (name == "--precision") {
      if (value != "float" && value != "double" && value != "both") {
        throw std::invalid_argument("--precision is float, double or both");
      }
      o.precision = value;
    } else if (name == "--iterations") {
      o.iterations = to_unsigned(value, name);
    } else if (name == "--repeats") {
      o.repeats = to_unsigned(value, name);
    } else if (name == "--memory") {
      o.memorySize = to_unsigned(value, name);
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
  return o;
}

void print_iteration_header(const Options& o) {
  std::printf(
      "time per iteration vs the 4 x F transforms of one iteration "
      "(F = %u, %u iterations a reconstruction, median of %u)\n",
      o.frames, o.iterations, o.repeats);
  std::printf("%6s %-6s %12s %12s %8s %11s %11s %6s\n", "size", "type", "iteration ms",
              "4F FFTs ms", "ratio", "build ms", "setup ms", "iters");
}

void print_iteration(const IterationFigures& f, const char* type) {
  std::printf("%6u %-6s %12.3f %12.3f %8.3f %11.1f %11.2f %6u\n", f.size, type, f.iterationMs,
              f.fftMs, f.ratio(), f.buildMs, f.setupMs, f.iterationsRun);
  std::fflush(stdout);
}

double mib(size_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

void print_memory(const MemoryFigures& m, const char* type) {
  const size_t n = size_t{m.size} * m.size;
  std::printf("memory of one %u x %u x %u %s reconstruction (N = %zu pixels, S = %zu bytes)\n",
              m.size, m.size, m.frames, type, n, m.valueBytes);
  std::printf("  engine buffers 2S(5N+NF) %10.1f MiB\n", mib(m.budgetBytes));
  std::printf("  device memory taken      %10.1f MiB (fall of cudaMemGetInfo's free bytes)\n",
              mib(m.deviceUsedBytes));
  std::printf("  caller's arrays          %10.1f MiB (image, masks, OTF, output)\n",
              mib(m.callerBytes));
  std::printf("  program before the data  %10.1f MiB\n", mib(m.programBytes));
  std::printf("  peak resident set        %10.1f MiB%s\n", mib(m.peakBytes),
              m.peakFromReset ? "" : " (peak not reset: includes making the data)");
  const double rest = mib(m.peakBytes) - mib(m.programBytes) - mib(m.callerBytes);
  std::printf("  peak less program and caller's arrays %.1f MiB = %.3f x the engine buffers\n",
              rest, rest / mib(m.budgetBytes));
}

template <typename T>
void run_iterations(const Options& o, const char* type) {
  for (unsigned size : o.sizes) {
    print_iteration(korvex::bench::time_iterations<T>(size, o.frames, o.iterations, o.repeats),
                    type);
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options o = parse(argc, argv);
    std::printf("%s\n", korvex::bench::machine_description().c_str());
    if (o.memorySize != 0) {
      if (o.precision == "double") {
        print_memory(korvex::bench::measure_memory<double>(o.memorySize, o.frames, o.iterations),
                     "double");
      } else {
        print_memory(korvex::bench::measure_memory<float>(o.memorySize, o.frames, o.iterations),
                     "float");
      }
      return 0;
    }
    print_iteration_header(o);
    if (o.precision != "double") run_iterations<float>(o, "float");
    if (o.precision != "float") run_iterations<double>(o, "double");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvex_bench: %s\n", e.what());
    return 1;
  }
}
