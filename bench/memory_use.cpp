// Memory figures from /proc/self/status. The peak (VmHWM) is reset once the synthetic data
// exists, so that the generator's temporaries do not count as the engine's.
#include "memory_use.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "Korvex.h"
#include "bench_data.h"

namespace korvex::bench {

size_t status_bytes(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
    std::istringstream fields(line.substr(name.size() + 1));
    size_t kilobytes = 0;
    fields >> kilobytes;
    return kilobytes * 1024;
  }
  return 0;
}

bool reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

namespace {

size_t free_device_bytes() {
  size_t free = 0;
  size_t total = 0;
  if (cudaMemGetInfo(&free, &total) != cudaSuccess) {
    throw std::runtime_error("cudaMemGetInfo failed");
  }
  return free;
}

}  // namespace

template <typename T>
MemoryFigures measure_memory(unsigned size, unsigned frames, unsigned iterations) {
  MemoryFigures m;
  m.size = size;
  m.frames = frames;
  m.valueBytes = sizeof(T);
  const size_t n = size_t{size} * size;
  m.budgetBytes = 2 * sizeof(T) * (5 * n + n * frames);
  m.programBytes = status_bytes("VmRSS");

  Acquisition<T> data = make_acquisition<T>(size, size, frames);
  m.callerBytes =
      (data.image.size() + data.masks.size() + data.otf.size() + data.output.size()) * sizeof(T);
  m.peakFromReset = reset_peak();
  const size_t freeBefore = free_device_bytes();
  {
    Korvex<T> engine(size, size, frames, iterations);
    m.deviceUsedBytes = freeBefore - free_device_bytes();
    engine.Mapsim_Compute(data.image.data(), data.otf.data(), data.masks.data(), data.output.data(),
                          T(0), T(0.01), T(0.05));
    m.peakBytes = status_bytes("VmHWM");
  }
  return m;
}

template MemoryFigures measure_memory<float>(unsigned, unsigned, unsigned);
template MemoryFigures measure_memory<double>(unsigned, unsigned, unsigned);

}  // namespace korvex::bench
