#include "optical_transfer.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "caller_terms.h"
#include "image_transform.h"

namespace korvex::acquisition {

namespace {

constexpr double kPi = 3.141592653589793238462643383280;

void Check_Positive(double value, const char* name) {
  if (!(value > 0.0) || !std::isfinite(value)) {
    std::ostringstream message;
    message << name << " must be given as a positive finite number";
    if (value != 0.0) message << ", got " << value;
    throw std::invalid_argument(message.str());
  }
}

// Offset of a centred index from zero frequency, and back.
long Offset(unsigned index, unsigned extent) { return long(index) - long(extent / 2); }
bool Inside(long offset, unsigned extent) {
  return offset >= -long(extent / 2) && offset < long(extent) - long(extent / 2);
}

constexpr double kMinCutoffBins = 2.0;

// The likeliest cause of a cut-off off the grid: one length given in another unit than the
// rest. Microscopes image at 0.2 to 2 micrometres with pixels of 0.01 to 10 micrometres.
std::string Unit_Cause(const Optics& optics) {
  std::ostringstream cause;
  if (optics.wavelength >= 100.0) {
    cause << "wavelength " << optics.wavelength << " looks like nanometres";
  } else if (optics.pixelSize >= 10.0) {
    cause << Argument("pixelSize") << " " << optics.pixelSize << " looks like nanometres";
  } else if (optics.wavelength < 0.01) {
    cause << "wavelength " << optics.wavelength << " looks like metres or millimetres";
  } else if (optics.pixelSize < 0.001) {
    cause << Argument("pixelSize") << " " << optics.pixelSize
          << " looks like metres or millimetres";
  } else {
    return "na, wavelength and " + Argument("pixelSize") + " must be given in one length unit";
  }
  cause << "; lengths are in micrometres";
  return cause.str();
}

}  // namespace

void Check_Optics(const Optics& optics, unsigned height, unsigned width, unsigned factor) {
  Check_Positive(optics.na, "na");
  Check_Positive(optics.wavelength, "wavelength");
  Check_Positive(optics.pixelSize, Argument("pixelSize").c_str());
  Check_Positive(optics.immersion, "immersion");
  if (optics.na >= optics.immersion) {
    std::ostringstream message;
    message << "na (" << optics.na << ") must be below the immersion medium's refractive index ("
            << optics.immersion << ")";
    throw std::invalid_argument(message.str());
  }
  const double cutoff = 2.0 * optics.na / optics.wavelength;
  const double nyquist = factor / (2.0 * optics.pixelSize);
  if (cutoff > nyquist) {
    std::ostringstream message;
    message << Argument("pixelSize") << " (" << optics.pixelSize
            << ") is too coarse: the OTF cut-off 2*na/"
            << "wavelength = " << cutoff << " cycles per unit lies beyond the Nyquist frequency "
            << nyquist << " of the grid up-sampled " << factor
            << " times; raise upsample or give the pixel size in the sample plane";
    if (optics.pixelSize >= 10.0 || optics.wavelength < 0.01) message << "; " << Unit_Cause(optics);
    throw std::invalid_argument(message.str());
  }
  // Frequency bins from zero to the cut-off along the shorter side: a passband of fewer than
  // two bins holds no image, only its mean.
  const double side = std::min(height, width);
  const double bins = cutoff * side * optics.pixelSize;
  if (bins < kMinCutoffBins) {
    std::ostringstream message;
    message << "the OTF cut-off 2*na/wavelength = " << cutoff << " cycles per unit spans " << bins
            << " frequency bins across the frames' shorter side (" << side << " pixels of "
            << optics.pixelSize << "), fewer than " << kMinCutoffBins << ": " << Unit_Cause(optics);
    throw std::invalid_argument(message.str());
  }
}

std::vector<double> Widefield_Otf(unsigned height, unsigned width, double na, double wavelength,
                                  double pixelSize) {
  const double cutoff = 2.0 * na / wavelength;
  std::vector<double> otf(size_t{height} * width, 0.0);
  // Rows and columns farther from zero frequency than the cut-off hold zeros only: they are
  // left out, with a margin that rounding cannot cross.
  const double reach = cutoff * (1.0 + 1e-9);
  const auto frequency = [](unsigned index, unsigned extent, double pixel) {
    return double(Offset(index, extent)) / (extent * pixel);
  };
  unsigned top = 0, bottom = height;  // the rows [top, bottom) within reach
  while (top < height && std::abs(frequency(top, height, pixelSize)) > reach) ++top;
  while (bottom > top && std::abs(frequency(bottom - 1, height, pixelSize)) > reach) --bottom;
  for (unsigned c = 0; c < width; ++c) {
    const double fx = frequency(c, width, pixelSize);
    if (std::abs(fx) > reach) continue;
    for (unsigned r = top; r < bottom; ++r) {
      const double fy = frequency(r, height, pixelSize);
      const double q = std::sqrt(fx * fx + fy * fy) / cutoff;
      if (q >= 1.0) continue;
      // acos q = pi/2 - asin q: exactly 1 at zero frequency; the clamp keeps rounding near
      // the cut-off from going below zero.
      otf[size_t{c} * height + r] =
          std::max(1.0 - (2.0 / kPi) * (std::asin(q) + q * std::sqrt(1.0 - q * q)), 0.0);
    }
  }
  return otf;
}

std::vector<double> Defocused_Otf(unsigned height, unsigned width, double na, double wavelength,
                                  double pixelSize, double immersion, double defocus) {
  const size_t pixels = size_t{height} * width;
  // Offset of an unshifted index from zero frequency: n / 2 and above are the negative ones.
  const auto offset = [](unsigned k, unsigned n) { return k < n - n / 2 ? long(k) : long(k) - long(n); };
  const double radius = na / wavelength;
  const double medium = immersion / wavelength;
  std::vector<std::complex<double>> field(pixels);
  for (unsigned c = 0; c < width; ++c) {
    const double fx = double(offset(c, width)) / (width * pixelSize);
    for (unsigned r = 0; r < height; ++r) {
      const double fy = double(offset(r, height)) / (height * pixelSize);
      const double rho2 = fx * fx + fy * fy;
      if (rho2 > radius * radius) continue;
      field[size_t{c} * height + r] =
          std::polar(1.0, 2.0 * kPi * defocus * std::sqrt(medium * medium - rho2));
    }
  }
  fourier::ImageTransform<double> transform(height, width, "defocused OTF");
  transform.Inverse(field.data());
  for (std::complex<double>& v : field) v = std::norm(v);
  transform.Forward(field.data());
  const double zero = field[0].real();
  std::vector<double> otf(pixels);
  for (unsigned c = 0; c < width; ++c) {
    const size_t from = size_t((long(c) - long(width / 2) + long(width)) % long(width));
    for (unsigned r = 0; r < height; ++r) {
      const size_t row = size_t((long(r) - long(height / 2) + long(height)) % long(height));
      otf[size_t{c} * height + r] = field[from * height + row].real() / zero;
    }
  }
  return otf;
}

std::vector<double> Resample_Otf(const std::vector<double>& otf, unsigned otfHeight,
                                 unsigned otfWidth, unsigned height, unsigned width) {
  std::vector<double> out(size_t{height} * width, 0.0);
  const auto at = [&](long dr, long dc) {
    return otf[size_t(dc + otfWidth / 2) * otfHeight + size_t(dr + otfHeight / 2)];
  };
  for (unsigned c = 0; c < width; ++c) {
    const long dc = Offset(c, width);
    for (unsigned r = 0; r < height; ++r) {
      const long dr = Offset(r, height);
      double value = 0.0;
      if (Inside(dr, otfHeight) && Inside(dc, otfWidth)) {
        value = at(dr, dc);
      } else if (Inside(-dr, otfHeight) && Inside(-dc, otfWidth)) {
        value = at(-dr, -dc);
      }
      out[size_t{c} * height + r] = value;
    }
  }
  return out;
}

}  // namespace korvex::acquisition
