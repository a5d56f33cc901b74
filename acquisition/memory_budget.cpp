#include "memory_budget.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "gpu.h"

namespace korvex::acquisition {

namespace {

// Limits this large mean "no limit" (cgroup v1 writes 2^63 rounded down to a page).
constexpr uint64_t kNoLimit = uint64_t{1} << 60;

void Take_Smaller(MemoryAvailability& available, uint64_t bytes, const char* limit) {
  if (bytes < available.bytes) {
    available.bytes = bytes;
    available.limit = limit;
  }
}

// A "Name:   1234 kB" line of a /proc file, in bytes; false when absent.
bool Read_Kilobytes(const char* file, const std::string& name, uint64_t& bytes) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
    std::istringstream fields(line.substr(name.size() + 1));
    uint64_t kilobytes = 0;
    if (!(fields >> kilobytes)) return false;
    bytes = kilobytes * 1024;
    return true;
  }
  return false;
}

// A file holding one number (or "max"); false when absent or unlimited.
bool Read_Number(const std::string& file, uint64_t& value) {
  std::ifstream in(file);
  std::string text;
  if (!(in >> text) || text == "max") return false;
  try {
    value = std::stoull(text);
  } catch (const std::exception&) {
    return false;
  }
  return value < kNoLimit;
}

// A resource limit left after what the process already uses (read from /proc/self/status).
void Take_Resource_Limit(MemoryAvailability& available, int resource, const char* usedField,
                         const char* limit) {
  rlimit bound{};
  if (getrlimit(resource, &bound) != 0 || bound.rlim_cur == RLIM_INFINITY) return;
  uint64_t used = 0;
  Read_Kilobytes("/proc/self/status", usedField, used);
  const uint64_t cap = bound.rlim_cur;
  Take_Smaller(available, cap > used ? cap - used : 0, limit);
}

// The control group's limit less its usage, v2 then v1, at the group the process is in or at
// the root a container shows it as.
void Take_Cgroup_Limit(MemoryAvailability& available) {
  std::string v2Path, v1Path;
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  while (std::getline(groups, line)) {
    if (line.compare(0, 3, "0::") == 0) v2Path = line.substr(3);
    const size_t at = line.find(":memory:");
    if (at != std::string::npos) v1Path = line.substr(at + 8);
  }
  const std::string candidates[][3] = {
      {"/sys/fs/cgroup" + v2Path, "/memory.max", "/memory.current"},
      {"/sys/fs/cgroup", "/memory.max", "/memory.current"},
      {"/sys/fs/cgroup/memory" + v1Path, "/memory.limit_in_bytes", "/memory.usage_in_bytes"},
      {"/sys/fs/cgroup/memory", "/memory.limit_in_bytes", "/memory.usage_in_bytes"}};
  for (const auto& [folder, limitFile, usageFile] : candidates) {
    uint64_t limit = 0, usage = 0;
    if (!Read_Number(folder + limitFile, limit)) continue;
    Read_Number(folder + usageFile, usage);
    Take_Smaller(available, limit > usage ? limit - usage : 0, "the control group's memory limit");
    return;
  }
}

}  // namespace

std::string Byte_Text(uint64_t bytes) {
  char text[32];
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  if (mib < 1024.0) {
    std::snprintf(text, sizeof text, "%.0f MiB", mib);
  } else {
    std::snprintf(text, sizeof text, "%.1f GiB", mib / 1024.0);
  }
  return text;
}

MemoryAvailability Host_Memory_Available() {
  MemoryAvailability available;
  uint64_t bytes = 0;
  if (Read_Kilobytes("/proc/meminfo", "MemAvailable", bytes)) {
    Take_Smaller(available, bytes, "MemAvailable");
  }
  Take_Resource_Limit(available, RLIMIT_AS, "VmSize", "the process's RLIMIT_AS");
  Take_Resource_Limit(available, RLIMIT_DATA, "VmData", "the process's RLIMIT_DATA");
  Take_Cgroup_Limit(available);
  return available;
}

MemoryAvailability Device_Memory_Available() {
  MemoryAvailability available;
  size_t freeBytes = 0, totalBytes = 0;
  if (cudaMemGetInfo(&freeBytes, &totalBytes) == cudaSuccess) {
    Take_Smaller(available, freeBytes, "the device's free memory");
  } else {
    cudaGetLastError();  // the engine reports the device's state itself
  }
  return available;
}

void Check_Fits(uint64_t needBytes, const MemoryAvailability& available, const char* what,
                const char* advice) {
  if (needBytes <= available.bytes) return;
  throw MemoryShortage(std::string(what) + " needs about " + Byte_Text(needBytes) +
                       " of memory, but only " + Byte_Text(available.bytes) + " are available (" +
                       available.limit + ")" + advice);
}

