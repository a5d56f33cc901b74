// Peak host memory of one reconstruction against the engine's own buffers.
#pragma once

#include <cstddef>
#include <string>

namespace korvex::bench {

struct MemoryFigures {
  unsigned size = 0;
  unsigned frames = 0;
  size_t valueBytes = 0;       // sizeof(T)
  size_t programBytes = 0;     // resident before the data was made: program and libraries
  size_t callerBytes = 0;      // the caller's arrays: image, masks, OTF, output
  size_t budgetBytes = 0;      // 2 S (5N + NF): the ten device buffers
  size_t deviceUsedBytes = 0;  // fall of cudaMemGetInfo's free bytes while the engine lives
  size_t peakBytes = 0;        // peak resident set from the start of the engine to its end
  bool peakFromReset = false;  // the peak could be reset after making the data
};

// A "Name:   123 kB" line of /proc/self/status (VmRSS, VmHWM), in bytes; 0 where there is none.
size_t status_bytes(const std::string& name);
// Starts the peak resident set (VmHWM) afresh; false where the kernel does not allow it.
bool reset_peak();

// Builds one engine of size x size x frames, runs `iterations` iterations and measures.
// Meant to run alone in a fresh process: the peak resident set is process-wide.
template <typename T>
MemoryFigures measure_memory(unsigned size, unsigned frames, unsigned iterations);

}  // namespace korvex::bench
