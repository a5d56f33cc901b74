#include "core_calls.h"

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
                                          {"angleGuess", "angle_guess"}}};
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

}  // namespace korvex::python
