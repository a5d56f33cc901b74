#include "input_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "caller_terms.h"
#include "cpu_parallel.h"

namespace korvex::patterns {

namespace {

[[noreturn]] void Refuse(const std::string& message) {
  throw std::invalid_argument(Caller_Prefix() + message);
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

// kMinSide: the apodisation takes an eighth of each side, and the search needs a ring of bins.
constexpr double kMinPassbandBins = 8.0;

void Check_Geometry(unsigned height, unsigned width, unsigned angles, unsigned phases) {
  if (angles < 1) Refuse("angles must be at least 1");
  if (phases < 3) {
    Refuse("phases must be at least 3 (got " + std::to_string(phases) +
           "): fewer frames per orientation cannot separate the pattern from the specimen");
  }
  if (height < kMinSide || width < kMinSide) {
    Refuse("frames are " + Shape_Text(height, width) +
           " pixels, too small for the pattern: at least " + Shape_Text(kMinSide, kMinSide) +
           " are needed");
  }
}

template <typename T>
void Check_Finite(const char* name, const T* values, size_t count) {
  // Block by block on the team, without a branch per value; the first block that fails is
  // read again for its first bad value.
  constexpr size_t kBlock = 16384;
  std::vector<unsigned char> fails((count + kBlock - 1) / kBlock, 0);
  platform::Parallel_Blocks(count, kBlock, [&](size_t b, size_t begin, size_t end) {
    unsigned finite = 1;
    for (size_t i = begin; i < end; ++i) {
      finite &= static_cast<unsigned>(std::fabs(values[i]) <= std::numeric_limits<T>::max());
    }
    fails[b] = finite == 0;
  });
  const size_t failed =
      static_cast<size_t>(std::find(fails.begin(), fails.end(), 1) - fails.begin());
  for (size_t i = failed * kBlock; i < count; ++i) {
    if (!std::isfinite(values[i])) {
      Refuse(std::string(name) + " hold NaN or Inf values (the first at element " +
             std::to_string(i + 1) + ")");
    }
  }
}

template void Check_Finite<float>(const char*, const float*, size_t);
template void Check_Finite<double>(const char*, const double*, size_t);

template <typename T>
double Value_Scale(const T* values, size_t count) {
  double largest = 0.0;
  for (size_t i = 0; i < count; ++i) largest = std::max(largest, std::abs(double(values[i])));
  if (largest == 0.0 || (largest <= 0x1p32 && largest >= 0x1p-32)) return 1.0;
  return std::ldexp(1.0, 16 - std::ilogb(largest));
}

template double Value_Scale<float>(const float*, size_t);
template double Value_Scale<double>(const double*, size_t);

void Check_Guess(const PatternGuess& guess, unsigned angles, unsigned phases) {
  if (guess.orders > 2) {
    Refuse("orders must be 0 (auto), 1 or 2, got " + std::to_string(guess.orders));
  }
  if (guess.orders == 2 && phases < 5) {
    Refuse("orders 2 needs at least 5 phases per orientation, got " + std::to_string(phases) +
           ": with fewer the second harmonic cannot be separated from the first");
  }
  if (guess.period != 0.0 && !(std::isfinite(guess.period) && guess.period >= 2.0)) {
    Refuse("the period guess must be a finite number of pixels, at least 2 (got " +
           Number(guess.period) + ")");
  }
  if (!(std::isfinite(guess.hazeFrequency) && guess.hazeFrequency >= 0.0)) {
    Refuse("the out-of-focus frequency must be a non-negative finite number of cycles per "
           "pixel (got " + Number(guess.hazeFrequency) + ")");
  }
  if (!guess.angles.empty()) {
    if (guess.angles.size() != angles) {
      Refuse("the angle guesses must be one per orientation (" + std::to_string(angles) +
             "), got " + std::to_string(guess.angles.size()));
    }
    for (double a : guess.angles) {
      if (!std::isfinite(a)) Refuse("the angle guesses must be finite");
    }
  }
}

void Check_Guess_In_Passband(const PatternGuess& guess, double minFrequency, double maxFrequency,
                             double cutoff) {
  if (!(guess.period > 0.0)) return;
  // The search keeps +-10% around the guess.
  if (0.9 / guess.period > maxFrequency || 1.1 / guess.period < minFrequency) {
    Refuse("the period guess (" + Number(guess.period) +
           " pixels) lies outside the passband: the OTF, cut off at " + Number(cutoff) +
           " cycles per pixel, lets carriers of periods from " + Number(1.0 / maxFrequency) +
           " to " + Number(1.0 / minFrequency) + " pixels be found");
  }
}

void Check_Passband(double cutoff, unsigned height, unsigned width) {
  const double bins = cutoff * std::min(height, width);
  if (cutoff > 0.0 && bins < 2.0) {
    Refuse("the OTF's passband spans " + Number(bins) +
           " frequency bins along the shorter side, fewer than 2: its cut-off must lie between "
           "2 bins and half the side; an OTF made with the wavelength and the pixel size in "
           "different units does this (lengths are in micrometres)");
  }
  if (!(bins >= kMinPassbandBins)) {
    Refuse("the image is too small for the pattern: the OTF's passband spans " + Number(bins) +
           " frequency bins along the shorter side, at least " + Number(kMinPassbandBins) +
           " are needed (a larger image, or an OTF that is not all zero)");
  }
}

}  // namespace korvex::patterns
