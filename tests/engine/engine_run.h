// Runs a test problem through an engine and collects what a caller reads afterwards.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "Korvex.h"
#include "reference_model.h"
#include "synthetic_sim.h"

namespace korvex::test {

template <typename T>
struct EngineResult {
  std::vector<T> output;
  unsigned iteration = 0;
  T alpha = 0;
  T ratio = 0;
};

// The caller's arrays of one problem in the engine's precision (the engine takes T*).
template <typename T>
struct HostArrays {
  explicit HostArrays(const Problem& p)
      : image(As<T>(p.image)),
        otf(As<T>(p.otf)),
        masks(As<T>(p.masks)),
        output(size_t{p.W} * p.H, T(-7)) {}
  std::vector<T> image;
  std::vector<T> otf;
  std::vector<T> masks;
  std::vector<T> output;
};

template <typename T>
EngineResult<T> Run_Engine(Korvex<T>& engine, HostArrays<T>& arrays, double threshold,
                           double lambda, double alpha) {
  engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                        arrays.output.data(), static_cast<T>(threshold), static_cast<T>(lambda),
                        static_cast<T>(alpha));
  return {arrays.output, engine.m_iteration, engine.m_alpha, engine.m_ratio};
}

template <typename T>
EngineResult<T> Run_Engine(const Problem& p, unsigned maxIter, double threshold, double lambda,
                           double alpha) {
  Korvex<T> engine(p.W, p.H, p.F, maxIter);
  HostArrays<T> arrays(p);
  return Run_Engine(engine, arrays, threshold, lambda, alpha);
}

// The same through the overload that takes the opt-in options.
template <typename T>
EngineResult<T> Run_Engine(const Problem& p, unsigned maxIter, double threshold, double lambda,
                           double alpha, const KorvexOptions& options) {
  Korvex<T> engine(p.W, p.H, p.F, maxIter);
  HostArrays<T> arrays(p);
  engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                        arrays.output.data(), static_cast<T>(threshold), static_cast<T>(lambda),
                        static_cast<T>(alpha), options);
  return {arrays.output, engine.m_iteration, engine.m_alpha, engine.m_ratio};
}

// The text of the std::runtime_error that `action` throws, or a marker when it throws none.
inline std::string Message_Of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& failure) {
    return failure.what();
  }
  return "<no exception>";
}

// Both precisions start the ratio at the largest finite single-precision value.
template <typename T>
T Ratio_Start() {
  return static_cast<T>(std::numeric_limits<float>::max());
}

// The per-pixel frame sum in MATLAB order, accumulated from +0 in frame order, in T.
template <typename T>
std::vector<T> Frame_Sum(const HostArrays<T>& arrays, unsigned frames) {
  const size_t n = arrays.output.size();
  std::vector<T> sum(n, T(0));
  for (unsigned f = 0; f < frames; ++f) {
    for (size_t i = 0; i < n; ++i) sum[i] += arrays.image[f * n + i];
  }
  return sum;
}

// Largest element difference relative to the largest reference magnitude.
inline double Relative_Difference(const std::vector<double>& actual,
                                  const std::vector<double>& reference) {
  double scale = 0;
  double worst = 0;
  for (size_t i = 0; i < reference.size(); ++i) {
    scale = std::max(scale, std::abs(reference[i]));
    worst = std::max(worst, std::abs(actual[i] - reference[i]));
  }
  return scale > 0 ? worst / scale : worst;
}

}  // namespace korvex::test
