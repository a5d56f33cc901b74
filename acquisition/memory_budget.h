// Memory checked before it is allocated, and given back after it is released.
//
// A reconstruction too large for the machine would otherwise be refused only when an
// allocation finally fails, tens of seconds in, or would push the machine into swap. The
// pipeline and the estimator add up what they are about to allocate and compare it here with
// what the process may still take: the system's MemAvailable, the process's own limits
// (RLIMIT_AS, RLIMIT_DATA) and its control group's memory limit on the host; the device's
// free memory on a GPU.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvex::acquisition {

// A need that does not fit; the message gives both figures. Front ends may report it as
// their language's out-of-memory error.
class MemoryShortage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MemoryAvailability {
  uint64_t bytes = UINT64_MAX;  // UINT64_MAX: nothing known limits it
  std::string limit;            // what sets `bytes`, e.g. "MemAvailable"
};

// What the process may still allocate on the host: the least of the limits it can read.
MemoryAvailability Host_Memory_Available();

// The device's free memory (cudaMemGetInfo); with the host backend, the simulated device's.
MemoryAvailability Device_Memory_Available();

// Throws MemoryShortage unless `needBytes` fit in `available`. `what` names the work, as in
// "the reconstruction needs about 3.2 GiB ..."; `advice` ends the message.
void Check_Fits(uint64_t needBytes, const MemoryAvailability& available, const char* what,
                const char* advice = "");

// What one call is about to allocate, in host and in device memory.
struct MemoryNeed {
  uint64_t host = 0;
  uint64_t device = 0;
};

// What `need` adds to what is `held` already (never below zero).
MemoryNeed Beyond(const MemoryNeed& need, const MemoryNeed& held);

// Checks both shares; on the host backend the device is host memory, so both are checked
// against the host's availability together.
void Check_Memory(const MemoryNeed& need, const char* what, const char* advice = "");

// The pattern estimator's buffers for H x W frames, A orientations of P phases.
uint64_t Estimator_Bytes(uint64_t height, uint64_t width, uint64_t angles, uint64_t phases);

// Whether an estimator of this geometry gives its buffers back after every estimate: above
// 1 GiB of them, where they would crowd out the rest of a reconstruction and allocating them
// again costs little beside the estimate.
bool Estimator_Releases(uint64_t height, uint64_t width, uint64_t angles, uint64_t phases);

// The engine's device buffers on a fine grid of `finePixels`, `frames` frames, values of
// `valueBytes` (its ten buffers and an FFT work area as large as a complex image), with the
// out-of-focus model's ten images more when `outOfFocus`.
uint64_t Engine_Bytes(uint64_t finePixels, uint64_t frames, uint64_t valueBytes,
                      bool outOfFocus = false);

// Everything one acquisition pipeline call allocates: the up-sampled frames, OTF and image on
// the host, the up-sampler's staging, the engine, the estimator when the pattern is to be
// estimated (beside all of it, or, where it gives its buffers back, beside all but the
// up-sampled frames, which the pipeline drops while it estimates), and with `outOfFocus` the
// haze's transfer function and image.
MemoryNeed Pipeline_Bytes(uint64_t height, uint64_t width, uint64_t frames, uint64_t factor,
                          uint64_t angles, bool estimate, uint64_t valueBytes,
                          bool outOfFocus = false);

// Hands memory the allocator keeps after frees back to the system (malloc_trim on glibc).
void Return_Freed_Memory() noexcept;

// A size in the unit a person reads best: "812 MiB", "3.2 GiB".
std::string Byte_Text(uint64_t bytes);

}  // namespace korvex::acquisition
