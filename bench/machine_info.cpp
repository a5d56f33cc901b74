#include "machine_info.h"

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "gpu.h"

#if defined(_OPENMP)
#include <omp.h>
#endif

namespace korvex::bench {
namespace {

std::string processor_model() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown processor";
}

}  // namespace

std::string machine_description() {
  std::ostringstream text;
  text << "processor: " << processor_model() << ", " << std::thread::hardware_concurrency()
       << " logical cores\n";
#if defined(KORVEX_BACKEND_HOST)
  int threads = 1;
#if defined(_OPENMP)
  threads = omp_get_max_threads();
#endif
  text << "backend: host (FFTW transforms, kernels on a sleeping worker team), threads: " << threads
       << " (OMP_NUM_THREADS sets them)";
#else
  cudaDeviceProp prop{};
  int runtime = 0;
  int driver = 0;
  cudaRuntimeGetVersion(&runtime);
  cudaDriverGetVersion(&driver);
  if (cudaGetDeviceProperties(&prop, 0) == cudaSuccess) {
    text << "backend: cuda, GPU: " << prop.name << " (compute " << prop.major << "." << prop.minor
         << ", " << prop.multiProcessorCount << " SMs, " << (prop.totalGlobalMem >> 20) << " MiB)";
  } else {
    text << "backend: cuda, no usable GPU";
  }
  text << ", runtime " << runtime << ", driver " << driver;
#endif
  return text.str();
}

}  // namespace korvex::bench
