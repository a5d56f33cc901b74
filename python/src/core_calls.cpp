#include "core_calls.h"

#include <nanobind/stl/vector.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace korvex::python {

std::mutex& Core_Mutex() {
  static std::mutex mutex;
  return mutex;
}

const korvex::CallerTerms& Python_Terms() {
  static const korvex::CallerTerms terms{true,
                                         0,
                                         "",
                                         {{"pixelSize", "pixel_size"},
                                          {"lambda", "smoothness"},
                                          {"alpha", "step"},
                                          {"dataTerm", "data_term"},
                                          {"periodGuess", "period"},
                                          {"angleGuess", "angle_guess"},
                                          {"outOfFocus", "out_of_focus"},
                                          {"outOfFocusWidth", "out_of_focus_width"},
                                          {"outOfFocusCost", "out_of_focus_cost"}}};
  return terms;
}

template <typename T>
void Check_Finite(const T* values, size_t count, const char* name) {
  bool finite = true;
  for (size_t i = 0; i < count; ++i) finite &= std::isfinite(values[i]);
  if (!finite) throw std::invalid_argument(std::string(name) + " holds NaN or Inf values");
}

template void Check_Finite<float>(const float*, size_t, const char*);
template void Check_Finite<double>(const double*, size_t, const char*);

nb::dict Pattern_Dict(const korvex::acquisition::IlluminationPattern& pattern, bool estimated) {
  std::vector<double> angle, period, modulation, mcnr, modulation2, phase2, mcnr2;
  std::vector<bool> low;
  for (const auto& o : pattern.orientations) {
    angle.push_back(o.angle);
    period.push_back(o.period);
    modulation.push_back(o.modulation);
    modulation2.push_back(o.modulation2);
    phase2.push_back(o.phase2);
    low.push_back(o.lowModulation);
    if (!estimated) continue;
    mcnr.push_back(o.mcnr);
    mcnr2.push_back(o.mcnr2);
  }
  nb::dict d;
  d["angle"] = angle;
  d["period"] = period;
  d["modulation"] = modulation;
  d["phase"] = pattern.phases;
  d["mcnr"] = mcnr;
  d["modulation2"] = modulation2;
  d["phase2"] = phase2;
  d["mcnr2"] = mcnr2;
  d["low_modulation"] = low;
  return d;
}

korvex::acquisition::CameraUnits Camera_Units(double level,
                                              const std::optional<Image<double>>& image,
                                              double gain) {
  korvex::acquisition::CameraUnits units;
  if (image) {
    units.background.assign(image->data(), image->data() + image->size());
  } else if (level != 0.0) {
    units.background = {level};
  }
  units.gain = gain;
  return units;
}

}  // namespace korvex::python