MemoryNeed Beyond(const MemoryNeed& need, const MemoryNeed& held) {
  return {need.host > held.host ? need.host - held.host : 0,
          need.device > held.device ? need.device - held.device : 0};
}

void Check_Memory(const MemoryNeed& need, const char* what, const char* advice) {
#if defined(KORVEX_BACKEND_HOST)
  Check_Fits(need.host + need.device, Host_Memory_Available(), what, advice);
#else
  Check_Fits(need.host, Host_Memory_Available(), what, advice);
  if (need.device > 0) Check_Fits(need.device, Device_Memory_Available(), what, advice);
#endif
}

namespace {

// The estimator's buffers with one lane (see Estimator_Bytes).
uint64_t Estimator_One_Lane(uint64_t height, uint64_t width, uint64_t angles, uint64_t phases) {
  const uint64_t pixels = height * width;
  const uint64_t frames = angles * phases;
  // Frames (single) and their spectra packed over the passband (single, at most every bin);
  // each orientation's carrier band and its fit's matching factors; the widefield band, the
  // second harmonic's band, the fits' workspace (48 bytes a pixel), window and weights, the
  // transform's staging and device buffer, and the passband's bins.
  return pixels * (4 * frames + 8 * frames + 32 * angles + 16 + 16 + 48 + 16 + 16 + 8);
}

}  // namespace

uint64_t Estimator_Bytes(uint64_t height, uint64_t width, uint64_t angles, uint64_t phases) {
  const uint64_t one = Estimator_One_Lane(height, width, angles, phases);
  if (Estimator_Releases(height, width, angles, phases)) return one;
  // Unless it releases its buffers, every orientation runs on a lane of its own: a further
  // fit workspace, transform and second harmonic's band (80 bytes a pixel) for each.
  return one + (angles - 1) * height * width * 80;
}

bool Estimator_Releases(uint64_t height, uint64_t width, uint64_t angles, uint64_t phases) {
  return Estimator_One_Lane(height, width, angles, phases) > (uint64_t{1} << 30);
}

uint64_t Engine_Bytes(uint64_t finePixels, uint64_t frames, uint64_t valueBytes,
                      bool outOfFocus) {
  // The out-of-focus model doubles the estimate, the gradient and their previous values, and
  // holds eight images of its own.
  const uint64_t haze = outOfFocus ? 12 * valueBytes * finePixels : 0;
  return 2 * valueBytes * (5 * finePixels + finePixels * frames) + 2 * valueBytes * finePixels +
         haze;
}

MemoryNeed Pipeline_Bytes(uint64_t height, uint64_t width, uint64_t frames, uint64_t factor,
                          uint64_t angles, bool estimate, uint64_t valueBytes,
                          bool outOfFocus) {
  const uint64_t pixels = height * width;
  const uint64_t fine = pixels * factor * factor;
  MemoryNeed need;
  // Fine frames, the fine OTF (and the doubles it is made from), the image; the masks are
  // given to the engine by their harmonics.
  need.host = valueBytes * fine * (frames + 2) + 8 * fine;
  // The multiplier that preconditions the steps, in double, and its filter's copies as it is
  // uploaded.
  need.host += (8 + 8 + valueBytes) * fine;
  // The up-sampler's complex images: a coarse one for each phase of the fine grid, the
  // spectrum beside them, and one coarse image on the device.
  need.host += 2 * valueBytes * (pixels + fine);
  // The engine folds the frames as they arrive: one image where a stack would be.
  // The preconditioner's filter and the last direction beside the engine's own buffers.
  need.device = 2 * valueBytes * pixels + Engine_Bytes(fine, 1, valueBytes, outOfFocus) +
                2 * valueBytes * fine;
  // The haze's transfer function (in double, and its copy in the engine's options), and its
  // image; while the engine prepares its start and steps, the reduced problem's three
  // multipliers and the two even parts they are made from (in double), and a copy of the haze.
  if (outOfFocus) need.host += 16 * fine + valueBytes * fine + (40 + valueBytes) * fine;
  if (estimate) {
    const uint64_t phases = frames / angles;
    const uint64_t estimator = Estimator_Bytes(height, width, angles, phases);
    const uint64_t fineFrames = valueBytes * fine * frames;
    need.host = Estimator_Releases(height, width, angles, phases)
                    ? std::max(need.host, need.host - fineFrames + estimator)
                    : need.host + estimator;
  }
  return need;
}

void Return_Freed_Memory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace korvex::acquisition
