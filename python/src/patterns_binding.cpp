// Estimator: korvex::patterns::PatternEstimator for one geometry, kept across calls, with its
// result brought back from the core's transposed view into numpy's axes.
#include <nanobind/stl/optional.h>
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

using korvex::patterns::PatternEstimate;
using korvex::patterns::PatternEstimator;
using korvex::patterns::PatternGuess;

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

  // The frames in camera counts: `background` (a level, or the (H, W) image) is taken out
  // and the rest divided by `gain` in a copy before the estimate.
  template <typename T>
  nb::dict Estimate(Stack<T> frames, Image<T> otf, double period,
                    const std::vector<double>& angles, unsigned orders, double background,
                    std::optional<Image<double>> backgroundImage, double gain,
                    double hazeFrequency) {
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
    guess.orders = orders;
    // With the out-of-focus model the depth is the in-focus light's, measured beyond the haze.
    guess.hazeFrequency = hazeFrequency;
    // A single angle is spread over the orientations in numpy's axes, then each is swapped.
    for (double angle : korvex::acquisition::Angle_Guesses(angles, estimator_->Angles())) {
      guess.angles.push_back(Swap_Angle(angle));
    }
    const korvex::acquisition::CameraUnits units = Camera_Units(background, backgroundImage, gain);
    const PatternEstimate estimate = Core_Call([&] {
      Check_Finite(frames.data(), frames.size(), "frames");
      Check_Finite(otf.data(), otf.size(), "otf");
      korvex::acquisition::Check_Camera_Units(units, width_, height_);
      if (units.Is_Identity()) return estimator_->Estimate(frames.data(), otf.data(), guess);
      std::vector<T> photons(frames.size());
      korvex::acquisition::To_Photons(frames.data(), width_, height_, unsigned(count), units,
                                      photons.data());
      return estimator_->Estimate(photons.data(), otf.data(), guess);
    });
    return Pattern_Dict(Swap_Axes(estimate), true);
  }

 private:
  unsigned height_, width_;
  std::unique_ptr<PatternEstimator> estimator_;
};

// Whether the frames an OTF describes are aliased (korvex::patterns::Check_Sampling): the
// OTF's passband reaching the grid's Nyquist row or column. The transposed view changes
// nothing of that.
template <typename T>
nb::tuple Sampling(Image<T> otf) {
  const auto height = static_cast<unsigned>(otf.shape(1));
  const auto width = static_cast<unsigned>(otf.shape(0));
  const korvex::patterns::Sampling sampling = Core_Call([&] {
    Check_Finite(otf.data(), otf.size(), "otf");
    return korvex::patterns::Check_Sampling(otf.data(), height, width);
  });
  return nb::make_tuple(sampling.undersampled, sampling.cutoff, sampling.largestPixel);
}

}  // namespace

void Bind_Patterns(nb::module_& m) {
  nb::class_<Estimator>(m, "Estimator")
      .def(nb::init<unsigned, unsigned, unsigned, unsigned>(), nb::arg("height"), nb::arg("width"),
           nb::arg("angles"), nb::arg("phases"))
      .def("estimate", &Estimator::Estimate<float>, nb::arg("frames").noconvert(),
           nb::arg("otf").noconvert(), nb::arg("period") = 0.0,
           nb::arg("angles") = std::vector<double>{}, nb::arg("orders") = 0u,
           nb::arg("background") = 0.0, nb::arg("background_image").none() = nb::none(),
           nb::arg("gain") = 1.0, nb::arg("haze_frequency") = 0.0)
      .def("estimate", &Estimator::Estimate<double>, nb::arg("frames").noconvert(),
           nb::arg("otf").noconvert(), nb::arg("period") = 0.0,
           nb::arg("angles") = std::vector<double>{}, nb::arg("orders") = 0u,
           nb::arg("background") = 0.0, nb::arg("background_image").none() = nb::none(),
           nb::arg("gain") = 1.0, nb::arg("haze_frequency") = 0.0);
  m.def("sampling", &Sampling<float>, nb::arg("otf").noconvert());
  m.def("sampling", &Sampling<double>, nb::arg("otf").noconvert());
}

}  // namespace korvex::python
