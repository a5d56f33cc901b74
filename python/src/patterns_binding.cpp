// Estimator: korvex::patterns::PatternEstimator for one geometry, kept across calls, with its
// result brought back from the core's transposed view into numpy's axes.
#include <nanobind/stl/vector.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core_calls.h"
#include "pattern_estimate.h"
#include "transposed_layout.h"

namespace korvex::python {

namespace {

using korvex::acquisition::IlluminationPattern;
using korvex::patterns::PatternEstimate;
using korvex::patterns::PatternEstimator;
using korvex::patterns::PatternGuess;

}  // namespace

nb::dict Pattern_Dict(const IlluminationPattern& pattern, const std::vector<bool>& low) {
  nb::dict d;
  d["angle"] = pattern.angle;
  d["period"] = pattern.period;
  d["modulation"] = pattern.modulation;
  d["phase"] = pattern.phase;
  d["mcnr"] = pattern.mcnr;
  d["low_modulation"] = low;
  return d;
}

namespace {

class Estimator {
 public:
  Estimator(unsigned height, unsigned width, unsigned angles, unsigned phases)
      : height_(height), width_(width) {
    estimator_ = Core_Call(
        [&] { return std::make_unique<PatternEstimator>(width, height, angles, phases); });
  }

  ~Estimator() { Release_In_Core(estimator_); }
  Estimator(const Estimator&) = delete;
  Estimator& operator=(const Estimator&) = delete;

  template <typename T>
  nb::dict Estimate(Stack<T> frames, Image<T> otf, double period,
                    const std::vector<double>& angles) {
    const size_t count = size_t{estimator_->Angles()} * estimator_->Phases();
    if (frames.shape(0) != count || frames.shape(1) != height_ || frames.shape(2) != width_) {
      throw std::invalid_argument("frames must be (" + std::to_string(count) + ", " +
                                  std::to_string(height_) + ", " + std::to_string(width_) + ")");
    }
    if (otf.shape(0) != height_ || otf.shape(1) != width_) {
      throw std::invalid_argument("otf must be (" + std::to_string(height_) + ", " +
                                  std::to_string(width_) + ")");
    }
    PatternGuess guess;
    guess.period = period;
    for (double angle : angles) guess.angles.push_back(Swap_Angle(angle));
    const PatternEstimate estimate = Core_Call([&] {
      Check_Finite(frames.data(), frames.size(), "frames");
      Check_Finite(otf.data(), otf.size(), "otf");
      return estimator_->Estimate(frames.data(), otf.data(), guess);
    });
    IlluminationPattern core;
    std::vector<bool> low;
    for (const auto& o : estimate.orientations) {
      core.angle.push_back(o.angle);
      core.period.push_back(o.period);
      core.modulation.push_back(o.modulation);
      core.mcnr.push_back(o.mcnr);
      low.push_back(o.lowModulation);
    }
    core.phase = estimate.phases;
    return Pattern_Dict(Swap_Axes(core), low);
  }

 private:
  unsigned height_, width_;
  std::unique_ptr<PatternEstimator> estimator_;
};

}  // namespace

void Bind_Patterns(nb::module_& m) {
  nb::class_<Estimator>(m, "Estimator")
      .def(nb::init<unsigned, unsigned, unsigned, unsigned>(), nb::arg("height"), nb::arg("width"),
           nb::arg("angles"), nb::arg("phases"))
      .def("estimate", &Estimator::Estimate<float>, nb::arg("frames").noconvert(),
           nb::arg("otf").noconvert(), nb::arg("period") = 0.0,
           nb::arg("angles") = std::vector<double>{})
      .def("estimate", &Estimator::Estimate<double>, nb::arg("frames").noconvert(),
           nb::arg("otf").noconvert(), nb::arg("period") = 0.0,
           nb::arg("angles") = std::vector<double>{});
}

}  // namespace korvex::python
