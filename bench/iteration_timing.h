// Time per reconstruction iteration beside the time of the transforms one iteration performs.
#pragma once

#include <string>

namespace korvex::bench {

struct IterationFigures {
  unsigned size = 0;  // square images: width = height = size
  unsigned frames = 0;
  unsigned iterations = 0;     // per timed reconstruction
  unsigned iterationsRun = 0;  // what the engine reported (m_iteration + 1)
  double buildMs = 0;          // constructing the engine: allocation and FFT planning
  double setupMs = 0;          // a reconstruction of 0 iterations: registration, upload, download
  double iterationMs = 0;      // (reconstruction of K iterations - setup) / K, median of repeats
  double fftMs = 0;            // 4 x F transforms through the same platform calls, median
  double ratio() const { return fftMs > 0 ? iterationMs / fftMs : 0; }
};

// Runs `repeats` rounds; each round times a reconstruction of 0 and of `iterations`
// iterations and one loop of the 4 x F transforms, interleaved so that all three see the same
// machine state. Throws std::runtime_error when the platform or the engine fails.
template <typename T>
IterationFigures time_iterations(unsigned size, unsigned frames, unsigned iterations,
                                 unsigned repeats);

}  // namespace korvex::bench
